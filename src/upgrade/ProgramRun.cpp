// Starting a program, waiting for it and reading its exit code, with the lines of its kind.
#include "upgrade/ProgramRun.h"

#include "diag/IMException.h"
#include "system/WinProcess.h"

namespace ZEPMaintenance {

std::optional<uint32_t> RunProgram(const std::wstring& program, const std::wstring& arguments,
                                   int32_t timeoutSeconds, const ProgramLines& lines, const Logger& logger) {
    logger.Info(lines.starting, program, arguments);
    WinProcess process;
    process.Start(program, arguments, L"", false);
    if (!process.WaitToClose(timeoutSeconds)) {
        return std::nullopt;
    }
    return process.GetExitCode();
}

void RunProgramToSuccess(const std::wstring& program, const std::wstring& arguments,
                         const std::wstring& listedName, const ProgramLines& lines, const Logger& logger) {
    const uint32_t exitCode = RunProgram(program, arguments, -1, lines, logger).value_or(kStillActive);
    if (exitCode != 0) {
        logger.Error(lines.failed, listedName, static_cast<int32_t>(exitCode));
        ThrowIMException(ErrorCode::kProgramFailed);
    }
}

} // namespace ZEPMaintenance
