// Linux side of File: existence, deletion, copying and the version resource of PE files.
#include "system/platform/FilePrimitives.h"

#include "system/WinError.h"
#include "system/posix/PeVersionResource.h"
#include "system/posix/PosixSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
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
            copied = posix::RetryAfterSignal(-1, copy_file_range, source, nullptr, target, nullptr,
                                             std::size_t{1} << 30, 0u);
            if (copied < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
        } else {
            char buffer[1 << 16];
            copied = posix::RetryAfterSignal(-1, read, source, buffer, sizeof buffer);
            for (ssize_t done = 0; copied > 0 && done < copied;) {
                const ssize_t n = posix::RetryAfterSignal(-1, write, target, buffer + done,
                                                          static_cast<std::size_t>(copied - done));
                if (n < 0) {
                    return false;
                }
                done += n;
            }
        }
        if (copied <= 0) {
            return copied == 0;
        }
    }
}

// A file created for the copy beside its target; removed again unless renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(int folder) : folder_(folder) {}
    ~TemporaryFile() {
        if (!name_.empty()) {
            const int saved = errno;
            unlinkat(folder_, name_.c_str(), 0);
            errno = saved;
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool Create() {
        for (int attempt = 0; attempt < 100; ++attempt) {
            uint64_t random = 0;
            if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
                return false;
            }
            char name[40];
            std::snprintf(name, sizeof name, ".zep-copy-%016llx.tmp",
                          static_cast<unsigned long long>(random));
            const int fd =
                openat(folder_, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
            if (fd >= 0) {
                fd_.Reset(fd);
                name_ = name;
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false;
    }

    int Fd() const { return fd_.Get(); }

    bool RenameTo(const std::string& name) {
        if (renameat(folder_, name_.c_str(), folder_, name.c_str()) != 0) {
            return false;
        }
        name_.clear();
        return true;
    }

private:
    int folder_;
    posix::UniqueFd fd_;
    std::string name_;
};

} // namespace

bool CanOpenForReading(const std::wstring& fullPath) {
    // Only a regular file counts: the C runtime of Windows cannot open a folder as a stream, and a
    // link or special file is nothing the program reads.
    posix::UniqueFd file;
    return posix::OpenObject(posix::NativePath(fullPath), O_RDONLY, posix::ObjectKind::File, file) ==
           WinError::kSuccess;
}

uint32_t RemoveFile(const std::wstring& fullPath) {
    const std::string path = posix::NativePath(fullPath);
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return WinError::kAccessDenied;
    }
    return unlink(path.c_str()) == 0 ? WinError::kSuccess : posix::LastWinError();
}

// The copy is written to a fresh file of the program's own, readable by nobody else, and renamed over
// the target: whoever held the old target open keeps only the old file, and a link at the target's name
// is replaced rather than written through.
uint32_t CopyFileOverwriting(const std::wstring& sourcePath, const std::wstring& targetPath) {
    posix::UniqueFd source;
    uint32_t error =
        posix::OpenObject(posix::NativePath(sourcePath), O_RDONLY, posix::ObjectKind::File, source);
    if (error != WinError::kSuccess) {
        return error;
    }
    struct stat info {};
    if (fstat(source.Get(), &info) != 0) {
        return posix::LastWinError();
    }
    const std::string target = posix::NativePath(targetPath);
    const std::size_t slash = target.rfind('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string folderPath = slash == std::string::npos
                                       ? std::string(".")
                                       : (slash == 0 ? std::string("/") : target.substr(0, slash));
    if (name.empty() || name == "." || name == "..") {
        return WinError::kInvalidName;
    }
    posix::UniqueFd folder;
    error = posix::OpenObject(folderPath, O_RDONLY | O_DIRECTORY, posix::ObjectKind::Folder, folder);
    if (error != WinError::kSuccess) {
        // CopyFileW reports a missing target folder as a missing path.
        return error == WinError::kFileNotFound ? WinError::kPathNotFound : error;
    }
    struct stat existing {};
    if (fstatat(folder.Get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
        existing.st_dev == info.st_dev && existing.st_ino == info.st_ino) {
        // The file itself, under its own or another name: Windows refuses to open it for the copy.
        return WinError::kSharingViolation;
    }
    TemporaryFile copy(folder.Get());
    if (!copy.Create()) {
        return posix::LastWinError();
    }
    if (!CopyBytes(source.Get(), copy.Fd())) {
        return posix::LastWinError();
    }
    // The source's mode without write access for others, and its last write time, as on Windows.
    const timespec times[2] = {info.st_atim, info.st_mtim};
    if (fchmod(copy.Fd(), info.st_mode & 0755) != 0 || futimens(copy.Fd(), times) != 0) {
        return posix::LastWinError();
    }
    if (!copy.RenameTo(name)) {
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
