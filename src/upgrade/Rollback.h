// The scheduled rollback's entry in the registry's run-once list: where it lives and the command it runs.
#pragma once

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

// Below HKEY_LOCAL_MACHINE; the platform runs each value once at the next logon, deleting it first.
inline constexpr const wchar_t* kRunOnceKey = L"software\\microsoft\\windows\\currentversion\\runonce";

// The value's name: the environment's service name followed by " - Rollback".
std::wstring RollbackValueName(const std::wstring& serviceName);

// The value's data: the program, then "-mode loader -op rollback" with -pp and -dp quoted and -lang
// (a digit for 0 to 2, nothing for any other language). The program goes unquoted unless it holds white
// space: then it is quoted, or the platform would split the program's path at the first blank.
std::wstring BuildRollbackCommand(const std::wstring& programPath, const std::wstring& programFolder,
                                  const std::wstring& dataFolder, int32_t lang);

} // namespace ZEPMaintenance
