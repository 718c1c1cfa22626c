// Linux side of what every module stands on: the errno table, the descriptor owner, file names as bytes.
#include "base/posix/Descriptor.h"

#include "base/WinError.h"
#include "base/posix/Utf8.h"

#include <cstring>
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

std::string NativePath(const std::wstring& path) {
    return EncodeUtf8(path, InvalidBytes::Escape);
}

std::wstring WidePath(const std::string& path) {
    return DecodeUtf8(path, InvalidBytes::Escape);
}

} // namespace ZEPMaintenance::posix
