// Linux side of File: existence, deletion, copying and the version resource of PE files.
#include "system/File.h"

#include "system/WinError.h"
#include "system/posix/PeVersionResource.h"
#include "system/posix/PosixSupport.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance::platform {

namespace {

// Copies the rest of the source into the target: in the kernel where it can, by reads otherwise.
bool CopyBytes(int source, int target) {
    bool kernelCopy = true;
    for (;;) {
        ssize_t copied;
        if (kernelCopy) {
            copied = copy_file_range(source, nullptr, target, nullptr, 1 << 30, 0);
            if (copied < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
        } else {
            char buffer[1 << 16];
            copied = read(source, buffer, sizeof buffer);
            for (ssize_t done = 0; copied > 0 && done < copied;) {
                const ssize_t n = write(target, buffer + done, static_cast<std::size_t>(copied - done));
                if (n < 0 && errno != EINTR) {
                    return false;
                }
                done += n > 0 ? n : 0;
            }
        }
        if (copied == 0) {
            return true;
        }
        if (copied < 0 && errno != EINTR) {
            return false;
        }
    }
}

} // namespace

bool CanOpenForReading(const std::wstring& fullPath) {
    const posix::UniqueFd file(
        open(posix::NativePath(fullPath).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    // The C runtime of Windows cannot open a folder as a stream.
    return file.Get() >= 0 && fstat(file.Get(), &info) == 0 && !S_ISDIR(info.st_mode);
}

uint32_t RemoveFile(const std::wstring& fullPath) {
    const std::string path = posix::NativePath(fullPath);
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return WinError::kAccessDenied;
    }
    return unlink(path.c_str()) == 0 ? WinError::kSuccess : posix::LastWinError();
}

uint32_t CopyFileOverwriting(const std::wstring& sourcePath, const std::wstring& targetPath) {
    const posix::UniqueFd source(
        open(posix::NativePath(sourcePath).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (source.Get() < 0) {
        return posix::LastWinError();
    }
    struct stat info {};
    if (fstat(source.Get(), &info) != 0) {
        return posix::LastWinError();
    }
    if (S_ISDIR(info.st_mode)) {
        return WinError::kAccessDenied;
    }
    const posix::UniqueFd target(open(posix::NativePath(targetPath).c_str(),
                                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY,
                                      info.st_mode & 0777));
    if (target.Get() < 0) {
        return posix::LastWinError();
    }
    if (!CopyBytes(source.Get(), target.Get())) {
        return posix::LastWinError();
    }
    // The copy keeps the source's last write time, as on Windows.
    const timespec times[2] = {info.st_atim, info.st_mtim};
    if (futimens(target.Get(), times) != 0) {
        return posix::LastWinError();
    }
    return WinError::kSuccess;
}

uint32_t GetVersionInfoSize(const std::wstring& fullPath) {
    std::vector<uint8_t> data;
    const uint32_t error = posix::ReadVersionResource(posix::NativePath(fullPath), data);
    return error == WinError::kSuccess ? static_cast<uint32_t>(data.size()) : 0;
}

uint32_t GetVersionInfo(const std::wstring& fullPath, std::vector<uint8_t>& buffer) {
    std::vector<uint8_t> data;
    const uint32_t error = posix::ReadVersionResource(posix::NativePath(fullPath), data);
    if (error != WinError::kSuccess) {
        return error;
    }
    if (data.size() > buffer.size()) {
        return WinError::kInsufficientBuffer;
    }
    std::copy(data.begin(), data.end(), buffer.begin());
    return WinError::kSuccess;
}

bool QueryFixedFileVersion(const std::vector<uint8_t>& buffer, uint32_t& versionMs, uint32_t& versionLs) {
    return posix::ParseFixedFileVersion(buffer, versionMs, versionLs);
}

} // namespace ZEPMaintenance::platform
