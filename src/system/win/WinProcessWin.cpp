// Windows side of WinProcess: the shell start, process handles, waits, exit codes and tokens.
#include "system/platform/WinProcessPrimitives.h"

#include "base/win/WinHandle.h"

namespace ZEPMaintenance::platform {

struct ProcessState {
    WinHandle owned;
    // GetCurrentProcess's pseudo-handle stands for the current process and is never closed.
    bool current = false;

    HANDLE Get() const { return current ? GetCurrentProcess() : owned.Get(); }
};

struct TokenState {
    WinHandle token;
};

void Destroy(ProcessState* state) noexcept {
    delete state;
}

void Destroy(TokenState* state) noexcept {
    delete state;
}

uint32_t ShellStart(const std::string& file, const std::string& parameters, const std::string& directory,
                    bool runAsAdmin, ProcessHandle& process) {
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = runAsAdmin ? "runas" : nullptr;
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExA(&info) != TRUE) {
        return GetLastError();
    }
    // The shell may hand the file to a program that is already running: no new process then.
    if (info.hProcess != nullptr) {
        process.Reset(new ProcessState{WinHandle(info.hProcess)});
    } else {
        process.Reset();
    }
    return ERROR_SUCCESS;
}

uint32_t OpenProcessById(uint32_t pid, ProcessHandle& process) {
    const HANDLE handle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, TRUE, pid);
    if (handle == nullptr) {
        return GetLastError();
    }
    process.Reset(new ProcessState{WinHandle(handle)});
    return ERROR_SUCCESS;
}

ProcessHandle CurrentProcessHandle() {
    return ProcessHandle(new ProcessState{WinHandle(), true});
}

bool WaitForProcess(const ProcessHandle& process, uint32_t milliseconds) {
    return WaitForSingleObject(process->Get(), milliseconds) == WAIT_TIMEOUT;
}

uint32_t ReadExitCode(const ProcessHandle& process, uint32_t& exitCode) {
    DWORD code = 0;
    if (!GetExitCodeProcess(process->Get(), &code)) {
        return GetLastError();
    }
    exitCode = code;
    return ERROR_SUCCESS;
}

uint32_t ProcessIdOf(const ProcessHandle& process) {
    return process ? GetProcessId(process->Get()) : 0;
}

uint32_t OpenTokenOf(const ProcessHandle& process, TokenHandle& token) {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(process->Get(), TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE, &opened)) {
        return GetLastError();
    }
    token.Reset(new TokenState{WinHandle(opened)});
    return ERROR_SUCCESS;
}

uint32_t ReadTokenUser(const TokenHandle& token, std::vector<uint8_t>& sid) {
    DWORD needed = 0;
    GetTokenInformation(token->token.Get(), TokenUser, nullptr, 0, &needed);
    std::vector<uint8_t> buffer(needed, 0);
    if (!GetTokenInformation(token->token.Get(), TokenUser, buffer.data(), needed, &needed)) {
        return GetLastError();
    }
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    const auto* bytes = static_cast<const uint8_t*>(user->User.Sid);
    sid.assign(bytes, bytes + GetLengthSid(user->User.Sid));
    return ERROR_SUCCESS;
}

} // namespace ZEPMaintenance::platform
