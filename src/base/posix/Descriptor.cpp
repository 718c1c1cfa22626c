// Linux side of what every module stands on: the errno table, the descriptor owner and the one way
// descriptors are made, file names as bytes.
#include "base/posix/Descriptor.h"

#include "base/WinError.h"
#include "base/posix/Utf8.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace ZEPMaintenance::posix {

namespace {

// errno values and the Windows numbers they stand for; where several errno values share a number, the
// first one is the number's usual cause.
constexpr struct {
    int error;
    uint32_t winError;
} kErrnoMap[] = {
    {0, WinError::kSuccess},
    {ENOENT, WinError::kFileNotFound},
    {ENOTDIR, WinError::kPathNotFound},
    {EMFILE, WinError::kTooManyOpenFiles},
    {ENFILE, WinError::kTooManyOpenFiles},
    {EACCES, WinError::kAccessDenied},
    {EPERM, WinError::kAccessDenied},
    {EROFS, WinError::kAccessDenied},
    {EISDIR, WinError::kAccessDenied},
    {EBADF, WinError::kInvalidHandle},
    {ENOMEM, WinError::kNotEnoughMemory},
    {EEXIST, WinError::kAlreadyExists},
    {EINVAL, WinError::kInvalidParameter},
    {EPIPE, WinError::kNoData},
    {ENOSPC, WinError::kDiskFull},
    {ENAMETOOLONG, WinError::kFilenameExcedRange},
    {ENOTEMPTY, WinError::kDirNotEmpty},
    {EBUSY, WinError::kBusy},
    {ETIMEDOUT, WinError::kWaitTimeout},
    {ENOTSUP, WinError::kNotSupported},
    {ECONNREFUSED, WinError::kPipeBusy},
    {ENOTCONN, WinError::kPipeNotConnected},
    {EILSEQ, WinError::kNoneMapped},
    {ELOOP, WinError::kCantAccessFile},
};

} // namespace

uint32_t WinErrorFromErrno(int error) {
    for (const auto& entry : kErrnoMap) {
        if (entry.error == error) {
            return entry.winError;
        }
    }
    return WinError::kInvalidFunction;
}

std::string ErrorText(uint32_t winError) {
    for (const auto& entry : kErrnoMap) {
        if (entry.winError == winError) {
            return std::strerror(entry.error);
        }
    }
    return "Unknown error " + std::to_string(winError);
}

uint32_t LastWinError() {
    return WinErrorFromErrno(errno);
}

void FdTraits::Close(int fd) noexcept {
    close(fd);
}

namespace detail {

UniqueFd KeptAsNew(int made) {
    if (made < 0) {
        return UniqueFd();
    }
    UniqueFd kept(made);
    if (made <= STDERR_FILENO) {
        // Moved above 2 rather than closed and made again: the object stays the one the call made (an
        // accepted connection, a file just created with O_EXCL, a name looked up once in a folder others
        // write), which a second call would lose, fail on or find replaced.
        UniqueFd moved(fcntl(made, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
        if (!moved) {
            const int error = errno;
            kept.Reset();
            errno = error;
        }
        return moved;
    }
    const int flags = fcntl(made, F_GETFD);
    if (flags < 0 || ((flags & FD_CLOEXEC) == 0 && fcntl(made, F_SETFD, flags | FD_CLOEXEC) != 0)) {
        const int error = errno;
        kept.Reset();
        errno = error;
    }
    return kept;
}

} // namespace detail

bool MakePipe(int flags, UniqueFd& readEnd, UniqueFd& writeEnd) {
    int ends[2];
    if (RetryAfterSignal(-1, pipe2, ends, flags | O_CLOEXEC) != 0) {
        return false;
    }
    // The write end is owned at once, so that it is closed should the read end fail.
    UniqueFd madeWrite(ends[1]);
    UniqueFd keptRead = detail::KeptAsNew(ends[0]);
    UniqueFd keptWrite = keptRead ? detail::KeptAsNew(madeWrite.Release()) : UniqueFd();
    if (!keptWrite) {
        return false;
    }
    readEnd = std::move(keptRead);
    writeEnd = std::move(keptWrite);
    return true;
}

void OpenStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // Every lower descriptor is open, so the lowest free one is fd. Not close-on-exec: these are
        // the standard descriptors programs started later get. Open for the life of the process.
        if (RetryAfterSignal(-1, open, "/dev/null", O_RDWR | O_NOCTTY) < 0) {
            return;
        }
    }
}

std::string NativePath(const std::wstring& path) {
    return EncodeUtf8(path, InvalidBytes::Escape);
}

std::wstring WidePath(const std::string& path) {
    return DecodeUtf8(path, InvalidBytes::Escape);
}

} // namespace ZEPMaintenance::posix
