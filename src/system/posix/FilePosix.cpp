// Linux side of File: existence, deletion, copying and the version resource of PE files.
#include "system/platform/FilePrimitives.h"

#include "base/WinError.h"
#include "system/posix/PeVersionResource.h"
#include "system/posix/PosixSupport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <string>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance::platform {

namespace {

// Makes the empty target share the source's blocks where the file system can (XFS, btrfs): the copy
// costs no data written, and a later write to either file gives it blocks of its own. False where the
// file system cannot, or source and target lie on different ones.
bool ShareBlocks(int source, int target) {
    return ioctl(target, FICLONE, source) == 0;
}

// Copies size bytes of the source into the target: shared blocks where the file system has them, in
// the kernel where it can, by reads otherwise. The copy ends at the size the source had when it was
// opened, or earlier if it shrank meanwhile.
bool CopyBytes(int source, int target, off_t size) {
    if (size > 0 && ShareBlocks(source, target)) {
        return true;
    }
    bool kernelCopy = true;
    for (off_t done = 0; done < size;) {
        const auto wanted = static_cast<std::size_t>(std::min<off_t>(size - done, off_t{1} << 30));
        ssize_t copied;
        if (kernelCopy) {
            copied =
                posix::RetryAfterSignal(-1, copy_file_range, source, nullptr, target, nullptr, wanted, 0u);
            if (copied < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
        } else {
            char buffer[1 << 16];
            copied = posix::RetryAfterSignal(-1, read, source, buffer, std::min(sizeof buffer, wanted));
            for (ssize_t written = 0; copied > 0 && written < copied;) {
                const ssize_t n = posix::RetryAfterSignal(-1, write, target, buffer + written,
                                                          static_cast<std::size_t>(copied - written));
                if (n < 0) {
                    return false;
                }
                written += n;
            }
        }
        if (copied <= 0) {
            return copied == 0;
        }
        done += copied;
    }
    return true;
}

// A name for a new object beside its target: unpredictable to other users, drawn from the system once
// per process and counted on from there; O_EXCL makes sure it is new.
std::string TemporaryName() {
    static std::atomic<uint64_t> next = [] {
        uint64_t seed = 0;
        if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
            seed = static_cast<uint64_t>(getpid()) << 32 ^ static_cast<uint64_t>(time(nullptr));
        }
        return seed;
    }();
    char name[40];
    std::snprintf(name, sizeof name, ".zep-copy-%016llx.tmp", static_cast<unsigned long long>(next++));
    return name;
}

// A new object created for the copy beside its target; removed again unless renamed into place.
class TemporaryObject {
public:
    explicit TemporaryObject(int folder) : folder_(folder) {}
    ~TemporaryObject() {
        if (!name_.empty()) {
            const int saved = errno;
            unlinkat(folder_, name_.c_str(), 0);
            errno = saved;
        }
    }
    TemporaryObject(const TemporaryObject&) = delete;
    TemporaryObject& operator=(const TemporaryObject&) = delete;

    // A file readable by nobody else while it is written, under a name of its own.
    bool CreateFile() {
        return Create([this](const std::string& name) { return CreateFileNamed(name); });
    }

    // The same under the name the copy is to have, which must be free: then nothing needs renaming.
    // It may be created with its final mode at once, which saves changing it afterwards.
    bool CreateFileAs(const std::string& name, mode_t mode) {
        if (!CreateFileNamed(name, mode)) {
            return false;
        }
        name_ = name;
        return true;
    }

    // A symbolic link holding target, which is never followed.
    bool CreateLink(const std::string& target) {
        return Create(
            [&](const std::string& name) { return symlinkat(target.c_str(), folder_, name.c_str()) == 0; });
    }

    int Fd() const { return fd_.Get(); }
    const std::string& Name() const { return name_; }

