// Linux side: errno mapping, the machine root and path encoding.
#include "system/posix/PosixSupport.h"

#include "system/WinError.h"
#include "system/posix/Utf8.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace ZEPMaintenance::posix {

uint32_t WinErrorFromErrno(int error) {
    switch (error) {
    case 0:
        return WinError::kSuccess;
    case ENOENT:
        return WinError::kFileNotFound;
    case ENOTDIR:
        return WinError::kPathNotFound;
    case EMFILE:
    case ENFILE:
        return WinError::kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
        return WinError::kAccessDenied;
    case EBADF:
        return WinError::kInvalidHandle;
    case ENOMEM:
        return WinError::kNotEnoughMemory;
    case EEXIST:
        return WinError::kAlreadyExists;
    case EINVAL:
        return WinError::kInvalidParameter;
    case EPIPE:
        return WinError::kNoData;
    case ENOSPC:
        return WinError::kDiskFull;
    case ENAMETOOLONG:
        return WinError::kFilenameExcedRange;
    case ENOTEMPTY:
        return WinError::kDirNotEmpty;
    case EBUSY:
        return WinError::kBusy;
    case EISDIR:
        return WinError::kAccessDenied;
    case ETIMEDOUT:
        return WinError::kWaitTimeout;
    case ENOTSUP:
        return WinError::kNotSupported;
    case ECONNREFUSED:
        return WinError::kPipeBusy;
    case ENOTCONN:
        return WinError::kPipeNotConnected;
    case EILSEQ:
        return WinError::kNoneMapped;
    default:
        return WinError::kInvalidFunction;
    }
}

uint32_t LastWinError() {
    return WinErrorFromErrno(errno);
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

int UniqueFd::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

std::string MachineRoot() {
    const char* root = std::getenv("ZEP_MACHINE_ROOT");
    std::string text = (root != nullptr && *root != '\0') ? root : "/";
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

std::string UnderMachineRoot(const std::string& relative) {
    const std::string root = MachineRoot();
    return root == "/" ? root + relative : root + "/" + relative;
}

std::string NativePath(const std::wstring& path) {
    return EncodeUtf8(path, InvalidBytes::Escape);
}

std::wstring WidePath(const std::string& path) {
    return DecodeUtf8(path, InvalidBytes::Escape);
}

} // namespace ZEPMaintenance::posix
