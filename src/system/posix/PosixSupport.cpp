// Linux side: errno mapping, the machine root and path encoding.
#include "system/posix/PosixSupport.h"

#include "system/WinError.h"
#include "system/posix/Utf8.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
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
    case ELOOP:
        return WinError::kCantAccessFile;
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

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        close(fd_);
    }
    fd_ = fd;
}

std::string WithoutTrailingSlash(const std::string& path) {
    std::string result = path;
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

uint32_t OpenObject(const std::string& path, int flags, ObjectKind kind, UniqueFd& fd) {
    const std::string object = WithoutTrailingSlash(path);
    if (object.size() != path.size() && kind == ObjectKind::FileOrFolder) {
        kind = ObjectKind::Folder;
    }
    const int opened = open(object.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (opened < 0) {
        return LastWinError();
    }
    fd.Reset(opened);
    struct stat info {};
    if (fstat(opened, &info) != 0) {
        return LastWinError();
    }
    const bool isFile = S_ISREG(info.st_mode);
    const bool isFolder = S_ISDIR(info.st_mode);
    if (kind == ObjectKind::File && !isFile) {
        return WinError::kAccessDenied;
    }
    if (kind == ObjectKind::Folder && !isFolder) {
        return WinError::kDirectory;
    }
    if (kind == ObjectKind::FileOrFolder && !isFile && !isFolder) {
        return WinError::kAccessDenied;
    }
    const int status = fcntl(opened, F_GETFL);
    if (status < 0 || fcntl(opened, F_SETFL, status & ~O_NONBLOCK) != 0) {
        return LastWinError();
    }
    return WinError::kSuccess;
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
