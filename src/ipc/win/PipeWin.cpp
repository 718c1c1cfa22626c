// Windows side of Pipe, PipeServer and PipeClient: the named-pipe calls, with overlapped I/O so that
// every wait on the pipe can be bounded and ended from another thread.
#include "ipc/PipePrimitives.h"

#include "base/win/WinHandle.h"

#include <exception>
#include <memory>
#include <vector>

namespace ZEPMaintenance::platform {

struct PipeState {
    WinFile pipe;
    // Manual-reset event set by ShutdownPipe: every wait on the pipe waits on it too.
    WinHandle closing;
    bool server = false;
};

namespace {

constexpr DWORD kBufferBytes = 4096;
constexpr DWORD kDefaultTimeoutMs = 5000;

bool IsShut(const PipeState& state) {
    return WaitForSingleObject(state.closing.Get(), 0) == WAIT_OBJECT_0;
}

// One overlapped call on the pipe with its own event.
class Overlapped {
public:
    Overlapped() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) { overlapped_.hEvent = event_.Get(); }
    bool IsValid() const { return event_.IsValid(); }
    OVERLAPPED* Get() { return &overlapped_; }

    // Waits for the started call to finish, at most milliseconds, or until the pipe is shut down; a call
    // that is given up is cancelled and waited for, so that the system is done with this object.
    [[nodiscard]] uint32_t Finish(const PipeState& state, DWORD milliseconds, DWORD& transferred) {
        const HANDLE waits[] = {event_.Get(), state.closing.Get()};
        const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, milliseconds);
        uint32_t givenUp = ERROR_SUCCESS;
        if (waited == WAIT_OBJECT_0 + 1) {
            givenUp = kPipeWaitCancelled;
        } else if (waited == WAIT_TIMEOUT) {
            givenUp = kPipeWaitTimedOut;
        } else if (waited != WAIT_OBJECT_0) {
            givenUp = GetLastError();
        }
        if (givenUp != ERROR_SUCCESS) {
            CancelIoEx(state.pipe.Get(), &overlapped_);
        }
        if (GetOverlappedResult(state.pipe.Get(), &overlapped_, &transferred, TRUE)) {
            // It finished before the cancellation reached it.
            return ERROR_SUCCESS;
        }
        const DWORD error = GetLastError();
        return error == ERROR_OPERATION_ABORTED && givenUp != ERROR_SUCCESS ? givenUp : error;
    }

private:
    WinHandle event_;
    OVERLAPPED overlapped_{};
};

// Takes over the handle a pipe call returned (INVALID_HANDLE_VALUE when it failed, with the error still
// the thread's last), together with the pipe's close event.
[[nodiscard]] uint32_t TakeOver(HANDLE opened, bool server, PipeHandle& pipe) {
    if (opened == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    auto state = std::make_unique<PipeState>();
    state->pipe.Reset(opened);
    state->server = server;
    state->closing.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!state->closing) {
        return GetLastError();
    }
    pipe.Reset(state.release());
    return ERROR_SUCCESS;
}

// One kind of GetTokenInformation's data, in a buffer of the size it asks for.
uint32_t ReadToken(HANDLE token, TOKEN_INFORMATION_CLASS kind, std::vector<BYTE>& data) {
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    data.assign(size, 0);
    return size != 0 && GetTokenInformation(token, kind, data.data(), size, &size) ? ERROR_SUCCESS
                                                                                   : GetLastError();
}

CSid SidOf(PSID sid) {
    const auto* bytes = static_cast<const uint8_t*>(sid);
    return CSid(std::vector<uint8_t>(bytes, bytes + GetLengthSid(sid)));
}

