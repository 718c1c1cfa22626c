// Process-wide log set-up: the file back end's table, the log file and the main logger.
#pragma once

#include "diag/Logger.h"

#include <string>

namespace ZEPMaintenance {

class File;

// The file back end: one line per call, appended under the process-wide file lock.
LoggerFunctions FileLoggerFunctions();

// <program data>\Z.EP Maintenance2\ZEPMaintenance2-<modeText>.log; creates the folder.
File GetLogFilePath(const std::wstring& modeText);

// Sets the level to DEBUG and the path (ANSI code page) that back-end handles made from now on use.
void SetLogFile(const std::string& path);

// Installs the table (none clears it) and replaces the main logger; returns true.
bool InitLogging(const LoggerFunctions* functions);

// The process-wide logger of category "ZEPMaintenance".
Logger& mainLogger();

} // namespace ZEPMaintenance
