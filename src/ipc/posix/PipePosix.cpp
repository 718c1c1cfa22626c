// Linux side of Pipe, PipeServer and PipeClient: a named pipe \\.\pipe\<name> is an AF_UNIX
// SOCK_SEQPACKET socket <root>/run/zepmaintenance/pipe/<name>, one frame per packet.
#include "ipc/PipePrimitives.h"

#include "base/Platform.h"
#include "base/WinError.h"
#include "system/posix/PosixSupport.h"
#include "system/posix/UserSid.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace ZEPMaintenance::platform {

struct PipeState {
    // Guards the connection and the name against ShutdownPipe from another thread.
    std::mutex lock;
    bool shut = false;
    // Readable once ShutdownPipe ran: every wait polls it beside the socket.
    posix::UniqueFd closing;
    // A server's listening socket until it keeps its one client; refused connections mean busy.
    posix::UniqueFd listener;
    posix::UniqueFd connection;
    // A server's socket file: the folder, the name and which file it is, so that only it is removed.
    posix::UniqueFd folder;
    std::string name;
    dev_t device = 0;
    ino_t inode = 0;
    bool named = false;
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kPipePrefix[] = L"\\\\.\\pipe\\";

// The folders below the machine root, each root's; users create their sockets in the last, which is
// sticky so that nobody removes or replaces another's.
constexpr struct {
    const char* name;
    mode_t mode;
} kPipeFolders[] = {{"run", 0755}, {"zepmaintenance", 0755}, {"pipe", 01777}};

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// How often a wait for a busy pipe looks whether another server has taken the name.
constexpr std::chrono::milliseconds kBusyPollStep(50);

// The socket's name in the pipe folder: the part after \\.\pipe\, one path component.
[[nodiscard]] uint32_t SocketName(const std::wstring& pipeName, std::string& name) {
    const std::wstring_view prefix = kPipePrefix;
    if (pipeName.size() <= prefix.size()) {
        return WinError::kInvalidName;
    }
    // Windows compares the prefix without regard to case.
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const wchar_t c = pipeName[i];
        if ((c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c) != prefix[i]) {
            return WinError::kInvalidName;
        }
    }
    name = posix::NativePath(pipeName.substr(prefix.size()));
    if (name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos) {
        return WinError::kInvalidName;
    }
    return WinError::kSuccess;
}

// Opens the pipe folder without following a link anywhere below the machine root; root makes what is
// missing. A folder that is not root's, or that others may write (the last one: that is not sticky),
// is refused with ERROR_CANT_ACCESS_FILE, a missing one reported as ERROR_PATH_NOT_FOUND.
[[nodiscard]] uint32_t OpenPipeFolder(posix::UniqueFd& folder) {
    posix::UniqueFd parent =
        posix::MakeDescriptor(open, posix::MachineRoot().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!parent) {
        return errno == ENOENT ? WinError::kPathNotFound : posix::LastWinError();
    }
    for (const auto& step : kPipeFolders) {
        posix::UniqueFd next = posix::MakeDescriptor(openat, parent.Get(), step.name, kFolderFlags);
        if (!next && errno == ENOENT && geteuid() == 0) {
            // The umask may take bits away but never adds any: the folder is no wider than meant while
            // it is being set up, and two runs making it at once both find it acceptable.
            const bool made = mkdirat(parent.Get(), step.name, step.mode) == 0;
            next = posix::MakeDescriptor(openat, parent.Get(), step.name, kFolderFlags);
            if (made && next) {
                fchmod(next.Get(), step.mode);
            }
        }
        if (!next) {
            if (errno == ENOENT) {
                return WinError::kPathNotFound;
            }
            return errno == ELOOP || errno == ENOTDIR ? WinError::kCantAccessFile : posix::LastWinError();
        }
        struct stat info {};
        if (fstat(next.Get(), &info) != 0) {
            return posix::LastWinError();
        }
        const bool shared = (step.mode & S_ISVTX) != 0;
        const bool safe = shared ? (info.st_mode & S_ISVTX) != 0 : (info.st_mode & 022) == 0;
        if (info.st_uid != 0 || !safe) {
            return WinError::kCantAccessFile;
        }
        parent = std::move(next);
    }
    folder = std::move(parent);
    return WinError::kSuccess;
}

} // namespace

