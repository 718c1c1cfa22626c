// The protected backup with the rollback scheduled for the next logon, the restore from it, and the
// clean-up after an update or a rollback.
#pragma once

#include "upgrade/EngineLayout.h"
#include "upgrade/Progress.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

class Logger;

// Below HKEY_LOCAL_MACHINE; the platform runs each value once at the next logon, deleting it first.
inline constexpr const wchar_t* kRunOnceKey = L"software\\microsoft\\windows\\currentversion\\runonce";

// The value's name: the environment's service name followed by " - Rollback".
std::wstring RollbackValueName(const std::wstring& serviceName);

// The value's data: the program, then "-mode loader -op rollback" with -pp and -dp quoted and -lang with
// the language's digit (2 for a language above the table, 0 below it: the columns they read). The program
// goes unquoted unless it holds white space: then it is quoted, or the platform would split the
// program's path at the first blank.
std::wstring BuildRollbackCommand(const std::wstring& programPath, const std::wstring& programFolder,
                                  const std::wstring& dataFolder, int32_t lang);

// The rollback an update schedules: the run-once value's name and the language its loader shows.
struct RollbackSchedule {
    std::wstring valueName;
    int32_t lang = 0;
};

namespace upgrade {

// The whole product copied into the backup, every item stamped with the backup permissions, then the
// rollback scheduled; an earlier backup and saved copies are removed first.
void PrepareRollback(const EngineLayout& layout, const RollbackSchedule& schedule, const Logger& logger);
// The pre-upgrade actions undone, then the backup copied over the product, each item checked first.
void RunRollback(const EngineLayout& layout, Progress& progress, const Logger& logger);
// The scheduled rollback taken out first, then the backups removed: a clean-up broken off half-way
// never leaves a rollback scheduled with part of its backup gone.
void CleanupRollback(const EngineLayout& layout, const std::wstring& valueName, const Logger& logger);
void UnscheduleRollback(const EngineLayout& layout, const std::wstring& valueName, const Logger& logger);
void RemoveBackups(const EngineLayout& layout, const Logger& logger);
// Everything written to the volume of folder put on the disk (docs/copy-stage.md, "Power loss"): the
// update flushes once where a power cut must no longer lose what it wrote, never per file. Logs
// "<operation>: Flushing the volume failed. (path: %ls, lastError: %d)" and raises 131 when it cannot.
void FlushVolumeOf(const std::wstring& folder, const wchar_t* operation, const Logger& logger);
// Root's own places made, or checked when they are there: the state root and the environment's folder
// below it, each protected as the backup is. One that someone else made first is set aside and made anew.
void PrepareState(const EngineLayout& layout, const Logger& logger);

} // namespace upgrade

} // namespace ZEPMaintenance
