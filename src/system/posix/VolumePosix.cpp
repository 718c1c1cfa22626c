// Linux side of the volume primitives: fstat, fstatat from a held folder, statvfs.
#include "system/platform/VolumePrimitives.h"

#include "base/Platform.h"
#include "base/WinError.h"
#include "system/posix/PosixSupport.h"

#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace ZEPMaintenance::platform {

namespace {

using DirectoryStream = UniquePointer<DIR*, closedir>;

// Adds the sizes below the open folder; the folder is read through its descriptor, never by name.
uint32_t AddSizesBelow(posix::UniqueFd folder, uint64_t& bytes) {
    DirectoryStream stream(fdopendir(folder.Get()));
    if (!stream) {
        return posix::LastWinError();
    }
    static_cast<void>(folder.Release()); // the stream owns it now
    while (const dirent* entry = readdir(stream.Get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat info {};
        if (fstatat(dirfd(stream.Get()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return posix::LastWinError();
        }
        bytes += static_cast<uint64_t>(info.st_size);
        if (S_ISDIR(info.st_mode)) {
            posix::UniqueFd child;
            if (const uint32_t error = posix::OpenObjectAt(dirfd(stream.Get()), name, O_RDONLY | O_DIRECTORY,
                                                           posix::ObjectKind::Folder, child);
                error != WinError::kSuccess) {
                return error;
            }
            if (const uint32_t error = AddSizesBelow(std::move(child), bytes); error != WinError::kSuccess) {
                return error;
            }
        }
    }
    return WinError::kSuccess;
}

} // namespace

uint32_t IdentifyFolder(const std::wstring& fullPath, ObjectIdentity& identity) {
    posix::UniqueFd folder;
    struct stat info {};
    const uint32_t error =
        posix::OpenObject(posix::WithoutTrailingSlash(posix::NativePath(fullPath)), O_RDONLY | O_DIRECTORY,
                          posix::ObjectKind::Folder, folder, &info);
    if (error != WinError::kSuccess) {
        return error;
    }
    identity = ObjectIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return WinError::kSuccess;
}

uint32_t CrossesLink(const std::wstring& root, const std::wstring& relativePath, bool& crosses) {
    crosses = false;
    posix::UniqueFd folder;
    if (const uint32_t error = posix::OpenObject(posix::WithoutTrailingSlash(posix::NativePath(root)),
                                                 O_RDONLY | O_DIRECTORY, posix::ObjectKind::Folder, folder);
        error != WinError::kSuccess) {
        return error;
    }
    const std::string path = posix::NativePath(relativePath);
    for (std::size_t start = 0; start < path.size();) {
        std::size_t end = path.find('/', start);
        end = end == std::string::npos ? path.size() : end;
        const std::string component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".") {
            continue;
        }
        struct stat info {};
        if (fstatat(folder.Get(), component.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno == ENOENT || errno == ENOTDIR ? WinError::kSuccess : posix::LastWinError();
        }
        if (S_ISLNK(info.st_mode)) {
            crosses = true;
            return WinError::kSuccess;
        }
        if (!S_ISDIR(info.st_mode)) {
            return WinError::kSuccess;
        }
        posix::UniqueFd next;
        if (const uint32_t error = posix::OpenObjectAt(folder.Get(), component, O_RDONLY | O_DIRECTORY,
                                                       posix::ObjectKind::Folder, next);
            error != WinError::kSuccess) {
            return error;
        }
        folder = std::move(next);
    }
    return WinError::kSuccess;
}

uint32_t TreeApparentSize(const std::wstring& folder, uint64_t& bytes) {
    bytes = 0;
    posix::UniqueFd top;
    if (const uint32_t error = posix::OpenObject(posix::WithoutTrailingSlash(posix::NativePath(folder)),
                                                 O_RDONLY | O_DIRECTORY, posix::ObjectKind::Folder, top);
        error != WinError::kSuccess) {
        return error;
    }
    return AddSizesBelow(std::move(top), bytes);
}

uint32_t SetAsideFolder(const std::wstring& fullPath, std::wstring& asideName) {
    asideName = fullPath + L".aside-" + posix::WidePath(RandomHex(8));
    const std::string from = posix::NativePath(fullPath);
    const std::string to = posix::NativePath(asideName);
    return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0
               ? WinError::kSuccess
               : posix::LastWinError();
}

uint32_t FreeBytes(const std::wstring& folder, uint64_t& bytes) {
    struct statvfs info {};
    if (statvfs(posix::NativePath(folder).c_str(), &info) != 0) {
        return posix::LastWinError();
    }
    // f_bavail: what an unprivileged writer may use; root may also use the reserve, but the engine does
    // not count on it.
    bytes = static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
    return WinError::kSuccess;
}

uint32_t FlushVolume(const std::wstring& folder) {
    // Any descriptor on the file system names it; reading through a link would only flush another one.
    const posix::UniqueFd any = posix::MakeDescriptor(open, posix::NativePath(folder).c_str(),
                                                      O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (!any) {
        return posix::LastWinError();
    }
    return syncfs(any.Get()) == 0 ? WinError::kSuccess : posix::LastWinError();
}

} // namespace ZEPMaintenance::platform
