// The platform primitives under WinProcess, implemented by win/WinProcessWin.cpp and
// posix/WinProcessPosix.cpp.
#pragma once

#include "base/UniqueHandle.h"
#include "system/WinProcess.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance::platform {

// An access token of a process: each platform defines what its state holds, released with the state.
struct TokenState;
void Destroy(TokenState* state) noexcept;
using TokenHandle = PlatformHandle<TokenState*>;

// Each returns a Windows error number, 0 on success.
// ShellExecuteExA with SEE_MASK_NOCLOSEPROCESS, verb "runas" or the default, SW_SHOWNORMAL; the
// handle stays empty when the shell started no new process.
[[nodiscard]] uint32_t ShellStart(const std::string& file, const std::string& parameters,
                                  const std::string& directory, bool runAsAdmin, ProcessHandle& process);
// OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, TRUE, pid).
[[nodiscard]] uint32_t OpenProcessById(uint32_t pid, ProcessHandle& process);
// GetCurrentProcess.
ProcessHandle CurrentProcessHandle();
// WaitForSingleObject: true when the wait timed out. milliseconds 0xFFFFFFFF waits without limit.
bool WaitForProcess(const ProcessHandle& process, uint32_t milliseconds);
// GetExitCodeProcess: STILL_ACTIVE (259) while the process runs.
[[nodiscard]] uint32_t ReadExitCode(const ProcessHandle& process, uint32_t& exitCode);
// GetProcessId; 0 for an empty handle.
uint32_t ProcessIdOf(const ProcessHandle& process);
// OpenProcessToken(process, TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE).
[[nodiscard]] uint32_t OpenTokenOf(const ProcessHandle& process, TokenHandle& token);
// GetTokenInformation(TokenUser): the user SID in binary form.
[[nodiscard]] uint32_t ReadTokenUser(const TokenHandle& token, std::vector<uint8_t>& sid);

} // namespace ZEPMaintenance::platform
