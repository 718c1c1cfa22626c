// One process handle: starting programs through the shell, opening by id, waiting, exit code, owner.
#pragma once

#include "diag/Logger.h"
#include "system/CSid.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ZEPMaintenance {

inline constexpr uint32_t kStillActive = 259;

namespace platform {

// A process handle; each platform defines what it holds and how it is released.
struct ProcessState;
struct ProcessStateDeleter {
    void operator()(ProcessState* state) const;
};
using ProcessHandle = std::unique_ptr<ProcessState, ProcessStateDeleter>;

// An access token of a process.
struct TokenState;
struct TokenStateDeleter {
    void operator()(TokenState* state) const;
};
using TokenHandle = std::unique_ptr<TokenState, TokenStateDeleter>;

// Each returns a Windows error number, 0 on success.
// ShellExecuteExA with SEE_MASK_NOCLOSEPROCESS, verb "runas" or the default, SW_SHOWNORMAL; the
// handle stays empty when the shell started no new process.
uint32_t ShellStart(const std::string& file, const std::string& parameters, const std::string& directory,
                    bool runAsAdmin, ProcessHandle& process);
// OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, TRUE, pid).
uint32_t OpenProcessById(uint32_t pid, ProcessHandle& process);
// GetCurrentProcess.
ProcessHandle CurrentProcessHandle();
// WaitForSingleObject: true when the wait timed out. milliseconds 0xFFFFFFFF waits without limit.
bool WaitForProcess(const ProcessHandle& process, uint32_t milliseconds);
// GetExitCodeProcess: STILL_ACTIVE (259) while the process runs.
uint32_t ReadExitCode(const ProcessHandle& process, uint32_t& exitCode);
// GetProcessId; 0 for an empty handle.
uint32_t ProcessIdOf(const ProcessHandle& process);
// OpenProcessToken(process, TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE).
uint32_t OpenTokenOf(const ProcessHandle& process, TokenHandle& token);
// GetTokenInformation(TokenUser): the user SID in binary form.
uint32_t ReadTokenUser(const TokenHandle& token, std::vector<uint8_t>& sid);

} // namespace platform

// Splits a parameter text into arguments by the rules a Windows program's runtime applies to its
// command line: white space separates, double quotes group, 2n backslashes before a quote give n
// backslashes and a quoting quote, 2n+1 give n and a literal quote, "" inside quotes is a quote.
std::vector<std::wstring> SplitProgramParameters(const std::wstring& parameters);

class WinProcess {
public:
    WinProcess();
    ~WinProcess();
    WinProcess(const WinProcess&) = delete;
    WinProcess& operator=(const WinProcess&) = delete;

    void Start(const std::wstring& file, const std::wstring& parameters, const std::wstring& directory,
               bool runAsAdmin);
    void Open(uint32_t processId);
    void OpenCurrentProcess();
    // seconds -1 waits without limit; true when the process ended, false on time-out.
    bool WaitToClose(int32_t seconds);
    CSid GetOwner();
    uint32_t GetExitCode();

    bool IsOpen() const { return process != nullptr; }
    // The id of the held process; 0 when none is held.
    uint32_t GetProcessId() const;

private:
    platform::ProcessHandle process;
    Logger logger{L"WinProcess"};
};

} // namespace ZEPMaintenance
