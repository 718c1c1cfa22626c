// Linux side: opening objects without following links, and the machine root.
#include "system/posix/PosixSupport.h"

#include "base/WinError.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ZEPMaintenance::posix {

std::string WithoutTrailingSlash(const std::string& path) {
    std::string result = path;
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

uint32_t OpenObject(const std::string& path, int flags, ObjectKind kind, UniqueFd& fd, struct stat* status) {
    const std::string object = WithoutTrailingSlash(path);
    if (object.size() != path.size() && kind == ObjectKind::FileOrFolder) {
        kind = ObjectKind::Folder;
    }
    return OpenObjectAt(AT_FDCWD, object, flags, kind, fd, status);
}

uint32_t OpenObjectAt(int folder, const std::string& name, int flags, ObjectKind kind, UniqueFd& fd,
                      struct stat* status) {
    UniqueFd opened =
        MakeDescriptor(openat, folder, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (!opened) {
        return LastWinError();
    }
    fd = std::move(opened);
    // O_DIRECTORY has made sure of a folder already; look only when asked to.
    if (status == nullptr && (flags & O_DIRECTORY) != 0) {
        return WinError::kSuccess;
    }
    struct stat own {};
    struct stat& info = status != nullptr ? *status : own;
    if (fstat(fd.Get(), &info) != 0) {
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
    return WinError::kSuccess;
}

uint32_t OpenObjectBelow(const std::string& root, const std::string& path, int flags, ObjectKind kind,
                         UniqueFd& fd, struct stat* status) {
    const std::string top = WithoutTrailingSlash(root);
    const std::string prefix = top == "/" ? top : top + "/";
    if (!top.empty() && WithoutTrailingSlash(path) == top) {
        return OpenObject(path, flags, kind, fd, status);
    }
    if (top.empty() || path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) {
        return WinError::kInvalidName;
    }
    std::string rest = path.substr(prefix.size());
    const std::string trimmed = WithoutTrailingSlash(rest);
    if (trimmed.size() != rest.size() && kind == ObjectKind::FileOrFolder) {
        kind = ObjectKind::Folder;
    }
    rest = trimmed;
    std::vector<std::string> components;
    for (std::size_t start = 0; start <= rest.size();) {
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos) {
            end = rest.size();
        }
        const std::string component = rest.substr(start, end - start);
        if (component == "." || component == "..") {
            return WinError::kInvalidName;
        }
        if (!component.empty()) {
            components.push_back(component);
        }
        start = end + 1;
    }
    if (components.empty()) {
        return WinError::kInvalidName;
    }
    UniqueFd folder;
    uint32_t error = OpenObject(top, O_RDONLY | O_DIRECTORY, ObjectKind::Folder, folder);
    if (error != WinError::kSuccess) {
        return error;
    }
    // A link reads as the link it is, whatever O_DIRECTORY made of it (ENOTDIR rather than ELOOP).
    const auto linkOr = [&](const std::string& name, uint32_t failure) {
        struct stat info {};
        return fstatat(folder.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)
                   ? WinError::kCantAccessFile
                   : failure;
    };
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        UniqueFd next;
        error = OpenObjectAt(folder.Get(), components[i], O_RDONLY | O_DIRECTORY, ObjectKind::Folder, next);
        if (error != WinError::kSuccess) {
            return linkOr(components[i], error == WinError::kFileNotFound ? WinError::kPathNotFound : error);
        }
        folder = std::move(next);
    }
    error = OpenObjectAt(folder.Get(), components.back(), flags, kind, fd, status);
    return error == WinError::kSuccess ? error : linkOr(components.back(), error);
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

} // namespace ZEPMaintenance::posix