uint32_t PreparePipeFolder() {
    posix::UniqueFd folder;
    return OpenPipeFolder(folder);
}

namespace {

// The folder and socket name of a pipe a client looks for; no folder yet is no pipe yet.
[[nodiscard]] uint32_t FindPipe(const std::wstring& pipeName, posix::UniqueFd& folder, std::string& name) {
    uint32_t error = SocketName(pipeName, name);
    if (error == WinError::kSuccess) {
        error = OpenPipeFolder(folder);
    }
    return error == WinError::kPathNotFound ? WinError::kFileNotFound : error;
}

// A path that reaches what the descriptor holds without resolving any name again, short enough for a
// socket address wherever the machine root lies.
std::string ThroughDescriptor(int fd, const std::string& name = {}) {
    return "/proc/self/fd/" + std::to_string(fd) + (name.empty() ? "" : "/" + name);
}

[[nodiscard]] uint32_t SocketAddress(const std::string& path, sockaddr_un& address, socklen_t& length) {
    address = {};
    if (path.size() >= sizeof address.sun_path) {
        return WinError::kFilenameExcedRange;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return WinError::kSuccess;
}

posix::UniqueFd NewSocket() {
    return posix::MakeDescriptor(socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

// Connects a new socket to the socket file that object (an O_PATH descriptor) holds: no name is
// resolved between the check of the file and the connection. Never waits: a listener with a client
// already waiting refuses with EAGAIN. Returns 0 or the errno.
int ConnectThrough(int object, posix::UniqueFd& connection) {
    sockaddr_un address{};
    socklen_t length = 0;
    // "/proc/self/fd/N" always fits a socket address.
    static_cast<void>(SocketAddress(ThroughDescriptor(object), address, length));
    posix::UniqueFd opened = NewSocket();
    if (!opened) {
        return errno;
    }
    if (posix::RetryAfterSignal(-1, connect, opened.Get(), reinterpret_cast<const sockaddr*>(&address),
                                length) != 0) {
        return errno;
    }
    connection = std::move(opened);
    return 0;
}

// Removes the socket left under name by a server of this user that no longer waits for a client (one
// that ended without removing it). Anything else stays, with ERROR_ACCESS_DENIED: another user's
// socket, live or not, and every other kind of object. In the sticky folder only the user's own files
// cannot be swapped between the check and the removal.
[[nodiscard]] uint32_t RemoveStaleSocket(int folder, const std::string& name) {
    const posix::UniqueFd object =
        posix::MakeDescriptor(openat, folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (!object) {
        return errno == ENOENT ? WinError::kSuccess : posix::LastWinError();
    }
    struct stat info {};
    if (fstat(object.Get(), &info) != 0) {
        return posix::LastWinError();
    }
    if (!S_ISSOCK(info.st_mode) || info.st_uid != geteuid() || info.st_nlink != 1) {
        return WinError::kAccessDenied;
    }
    posix::UniqueFd probe;
    if (ConnectThrough(object.Get(), probe) != ECONNREFUSED) {
        return WinError::kAccessDenied;
    }
    struct stat now {};
    if (fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == info.st_dev &&
        now.st_ino == info.st_ino && unlinkat(folder, name.c_str(), 0) != 0) {
        return posix::LastWinError();
    }
    return WinError::kSuccess;
}

// The server's socket file goes with the server; the caller holds the state's lock.
void RemoveName(PipeState& state) {
    if (!state.named) {
        return;
    }
    state.named = false;
    struct stat info {};
    if (fstatat(state.folder.Get(), state.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        info.st_dev == state.device && info.st_ino == state.inode) {
        unlinkat(state.folder.Get(), state.name.c_str(), 0);
    }
}

int PollTimeout(Clock::time_point deadline, bool limited) {
    if (!limited) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

Clock::time_point DeadlineAfter(uint32_t milliseconds) {
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

// Waits until fd has one of events (or has failed), the pipe is shut down (kPipeWaitCancelled) or the
// deadline has passed (kPipeWaitTimedOut).
[[nodiscard]] uint32_t Await(const PipeState& state, int fd, short events, Clock::time_point deadline,
                             bool limited) {
    for (;;) {
        pollfd entries[] = {{state.closing.Get(), POLLIN, 0}, {fd, events, 0}};
        const int ready = poll(entries, 2, PollTimeout(deadline, limited));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return posix::LastWinError();
        }
        if (entries[0].revents != 0) {
            return kPipeWaitCancelled;
        }
        if (ready == 0) {
            if (limited && Clock::now() >= deadline) {
                return kPipeWaitTimedOut;
            }
            continue;
        }
        return WinError::kSuccess;
    }
}

std::unique_ptr<PipeState> NewState() {
    auto state = std::make_unique<PipeState>();
    state->closing = posix::MakeDescriptor(eventfd, 0u, EFD_CLOEXEC | EFD_NONBLOCK);
    return state;
}

} // namespace

void Destroy(PipeState* state) noexcept {
    {
        std::lock_guard guard(state->lock);
        RemoveName(*state);
    }
    delete state;
}

uint32_t CreatePipe(const std::wstring& pipeName, uint32_t /*mode*/, PipeHandle& pipe) {
    std::string name;
    uint32_t error = SocketName(pipeName, name);
    if (error != WinError::kSuccess) {
        return error;
    }
    PipeHandle created(NewState().release());
    PipeState& state = *created.Get();
    if (!state.closing) {
        return posix::LastWinError();
    }
    error = OpenPipeFolder(state.folder);
    if (error != WinError::kSuccess) {
        return error;
    }
    // The socket is made, bound and listening under a fresh name of its own first, and only then renamed
    // to the pipe's name: a client never finds the name on a socket that does not listen yet, which it
    // would take for a busy pipe. The rename never replaces: anything under the name is in use, or stale.
    const std::string fresh = ".new-" + RandomHex(6);
    sockaddr_un address{};
    socklen_t length = 0;
    // Clients reach it by its name: that must fit a socket address too.
    error = SocketAddress(ThroughDescriptor(state.folder.Get(), name), address, length);
    if (error != WinError::kSuccess) {
        return error;
    }
    error = SocketAddress(ThroughDescriptor(state.folder.Get(), fresh), address, length);
    if (error != WinError::kSuccess) {
        return error;
    }
    state.listener = NewSocket();
    if (!state.listener) {
        return posix::LastWinError();
    }
    if (bind(state.listener.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        return posix::LastWinError();
    }
    const posix::UniqueFd object =
        posix::MakeDescriptor(openat, state.folder.Get(), fresh.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (!object || fstat(object.Get(), &info) != 0) {
        unlinkat(state.folder.Get(), fresh.c_str(), 0);
        return posix::LastWinError();
    }
    state.name = fresh;
    state.device = info.st_dev;
    state.inode = info.st_ino;
    state.named = true;
    // Only its owner and root may connect.
    if (!S_ISSOCK(info.st_mode) || chmod(ThroughDescriptor(object.Get()).c_str(), 0600) != 0) {
        return S_ISSOCK(info.st_mode) ? posix::LastWinError() : WinError::kAccessDenied;
    }
    // One client may wait before Bind, as a client may open a Windows pipe before ConnectNamedPipe.
    if (listen(state.listener.Get(), 0) != 0) {
        return posix::LastWinError();
    }
    for (int attempt = 0;; ++attempt) {
        if (renameat2(state.folder.Get(), fresh.c_str(), state.folder.Get(), name.c_str(),
                      RENAME_NOREPLACE) == 0) {
            break;
        }
        if (errno != EEXIST) {
            return posix::LastWinError();
        }
        if (attempt == 1) {
            return WinError::kAccessDenied;
        }
        error = RemoveStaleSocket(state.folder.Get(), name);
        if (error != WinError::kSuccess) {
            return error;
        }
    }
    state.name = name;
    pipe = std::move(created);
    return WinError::kSuccess;
}

uint32_t WaitForClient(const PipeHandle& pipe, uint32_t milliseconds) {
    PipeState& state = *pipe.Get();
    {
        std::lock_guard guard(state.lock);
        if (state.connection) {
            return WinError::kSuccess;
        }
        if (!state.listener) {
            return WinError::kInvalidHandle;
        }
    }
    const Clock::time_point deadline = DeadlineAfter(milliseconds);
    for (;;) {
        const uint32_t error =
            Await(state, state.listener.Get(), POLLIN, deadline, milliseconds != kWaitForever);
        if (error != WinError::kSuccess) {
            return error;
        }
        posix::UniqueFd accepted = posix::MakeDescriptor(accept4, state.listener.Get(), nullptr, nullptr,
                                                         SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (!accepted) {
            // The client may have gone again before it was taken.
            if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return posix::LastWinError();
        }
        std::lock_guard guard(state.lock);
        if (state.shut) {
            return kPipeWaitCancelled;
        }
        // The listener stays until the server keeps this client: one it drops leaves room for the next.
        state.connection = std::move(accepted);
        return WinError::kSuccess;
    }
}

void KeepClient(const PipeHandle& pipe) noexcept {
    PipeState& state = *pipe.Get();
    std::lock_guard guard(state.lock);
    // From now on every other client is refused: the pipe's one instance is taken. One that came while
    // the client was checked sees its connection reset.
    state.listener.Reset();
}

uint32_t DropClient(const PipeHandle& pipe) {
    PipeState& state = *pipe.Get();
    std::lock_guard guard(state.lock);
    // Unread packets go with the socket.
    state.connection.Reset();
    return WinError::kSuccess;
}

uint32_t IdentifyPeer(const PipeHandle& pipe, PeerIdentity& peer) {
    PipeState& state = *pipe.Get();
    std::lock_guard guard(state.lock);
    if (!state.connection) {
        return WinError::kInvalidHandle;
    }
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(state.connection.Get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return posix::LastWinError();
    }
    peer.processId = static_cast<uint32_t>(credentials.pid);
    peer.user = posix::SidOfUser(credentials.uid, posix::OwnerOf::Process);
    peer.administrator = credentials.uid == 0;
    return WinError::kSuccess;
}

uint32_t OpenPipe(const std::wstring& pipeName, uint32_t /*mode*/, PipeHandle& pipe) {
    std::string name;
    posix::UniqueFd folder;
    const uint32_t error = FindPipe(pipeName, folder, name);
    if (error != WinError::kSuccess) {
        return error;
    }
    // The file is checked and connected to through one descriptor: a link planted under the name is
    // never followed, and nothing can be swapped in between.
    const posix::UniqueFd object =
        posix::MakeDescriptor(openat, folder.Get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (!object) {
        return posix::LastWinError();
    }
    struct stat info {};
    if (fstat(object.Get(), &info) != 0) {
        return posix::LastWinError();
    }
    if (S_ISLNK(info.st_mode)) {
        return WinError::kCantAccessFile;
    }
    if (!S_ISSOCK(info.st_mode) || info.st_nlink != 1) {
        return WinError::kAccessDenied;
    }
    auto state = NewState();
    if (!state->closing) {
        return posix::LastWinError();
    }
    switch (const int failed = ConnectThrough(object.Get(), state->connection)) {
    case 0:
        pipe.Reset(state.release());
        return WinError::kSuccess;
    case ECONNREFUSED:
    case EAGAIN:
        return WinError::kPipeBusy;
    case EPROTOTYPE:
        return WinError::kAccessDenied;
    default:
        return posix::WinErrorFromErrno(failed);
    }
}

uint32_t WaitForPipe(const std::wstring& pipeName, uint32_t milliseconds) {
    std::string name;
    posix::UniqueFd folder;
    const uint32_t error = FindPipe(pipeName, folder, name);
    if (error != WinError::kSuccess) {
        return error;
    }
    // A server serves one client and never takes another: the pipe is free again only when a new
    // server has made it anew under the name.
    struct stat busy {};
    if (fstatat(folder.Get(), name.c_str(), &busy, AT_SYMLINK_NOFOLLOW) != 0) {
        return posix::LastWinError();
    }
    const Clock::time_point deadline = DeadlineAfter(milliseconds);
    for (;;) {
        const auto left = deadline - Clock::now();
        if (milliseconds != kWaitForever && left <= Clock::duration::zero()) {
            return kPipeWaitTimedOut;
        }
        std::this_thread::sleep_for(
            milliseconds == kWaitForever ? kBusyPollStep : std::min<Clock::duration>(kBusyPollStep, left));
        struct stat now {};
        if (fstatat(folder.Get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
            return posix::LastWinError();
        }
        if (now.st_dev != busy.st_dev || now.st_ino != busy.st_ino) {
            return WinError::kSuccess;
        }
    }
}

uint32_t ReadPipe(const PipeHandle& pipe, uint8_t* buffer, std::size_t size, std::size_t& got) {
    const PipeState& state = *pipe.Get();
    if (!state.connection) {
        return WinError::kInvalidHandle;
    }
    for (;;) {
        const uint32_t error = Await(state, state.connection.Get(), POLLIN, Clock::time_point(), false);
        if (error != WinError::kSuccess) {
            return error;
        }
        // MSG_TRUNC gives a packet's whole length, so that a longer one fails rather than arrives cut.
        const ssize_t received = recv(state.connection.Get(), buffer, size, MSG_DONTWAIT | MSG_TRUNC);
        if (received < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            return errno == ECONNRESET ? WinError::kBrokenPipe : posix::LastWinError();
        }
        // The end of the stream; an empty packet cannot be told from it.
        if (received == 0) {
            return WinError::kBrokenPipe;
        }
        if (static_cast<std::size_t>(received) > size) {
            return WinError::kMoreData;
        }
        got = static_cast<std::size_t>(received);
        return WinError::kSuccess;
    }
}

uint32_t WritePipe(const PipeHandle& pipe, const uint8_t* bytes, std::size_t size, uint32_t milliseconds) {
    const PipeState& state = *pipe.Get();
    if (!state.connection) {
        return WinError::kInvalidHandle;
    }
    // The reader would take an empty packet for the end of the stream.
    if (size == 0) {
        return WinError::kInvalidParameter;
    }
    // The reader is another user's process: a full socket is waited on for a while, never for good.
    const Clock::time_point deadline = DeadlineAfter(milliseconds);
    for (;;) {
        pollfd closing{state.closing.Get(), POLLIN, 0};
        if (poll(&closing, 1, 0) == 1) {
            return kPipeWaitCancelled;
        }
        const ssize_t sent = send(state.connection.Get(), bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) {
            return WinError::kSuccess;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN) {
            const uint32_t error = Await(state, state.connection.Get(), POLLOUT, deadline, true);
            if (error != WinError::kSuccess) {
                return error;
            }
            continue;
        }
        if (errno == EPIPE || errno == ECONNRESET) {
            return WinError::kNoData;
        }
        return errno == ENOTCONN ? WinError::kPipeNotConnected : posix::LastWinError();
    }
}

void ShutdownPipe(const PipeHandle& pipe) noexcept {
    if (!pipe) {
        return;
    }
    PipeState& state = *pipe.Get();
    std::lock_guard guard(state.lock);
    if (state.shut) {
        return;
    }
    state.shut = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t signalled = write(state.closing.Get(), &one, sizeof one);
    // The peer sees the end now, though the descriptor lives as long as a call still uses it.
    if (state.connection) {
        shutdown(state.connection.Get(), SHUT_RDWR);
    }
    RemoveName(state);
}

} // namespace ZEPMaintenance::platform