// The token's user, and whether it is LocalSystem or holds Builtin Administrators enabled: the group of
// an administrator's filtered token is for denying only and does not count.
uint32_t IdentityOfToken(HANDLE token, PeerIdentity& peer) {
    std::vector<BYTE> user;
    std::vector<BYTE> groups;
    uint32_t error = ReadToken(token, TokenUser, user);
    if (error == ERROR_SUCCESS) {
        error = ReadToken(token, TokenGroups, groups);
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    peer.user = SidOf(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
    peer.administrator = peer.user == CSid::LocalSystem();
    const CSid administrators = CSid::Administrators();
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < list->GroupCount; ++i) {
        const SID_AND_ATTRIBUTES& group = list->Groups[i];
        if ((group.Attributes & SE_GROUP_ENABLED) != 0 &&
            (group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0 && SidOf(group.Sid) == administrators) {
            peer.administrator = true;
        }
    }
    return ERROR_SUCCESS;
}

// The identity in the primary token of the process with this id.
uint32_t IdentityOfProcess(ULONG pid, PeerIdentity& peer) {
    peer.processId = pid;
    const WinHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    HANDLE opened = nullptr;
    if (!process || !OpenProcessToken(process.Get(), TOKEN_QUERY, &opened)) {
        return GetLastError();
    }
    const WinHandle token(opened);
    return IdentityOfToken(token.Get(), peer);
}

// The identity in the token the client granted for identification when it opened the pipe.
uint32_t IdentityOfClient(const PipeState& state, PeerIdentity& peer) {
    if (!ImpersonateNamedPipeClient(state.pipe.Get())) {
        return GetLastError();
    }
    HANDLE opened = nullptr;
    const bool read = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &opened);
    const DWORD error = GetLastError();
    // A thread left as another user would act as that user from here on.
    if (!RevertToSelf()) {
        std::terminate();
    }
    if (!read) {
        return error;
    }
    const WinHandle token(opened);
    return IdentityOfToken(token.Get(), peer);
}

// The client is what the token it granted says; where this process may open the client process's own
// token (a user's loader may not open that of the worker's LocalSystem process), that token must say
// administrator too. A process id can be another process's by the time it is looked up, and Wine hands
// a pipe server its own token for the client's: each view covers what the other misses.
uint32_t IdentityOfServersClient(const PipeState& state, PeerIdentity& peer) {
    ULONG pid = 0;
    if (!GetNamedPipeClientProcessId(state.pipe.Get(), &pid)) {
        return GetLastError();
    }
    const uint32_t error = IdentityOfClient(state, peer);
    PeerIdentity process;
    if (error == ERROR_SUCCESS && IdentityOfProcess(pid, process) == ERROR_SUCCESS) {
        peer.administrator = peer.administrator && process.administrator;
    }
    peer.processId = pid;
    return error;
}

DWORD AccessOf(uint32_t mode) {
    return ((mode & ReadMode) != 0 ? PIPE_ACCESS_INBOUND : 0) |
           ((mode & WriteMode) != 0 ? PIPE_ACCESS_OUTBOUND : 0);
}

} // namespace

void Destroy(PipeState* state) noexcept {
    delete state;
}

uint32_t PreparePipeFolder() {
    return ERROR_SUCCESS; // the pipe namespace is always there
}

uint32_t CreatePipe(const std::wstring& name, uint32_t mode, PipeHandle& pipe) {
    // Only a new pipe: a pipe another user made first under the name is never served. Clients come
    // from this machine only.
    const HANDLE created =
        CreateNamedPipeW(name.c_str(), AccessOf(mode) | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                         1, kBufferBytes, kBufferBytes, kDefaultTimeoutMs, nullptr);
    return TakeOver(created, true, pipe);
}

uint32_t WaitForClient(const PipeHandle& pipe, uint32_t milliseconds) {
    const PipeState& state = *pipe.Get();
    if (IsShut(state)) {
        return kPipeWaitCancelled;
    }
    Overlapped call;
    if (!call.IsValid()) {
        return GetLastError();
    }
    if (ConnectNamedPipe(state.pipe.Get(), call.Get())) {
        return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    // A client that came before the call, or came and went again, is the one client: the receive
    // thread sees it gone.
    if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) {
        return ERROR_SUCCESS;
    }
    if (error != ERROR_IO_PENDING) {
        return error;
    }
    DWORD transferred = 0;
    return call.Finish(state, milliseconds == kWaitForever ? INFINITE : milliseconds, transferred);
}