    // Puts the object in place under name, where it may replace what is there.
    bool RenameTo(const std::string& name) {
        if (name != name_ && renameat(folder_, name_.c_str(), folder_, name.c_str()) != 0) {
            return false;
        }
        name_.clear();
        return true;
    }

private:
    // Readable too: a copy whose blocks are shared with its source is hashed from itself.
    bool CreateFileNamed(const std::string& name, mode_t mode = 0600) {
        fd_ = posix::MakeDescriptor(openat, folder_, name.c_str(),
                                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
        return fd_.IsValid();
    }

    template <class Make> bool Create(const Make& make) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = TemporaryName();
            if (make(name)) {
                name_ = name;
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false;
    }

    int folder_;
    posix::UniqueFd fd_;
    std::string name_;
};

// The folder a copy goes to and the copy's name in it.
struct CopyTarget {
    posix::UniqueFd folder;
    std::string name;
};

[[nodiscard]] uint32_t OpenCopyTarget(const std::string& target, CopyTarget& copyTarget) {
    const std::size_t slash = target.rfind('/');
    copyTarget.name = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string folderPath = slash == std::string::npos
                                       ? std::string(".")
                                       : (slash == 0 ? std::string("/") : target.substr(0, slash));
    if (copyTarget.name.empty() || copyTarget.name == "." || copyTarget.name == "..") {
        return WinError::kInvalidName;
    }
    const uint32_t error =
        posix::OpenObject(folderPath, O_RDONLY | O_DIRECTORY, posix::ObjectKind::Folder, copyTarget.folder);
    // CopyFileW reports a missing target folder as a missing path.
    return error == WinError::kFileNotFound ? WinError::kPathNotFound : error;
}

// The process's file mode creation mask, read once without changing it (umask() would, for a moment,
// for every thread); -1 when it cannot be read.
int CreationMask() {
    static const int mask = [] {
        const posix::UniqueFd status = posix::MakeDescriptor(open, "/proc/self/status", O_RDONLY | O_CLOEXEC);
        char text[4096];
        const ssize_t length =
            status ? posix::RetryAfterSignal(-1, read, status.Get(), text, sizeof text - 1) : -1;
        if (length <= 0) {
            return -1;
        }
        text[length] = '\0';
        const char* found = std::strstr(text, "\nUmask:");
        return found != nullptr ? static_cast<int>(std::strtol(found + 8, nullptr, 8)) : -1;
    }();
    return mask;
}

enum class TargetName { Free, Taken, Source };

// What holds the copy's name now. The source itself, under its own or another name, is refused, as
// Windows refuses to open it for the copy.
TargetName LookAtTarget(const CopyTarget& target, const struct stat& source) {
    struct stat existing {};
    if (fstatat(target.folder.Get(), target.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? TargetName::Free : TargetName::Taken;
    }
    return existing.st_dev == source.st_dev && existing.st_ino == source.st_ino ? TargetName::Source
                                                                                : TargetName::Taken;
}

// A symbolic link is copied as a link: its target text, never what it points to.
[[nodiscard]] uint32_t CopyLink(const std::string& source, const std::string& target) {
    struct stat info {};
    if (lstat(source.c_str(), &info) != 0) {
        return posix::LastWinError();
    }
    if (!S_ISLNK(info.st_mode)) {
        return WinError::kCantAccessFile;
    }
    std::string text(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t length = readlink(source.c_str(), text.data(), text.size());
    if (length < 0) {
        return posix::LastWinError();
    }
    // Retargeted between the lstat and the read: what was read is not what was looked at.
    if (static_cast<std::size_t>(length) != static_cast<std::size_t>(info.st_size)) {
        return WinError::kCantAccessFile;
    }
    text.resize(static_cast<std::size_t>(length));
    CopyTarget copyTarget;
    uint32_t error = OpenCopyTarget(target, copyTarget);
    if (error != WinError::kSuccess) {
        return error;
    }
    if (LookAtTarget(copyTarget, info) == TargetName::Source) {
        return WinError::kSharingViolation;
    }
    TemporaryObject copy(copyTarget.folder.Get());
    const timespec times[2] = {info.st_atim, info.st_mtim};
    if (!copy.CreateLink(text) ||
        utimensat(copyTarget.folder.Get(), copy.Name().c_str(), times, AT_SYMLINK_NOFOLLOW) != 0 ||
        !copy.RenameTo(copyTarget.name)) {
        return posix::LastWinError();
    }
    return WinError::kSuccess;
}

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
// is replaced rather than written through. A symbolic link is copied as a link.
uint32_t CopyFileOverwriting(const std::wstring& sourcePath, const std::wstring& targetPath) {
    const std::string sourceName = posix::NativePath(sourcePath);
    posix::UniqueFd source;
    struct stat info {};
    uint32_t error = posix::OpenObject(sourceName, O_RDONLY, posix::ObjectKind::File, source, &info);
    if (error == WinError::kCantAccessFile) {
        return CopyLink(sourceName, posix::NativePath(targetPath));
    }
    if (error != WinError::kSuccess) {
        return error;
    }
    CopyTarget target;
    error = OpenCopyTarget(posix::NativePath(targetPath), target);
    if (error != WinError::kSuccess) {
        return error;
    }
    const TargetName existing = LookAtTarget(target, info);
    if (existing == TargetName::Source) {
        return WinError::kSharingViolation;
    }
    // The copy gets the source's mode without write access for others, and its last write time, as on
    // Windows. A free name is taken at once, exclusively, and with that mode where the creation mask
    // leaves it whole; an object under the name is replaced only by the rename of a private copy.
    const mode_t mode = info.st_mode & 0755;
    const int mask = CreationMask();
    const bool direct = existing == TargetName::Free && mask >= 0 && (mode & static_cast<mode_t>(mask)) == 0;
    TemporaryObject copy(target.folder.Get());
    bool withMode = direct && copy.CreateFileAs(target.name, mode);
    if ((!withMode && !copy.CreateFile()) || !CopyBytes(source.Get(), copy.Fd(), info.st_size)) {
        return posix::LastWinError();
    }
    // The mask read once may have changed since; looking costs less than changing the mode.
    struct stat created {};
    withMode = withMode && fstat(copy.Fd(), &created) == 0 && (created.st_mode & 07777) == mode;
    const timespec times[2] = {info.st_atim, info.st_mtim};
    if ((!withMode && fchmod(copy.Fd(), mode) != 0) || futimens(copy.Fd(), times) != 0) {
        return posix::LastWinError();
    }
    if (!copy.RenameTo(target.name)) {
        return posix::LastWinError();
    }
    return WinError::kSuccess;
}

struct HashedCopyState {
    posix::UniqueFd source;
    struct stat sourceInfo {};
    // Declared before the copy, which removes itself through the folder's descriptor.
    CopyTarget target;
    std::unique_ptr<TemporaryObject> copy;
    // The copy shares the source's blocks: its bytes are read from the copy itself, and nothing is
    // written, so that what is hashed is what the copy holds, whatever happens to the source.
    bool shared = false;
};

void Destroy(HashedCopyState* state) noexcept {
    delete state;
}

uint32_t OpenCopySource(const std::wstring& root, const std::wstring& source, HashedCopyHandle& copy) {
    auto state = std::make_unique<HashedCopyState>();
    const std::string path = posix::NativePath(source);
    const uint32_t error =
        root.empty()
            ? posix::OpenObject(path, O_RDONLY, posix::ObjectKind::File, state->source, &state->sourceInfo)
            : posix::OpenObjectBelow(posix::NativePath(root), path, O_RDONLY, posix::ObjectKind::File,
                                     state->source, &state->sourceInfo);
    if (error != WinError::kSuccess) {
        return error;
    }
    // A second name may lie where its owner could not read it: the bytes are not the tree's to give.
    if (!root.empty() && state->sourceInfo.st_nlink != 1) {
        return WinError::kCantAccessFile;
    }
    (void)posix_fadvise(state->source.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    copy.Reset(state.release());
    return WinError::kSuccess;
}

uint32_t CreateCopyBeside(const std::wstring& target, HashedCopyHandle& copy, std::wstring& copyName) {
    HashedCopyState& state = *copy.Get();
    uint32_t error = OpenCopyTarget(posix::NativePath(target), state.target);
    if (error != WinError::kSuccess) {
        return error;
    }
    if (LookAtTarget(state.target, state.sourceInfo) == TargetName::Source) {
        return WinError::kSharingViolation;
    }
    state.copy = std::make_unique<TemporaryObject>(state.target.folder.Get());
    if (!state.copy->CreateFile()) {
        error = posix::LastWinError();
        state.copy.reset();
        return error;
    }
    copyName = posix::WidePath(state.copy->Name());
    state.shared = state.sourceInfo.st_size > 0 && ShareBlocks(state.source.Get(), state.copy->Fd());
    return WinError::kSuccess;
}

uint32_t ReadCopySource(HashedCopyHandle& copy, uint8_t* buffer, uint32_t size, uint32_t& count) {
    const int from = copy->shared ? copy->copy->Fd() : copy->source.Get();
    const ssize_t got = posix::RetryAfterSignal(-1, read, from, buffer, size);
    if (got < 0) {
        count = 0;
        return posix::LastWinError();
    }
    count = static_cast<uint32_t>(got);
    return WinError::kSuccess;
}

uint32_t WriteCopy(HashedCopyHandle& copy, const uint8_t* buffer, uint32_t count) {
    if (copy->shared) {
        return WinError::kSuccess;
    }
    for (uint32_t written = 0; written < count;) {
        const ssize_t n = posix::RetryAfterSignal(-1, write, copy->copy->Fd(), buffer + written,
                                                  static_cast<std::size_t>(count - written));
        if (n < 0) {
            return posix::LastWinError();
        }
        written += static_cast<uint32_t>(n);
    }
    return WinError::kSuccess;
}

// The mode and times CopyFileOverwriting gives its copies: the source's mode without write access
// for others and its last write time; the owner is the copying process's. Not flushed here: the update
// flushes the file system once when every copy is in place (docs/copy-stage.md, "Power loss").
uint32_t FinishCopy(HashedCopyHandle& copy) {
    HashedCopyState& state = *copy.Get();
    const int fd = state.copy->Fd();
    const timespec times[2] = {state.sourceInfo.st_atim, state.sourceInfo.st_mtim};
    if (fchmod(fd, state.sourceInfo.st_mode & 0755) != 0 || futimens(fd, times) != 0) {
        return posix::LastWinError();
    }
    state.source.Reset();
    return WinError::kSuccess;
}

uint32_t PlaceCopy(HashedCopyHandle& copy) {
    HashedCopyState& state = *copy.Get();
    if (!state.copy || !state.copy->RenameTo(state.target.name)) {
        return state.copy ? posix::LastWinError() : WinError::kInvalidHandle;
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
