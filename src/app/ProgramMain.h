// The portable body of the program's entry point.
#pragma once

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

// An argument that the command-line grammar cannot carry (the Linux entry rebuilds the tail from an
// argument vector): its position, counted from 1, and its text.
struct UncarriedArgument {
    int position = 0;
    std::wstring text;
};

// Runs one process of the program from its command-line tail; returns the exit code (0 or -1). A run
// given an uncarried argument refuses to run: it logs which, says so outside the log and ends with -1.
int32_t ProgramMain(const wchar_t* commandLineTail, const UncarriedArgument* uncarried = nullptr);

} // namespace ZEPMaintenance
