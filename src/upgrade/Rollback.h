// The scheduled rollback's entry in the registry's run-once list: where it lives and the command it runs.
#pragma once

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

class Logger;
class Maintenance;

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

// The engine works below the product and data folders only: a folder without a name stands for the
// file system's root (an empty -dp) or for no folder at all. Logs "<operation>: Product or data folder
// not set." and raises 100 for either.
void RequireEngineFolders(const Maintenance& maintenance, const Logger& logger, const wchar_t* operation);

} // namespace ZEPMaintenance
