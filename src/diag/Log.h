// Process-wide log set-up: the file back end's table, the log file and the main logger.
#pragma once

#include "diag/Logger.h"

#include <cstddef>
#include <string>

namespace ZEPMaintenance {

// The file back end: one line per call, appended under the process-wide file lock.
LoggerFunctions FileLoggerFunctions();

// The mode text as it appears in a log file's name: letters, digits, '-', '_' and '.' are kept, every
// other character (a path separator, a drive or stream colon, a control character) becomes '_', so
// that no mode text names a path; at most kMaxLogModeChars characters.
inline constexpr std::size_t kMaxLogModeChars = 64;
std::wstring LogFileModePart(const std::wstring& modeText);

// Says outside the log, once per log file, that a run could not write it (the path and the reason).
void ReportLostLog(const std::string& path, const std::string& reason);

// Sets the level to DEBUG and the path (ANSI code page) that back-end handles made from now on use.
void SetLogFile(const std::string& path);

// Installs the table (none clears it) and replaces the main logger; returns true.
bool InitLogging(const LoggerFunctions* functions);

// The process-wide logger of category "ZEPMaintenance".
Logger& mainLogger();

} // namespace ZEPMaintenance
