// The portable body of the program's entry point.
#pragma once

#include <cstdint>

namespace ZEPMaintenance {

// Runs one process of the program from its command-line tail; returns the exit code (0 or -1).
int32_t ProgramMain(const wchar_t* commandLineTail);

} // namespace ZEPMaintenance
