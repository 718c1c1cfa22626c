// The programs the engine starts and waits for: setup and post-upgrade programs, the installer.
#pragma once

#include "diag/Logger.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ZEPMaintenance {

// The lines of one kind of program: its start (the program's path and its arguments) and an exit code
// other than 0 (the name the manifest gave it and the code).
struct ProgramLines {
    FormatString<std::wstring, std::wstring> starting;
    FormatString<std::wstring, int32_t> failed;
};

// Starts the program through the shell, not elevated, with an empty working folder, after the starting
// line, and waits for it: without limit when timeoutSeconds is negative. Its exit code; none when it
// was still running at the time-out, and it is left running.
std::optional<uint32_t> RunProgram(const std::wstring& program, const std::wstring& arguments,
                                   int32_t timeoutSeconds, const ProgramLines& lines, const Logger& logger);

// Runs the program to its end; an exit code other than 0 logs the failed line with listedName and
// raises 144.
void RunProgramToSuccess(const std::wstring& program, const std::wstring& arguments,
                         const std::wstring& listedName, const ProgramLines& lines, const Logger& logger);

} // namespace ZEPMaintenance
