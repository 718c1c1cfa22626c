// One process handle: starting programs through the shell, opening by id, waiting, exit code, owner.
#pragma once

#include "base/UniqueHandle.h"
#include "diag/Logger.h"
#include "system/CSid.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance {

inline constexpr uint32_t kStillActive = 259;

namespace platform {

// A process handle: each platform defines what its state holds, released with the state.
struct ProcessState;
void Destroy(ProcessState* state) noexcept;
using ProcessHandle = PlatformHandle<ProcessState*>;

} // namespace platform

// Splits a parameter text into arguments by the rules a Windows program's runtime applies to its
// command line: white space separates, double quotes group, 2n backslashes before a quote give n
// backslashes and a quoting quote, 2n+1 give n and a literal quote, "" inside quotes is a quote.
std::vector<std::wstring> SplitProgramParameters(const std::wstring& parameters);

// A command line as CreateProcess reads it without an application name: the program is the first
// token, up to the closing quote when it opens with one (backslashes taken literally, as the runtime
// takes them in its argv[0]) and otherwise up to the first blank; what follows, leading blanks
// dropped, are the program's parameters for SplitProgramParameters.
struct ProgramCommand {
    std::wstring program;
    std::wstring parameters;
};
ProgramCommand SplitProgramCommand(const std::wstring& commandLine);

// Neither copied nor moved; the process handle is released with the object.
class WinProcess {
public:
    void Start(const std::wstring& file, const std::wstring& parameters, const std::wstring& directory,
               bool runAsAdmin);
    void Open(uint32_t processId);
    void OpenCurrentProcess();
    // seconds -1 waits without limit; true when the process ended, false on time-out.
    bool WaitToClose(int32_t seconds);
    CSid GetOwner();
    uint32_t GetExitCode();

    bool IsOpen() const { return process.IsValid(); }
    // The id of the held process; 0 when none is held.
    uint32_t GetProcessId() const;

private:
    platform::ProcessHandle process;
    Logger logger{L"WinProcess"};
};

} // namespace ZEPMaintenance