void KeepClient(const PipeHandle& /*pipe*/) noexcept {
    // The one instance is taken while the client is connected.
}

uint32_t DropClient(const PipeHandle& pipe) {
    return DisconnectNamedPipe(pipe->pipe.Get()) ? ERROR_SUCCESS : GetLastError();
}

uint32_t IdentifyPeer(const PipeHandle& pipe, PeerIdentity& peer) {
    const PipeState& state = *pipe.Get();
    if (state.server) {
        return IdentityOfServersClient(state, peer);
    }
    // The worker, running as LocalSystem, may open every loader's token.
    ULONG pid = 0;
    return GetNamedPipeServerProcessId(state.pipe.Get(), &pid) ? IdentityOfProcess(pid, peer)
                                                               : GetLastError();
}

uint32_t OpenPipe(const std::wstring& name, uint32_t mode, PipeHandle& pipe) {
    // The server may identify the client but never act as it: the client is the elevated worker.
    const HANDLE opened =
        CreateFileW(name.c_str(), mode, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    return TakeOver(opened, false, pipe);
}

uint32_t WaitForPipe(const std::wstring& name, uint32_t milliseconds) {
    return WaitNamedPipeW(name.c_str(), milliseconds == kWaitForever ? NMPWAIT_WAIT_FOREVER : milliseconds)
               ? ERROR_SUCCESS
               : GetLastError();
}

uint32_t ReadPipe(const PipeHandle& pipe, uint8_t* buffer, std::size_t size, std::size_t& got) {
    const PipeState& state = *pipe.Get();
    if (IsShut(state)) {
        return kPipeWaitCancelled;
    }
    Overlapped call;
    if (!call.IsValid()) {
        return GetLastError();
    }
    DWORD transferred = 0;
    uint32_t error = ERROR_SUCCESS;
    if (!ReadFile(state.pipe.Get(), buffer, static_cast<DWORD>(size), nullptr, call.Get())) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            error = call.Finish(state, INFINITE, transferred);
        }
    } else if (!GetOverlappedResult(state.pipe.Get(), call.Get(), &transferred, TRUE)) {
        error = GetLastError();
    }
    got = transferred;
    return error;
}

uint32_t WritePipe(const PipeHandle& pipe, const uint8_t* bytes, std::size_t size, uint32_t milliseconds) {
    const PipeState& state = *pipe.Get();
    if (IsShut(state)) {
        return kPipeWaitCancelled;
    }
    // Both platforms send no empty message: on Linux it would read as the end of the stream.
    if (size == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    Overlapped call;
    if (!call.IsValid()) {
        return GetLastError();
    }
    DWORD transferred = 0;
    if (WriteFile(state.pipe.Get(), bytes, static_cast<DWORD>(size), nullptr, call.Get())) {
        return GetOverlappedResult(state.pipe.Get(), call.Get(), &transferred, TRUE) ? ERROR_SUCCESS
                                                                                     : GetLastError();
    }
    const DWORD error = GetLastError();
    // The reader is another user's process: a full pipe is waited on for a while, never for good.
    return error == ERROR_IO_PENDING ? call.Finish(state, milliseconds, transferred) : error;
}

void ShutdownPipe(const PipeHandle& pipe) noexcept {
    // The handle is closed with the last call that uses it, which the event makes return at once; the
    // peer then reads ERROR_BROKEN_PIPE, or writes ERROR_NO_DATA.
    if (pipe) {
        SetEvent(pipe->closing.Get());
    }
}

} // namespace ZEPMaintenance::platform
