// Linux side of the small platform primitives: errno as last error, clock, ids, appending files.
#include "base/Platform.h"

#include "base/WinError.h"
#include "base/posix/Descriptor.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance::platform {

const wchar_t kPathSeparator = L'/';
const char kLineEnd[] = "\n";

uint32_t GetLastErrorCode() {
    return posix::WinErrorFromErrno(errno);
}

LastErrorGuard::LastErrorGuard() : saved_(static_cast<unsigned long>(errno)) {}

LastErrorGuard::~LastErrorGuard() {
    errno = static_cast<int>(saved_);
}

LocalTime GetLocalTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return LocalTime{static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
                     static_cast<uint16_t>(local.tm_mday),        static_cast<uint16_t>(local.tm_hour),
                     static_cast<uint16_t>(local.tm_min),         static_cast<uint16_t>(local.tm_sec),
                     static_cast<uint16_t>(now.tv_nsec / 1000000)};
}

namespace {

// Every log line carries both ids: asked of the system once per process and thread, and again in the
// child of a fork, which has ids of its own.
std::atomic<pid_t> knownProcessId{0};
thread_local pid_t knownThreadId = 0;

void ForgetIdsInChild() {
    knownProcessId = 0;
    knownThreadId = 0;
}

void ForgetIdsAtFork() {
    static const bool registered = pthread_atfork(nullptr, nullptr, ForgetIdsInChild) == 0;
    static_cast<void>(registered);
}

} // namespace

uint32_t CurrentProcessId() {
    ForgetIdsAtFork();
    pid_t id = knownProcessId;
    if (id == 0) {
        id = getpid();
        knownProcessId = id;
    }
    return static_cast<uint32_t>(id);
}

uint32_t CurrentThreadId() {
    ForgetIdsAtFork();
    if (knownThreadId == 0) {
        knownThreadId = gettid();
    }
    return static_cast<uint32_t>(knownThreadId);
}

namespace {

// A free name beside path for an object that is set aside; renamed without replacing anything.
[[nodiscard]] uint32_t SetAside(const std::string& path, std::string& asideName) {
    for (int attempt = 0;; ++attempt) {
        asideName = SetAsideName(path, attempt);
        if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, asideName.c_str(), RENAME_NOREPLACE) == 0) {
            return WinError::kSuccess;
        }
        if (errno != EEXIST || attempt == 99) {
            return posix::LastWinError();
        }
    }
}

// The log file last checked and written, kept open: a line costs one write, and the name is looked at
// again now and then; while it still leads to that same file with a single name, the file stays. Other users
// cannot rename or remove the writer's file in the sticky log folder; whoever can (the writer, an
// administrator rotating logs) makes the next line open the name afresh, with every check. Callers hold the
// log's lock.
struct CheckedLogFile {
    std::string path;
    posix::UniqueFd file;
    dev_t device = 0;
    ino_t inode = 0;
    timespec looked{}; // when the name was last seen to lead to the file (monotonic clock)
};

// The name is looked at again at most this often: a rotation is followed within this time, and the
// lines meanwhile go, whole, to the file that was checked.
constexpr int64_t kLookAgainNanoseconds = 1'000'000'000;

timespec MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

int64_t NanosecondsBetween(const timespec& from, const timespec& to) {
    return (static_cast<int64_t>(to.tv_sec) - from.tv_sec) * 1'000'000'000 + (to.tv_nsec - from.tv_nsec);
}

// Never destroyed: a line logged while the process exits still finds it.
CheckedLogFile& LastLogFile() {
    static auto* const last = new CheckedLogFile;
    return *last;
}

[[nodiscard]] uint32_t WriteAll(int fd, std::string_view bytes) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
        return posix::LastWinError();
    }
    return static_cast<std::size_t>(written) == bytes.size() ? WinError::kSuccess : WinError::kDiskFull;
}

} // namespace

uint32_t AppendToLogFile(const std::string& path, std::string_view header, std::string_view text,
                         const std::function<std::string(const std::string&)>& notice) {
    CheckedLogFile& last = LastLogFile();
    if (last.file && last.path == path) {
        const timespec now = MonotonicNow();
        if (NanosecondsBetween(last.looked, now) < kLookAgainNanoseconds) {
            return WriteAll(last.file.Get(), text);
        }
        struct stat named {};
        if (lstat(path.c_str(), &named) == 0 && named.st_dev == last.device && named.st_ino == last.inode &&
            S_ISREG(named.st_mode) && named.st_nlink == 1) {
            last.looked = now;
            std::string bytes(named.st_size == 0 ? header : std::string_view());
            bytes.append(text);
            return WriteAll(last.file.Get(), bytes);
        }
    }
    last.file.Reset();
    // Never blocks on a FIFO, never follows a link, never writes into what it did not check. A name
    // that another user keeps re-planting costs a bounded number of rounds.
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    std::string notices;
    int create = O_CREAT;
    for (int round = 0; round < 3; ++round) {
        posix::UniqueFd file = posix::MakeDescriptor(open, path.c_str(), kFlags | create, 0644);
        const uint32_t opened = file.Get() < 0 ? posix::LastWinError() : WinError::kSuccess;
        struct stat info {};
        if (file.Get() >= 0 && fstat(file.Get(), &info) != 0) {
            return posix::LastWinError();
        }
        if (file.Get() >= 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 && info.st_uid == geteuid()) {
            std::string bytes(info.st_size == 0 ? header : std::string_view());
            bytes += notices;
            bytes.append(text);
            const uint32_t error = WriteAll(file.Get(), bytes);
            last = CheckedLogFile{path, std::move(file), info.st_dev, info.st_ino, MonotonicNow()};
            return error;
        }
        // Nothing under the name, yet no file: the folder is missing or not ours to write.
        struct stat planted {};
        if (file.Get() < 0 && lstat(path.c_str(), &planted) != 0) {
            return opened;
        }
        std::string asideName;
        const uint32_t setAside = SetAside(path, asideName);
        if (setAside != WinError::kSuccess) {
            return setAside;
        }
        notices += notice(asideName);
        create = O_CREAT | O_EXCL;
    }
    return WinError::kAccessDenied;
}

void ReportOutsideLog(const std::string& text) {
    // Standard error may be a pipe or terminal that another user holds: one write, only when it
    // cannot block.
    pollfd target{STDERR_FILENO, POLLOUT, 0};
    if (poll(&target, 1, 0) == 1 && (target.revents & POLLOUT) != 0) {
        const std::string line = text + "\n";
        [[maybe_unused]] const ssize_t written =
            write(STDERR_FILENO, line.data(), std::min<std::size_t>(line.size(), PIPE_BUF));
    }
}

std::string ErrorText(uint32_t error) {
    return posix::ErrorText(error);
}

void ShareLogFolder(const std::wstring& folder) {
    // Sticky and writable by all, as /tmp: everybody creates their own files, nobody removes another's.
    if (geteuid() == 0) {
        chmod(posix::NativePath(folder).c_str(), 01777);
    }
}

void RandomBytes(unsigned char* bytes, std::size_t count) {
    std::size_t filled = 0;
    while (filled < count) {
        const ssize_t got = getrandom(bytes + filled, count - filled, 0);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            // No random source at all: the kernel is older than any this program runs on.
            std::abort();
        }
    }
}

void ComInitialize() {}
void ComUninitialize() {}

} // namespace ZEPMaintenance::platform
