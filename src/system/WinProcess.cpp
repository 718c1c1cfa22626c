// WinProcess: the checks, log lines and codes of starting, opening and waiting for processes.
#include "system/WinProcess.h"

#include "base/Platform.h"
#include "base/WinError.h"
#include "diag/IMException.h"
#include "system/Text.h"
#include "system/platform/WinProcessPrimitives.h"

namespace ZEPMaintenance {

namespace {
constexpr uint32_t kInfinite = 0xFFFFFFFF;
} // namespace

std::vector<std::wstring> SplitProgramParameters(const std::wstring& parameters) {
    std::vector<std::wstring> arguments;
    std::wstring current;
    bool inArgument = false;
    bool quoting = false;
    std::size_t i = 0;
    while (i < parameters.size()) {
        const wchar_t c = parameters[i];
        if (!quoting && (c == L' ' || c == L'\t')) {
            if (inArgument) {
                arguments.push_back(current);
                current.clear();
                inArgument = false;
            }
            ++i;
            continue;
        }
        inArgument = true;
        if (c == L'\\') {
            std::size_t backslashes = 0;
            while (i < parameters.size() && parameters[i] == L'\\') {
                ++backslashes;
                ++i;
            }
            if (i < parameters.size() && parameters[i] == L'"') {
                current.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    current += L'"';
                    ++i;
                }
            } else {
                current.append(backslashes, L'\\');
            }
            continue;
        }
        if (c == L'"') {
            if (quoting && i + 1 < parameters.size() && parameters[i + 1] == L'"') {
                current += L'"';
                i += 2;
                continue;
            }
            quoting = !quoting;
            ++i;
            continue;
        }
        current += c;
        ++i;
    }
    if (inArgument) {
        arguments.push_back(current);
    }
    return arguments;
}

ProgramCommand SplitProgramCommand(const std::wstring& commandLine) {
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    std::size_t start = 0;
    while (start < commandLine.size() && blank(commandLine[start])) {
        ++start;
    }
    ProgramCommand command;
    if (start < commandLine.size() && commandLine[start] == L'"') {
        const std::size_t close = commandLine.find(L'"', start + 1);
        command.program =
            commandLine.substr(start + 1, close == std::wstring::npos ? close : close - start - 1);
    } else {
        std::size_t end = start;
        while (end < commandLine.size() && !blank(commandLine[end])) {
            ++end;
        }
        command.program = commandLine.substr(start, end - start);
    }
    // The parameters start where the started program's runtime ends its argv[0]: at the first blank
    // outside quotes. Only odd lines ("a"b c) make the two readings differ.
    std::size_t end = start;
    bool quoting = false;
    while (end < commandLine.size() && (quoting || !blank(commandLine[end]))) {
        quoting = commandLine[end] == L'"' ? !quoting : quoting;
        ++end;
    }
    while (end < commandLine.size() && blank(commandLine[end])) {
        ++end;
    }
    command.parameters = commandLine.substr(end);
    return command;
}

uint32_t WinProcess::GetProcessId() const {
    return platform::ProcessIdOf(process);
}

void WinProcess::Start(const std::wstring& file, const std::wstring& parameters,
                       const std::wstring& directory, bool runAsAdmin) {
    logger.InfoText(L"Start: entered");
    const std::string fileText = WideToMultiByte(file, kAnsiCodePage);
    const std::string parametersText = WideToMultiByte(parameters, kAnsiCodePage);
    const std::string directoryText = WideToMultiByte(directory, kAnsiCodePage);
    platform::ProcessHandle started;
    const uint32_t result =
        platform::ShellStart(fileText, parametersText, directoryText, runAsAdmin, started);
    if (result != WinError::kSuccess) {
        logger.Error(
            L"Start: ShellExecuteExA failed. (file: %hs, parameters: %hs, directory: %hs, runAsAdmin: %d, "
            L"lastError: %d)",
            fileText, parametersText, directoryText, runAsAdmin ? 1 : 0, result);
        ThrowIMException(ErrorCode::kShellExecuteFailed);
    }
    process = std::move(started);
    logger.Info(L"Start: Process started. (file: %hs, parameters: %hs, directory: %hs, runAsAdmin: %d)",
                fileText, parametersText, directoryText, runAsAdmin ? 1 : 0);
    logger.Debug(L"Start: PID=%d", GetProcessId());
}

void WinProcess::Open(uint32_t processId) {
    platform::ProcessHandle opened;
    const uint32_t result = platform::OpenProcessById(processId, opened);
    if (result != WinError::kSuccess) {
        logger.Error(L"Open: OpenProcess failed. (PID: %d, lastError: %d)", processId, result);
        ThrowIMException(result == WinError::kInvalidParameter ? ErrorCode::kProcessNotFound
                                                               : ErrorCode::kProcessOpenFailed);
    }
    process = std::move(opened);
    logger.Info(L"Open: Process successfully opened. (PID: %d)", processId);
}

void WinProcess::OpenCurrentProcess() {
    process = platform::CurrentProcessHandle();
    logger.InfoText(L"OpenCurrentProcess: Current process opened.");
}

bool WinProcess::WaitToClose(int32_t seconds) {
    if (!process) {
        logger.ErrorText(L"WaitToClose: No process is opened.");
        ThrowIMException(ErrorCode::kNoProcessOpened);
    }
    // The milliseconds wrap as the platform's 32-bit count does; only -1 means no limit.
    const uint32_t milliseconds = seconds == -1 ? kInfinite : static_cast<uint32_t>(seconds) * 1000u;
    if (platform::WaitForProcess(process, milliseconds)) {
        logger.Error(L"WaitToClose: Timeout! (%d s)", seconds);
        return false;
    }
    logger.InfoText(L"WaitToClose: Process ended.");
    return true;
}

CSid WinProcess::GetOwner() {
    if (!process) {
        logger.ErrorText(L"GetOwner: No process is opened.");
        ThrowIMException(ErrorCode::kNoProcessOpened);
    }
    platform::TokenHandle token;
    uint32_t result = platform::OpenTokenOf(process, token);
    if (result != WinError::kSuccess) {
        logger.Error(L"GetOwner: OpenProcessToken failed. (lastError: %d)", result);
        ThrowIMException(ErrorCode::kSystemCallFailed);
    }
    std::vector<uint8_t> sid;
    result = platform::ReadTokenUser(token, sid);
    if (result != WinError::kSuccess) {
        logger.Error(L"GetOwner: GetTokenInformation failed. (lastError: %d)", result);
        ThrowIMException(ErrorCode::kSystemCallFailed);
    }
    CSid owner(std::move(sid));
    logger.Debug(L"GetOwner: Owner read. (sid: %ls)", owner.Sid());
    return owner;
}

uint32_t WinProcess::GetExitCode() {
    if (!process) {
        logger.ErrorText(L"GetExitCode: No process is opened.");
        ThrowIMException(ErrorCode::kNoProcessOpened);
    }
    uint32_t exitCode = 0;
    const uint32_t result = platform::ReadExitCode(process, exitCode);
    if (result != WinError::kSuccess) {
        logger.Error(L"GetExitCode: GetExitCodeProcess failed. (lastError: %d)", result);
        ThrowIMException(ErrorCode::kSystemCallFailed);
    }
    logger.Debug(L"GetExitCode: Exit code read. (exitCode: %u)", exitCode);
    return exitCode;
}

} // namespace ZEPMaintenance
