// Windows side of Pipe, PipeServer and PipeClient: the named-pipe calls, with overlapped I/O so that
// every wait on the pipe can be bounded and ended from another thread.
#include "ipc/PipePrimitives.h"

#include "base/win/WinHandle.h"

#include <memory>

namespace ZEPMaintenance::platform {

struct PipeState {
    WinFile pipe;
    // Manual-reset event set by ShutdownPipe: every wait on the pipe waits on it too.
    WinHandle closing;
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
[[nodiscard]] uint32_t TakeOver(HANDLE opened, PipeHandle& pipe) {
    if (opened == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    auto state = std::make_unique<PipeState>();
    state->pipe.Reset(opened);
    state->closing.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!state->closing) {
        return GetLastError();
    }
    pipe.Reset(state.release());
    return ERROR_SUCCESS;
}

DWORD AccessOf(uint32_t mode) {
    return ((mode & ReadMode) != 0 ? PIPE_ACCESS_INBOUND : 0) |
           ((mode & WriteMode) != 0 ? PIPE_ACCESS_OUTBOUND : 0);
}

} // namespace

void Destroy(PipeState* state) noexcept {
    delete state;
}

uint32_t CreatePipe(const std::wstring& name, uint32_t mode, PipeHandle& pipe) {
    // Only a new pipe: a pipe another user made first under the name is never served. Clients come
    // from this machine only.
    const HANDLE created =
        CreateNamedPipeW(name.c_str(), AccessOf(mode) | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                         1, kBufferBytes, kBufferBytes, kDefaultTimeoutMs, nullptr);
    return TakeOver(created, pipe);
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

uint32_t OpenPipe(const std::wstring& name, uint32_t mode, PipeHandle& pipe) {
    // The server may identify the client but never act as it: the client is the elevated worker.
    const HANDLE opened =
        CreateFileW(name.c_str(), mode, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    return TakeOver(opened, pipe);
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
