// Linux side of Directory: folders, known folders below the machine root, scans and a tree delete
// that never follows a symbolic link.
#include "system/platform/DirectoryPrimitives.h"

#include "base/WinError.h"
#include "system/posix/PosixSupport.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ZEPMaintenance::platform {

namespace {

using DirectoryStream = UniquePointer<DIR*, closedir>;

// A stream over the open folder; once it is made, it owns the descriptor.
DirectoryStream StreamOf(posix::UniqueFd& folder) {
    DirectoryStream stream(fdopendir(folder.Get()));
    if (stream) {
        static_cast<void>(folder.Release());
    }
    return stream;
}

DIR* Stream(const FindHandle& search) {
    return reinterpret_cast<DIR*>(static_cast<intptr_t>(search.Get()));
}

// The entry's type as the folder lists it, looked up only where the file system does not say.
unsigned char EntryType(DIR* stream, const dirent* entry) {
    if (entry->d_type != DT_UNKNOWN) {
        return entry->d_type;
    }
    struct stat info {};
    if (fstatat(dirfd(stream), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return DT_UNKNOWN;
    }
    return S_ISDIR(info.st_mode)   ? DT_DIR
           : S_ISREG(info.st_mode) ? DT_REG
           : S_ISLNK(info.st_mode) ? DT_LNK
                                   : DT_FIFO;
}

// Empties the folder open as folder: links and files are unlinked, sub-folders opened without
// following links and emptied first. Stays on the folder's own file system.
int RemoveContents(int folder, dev_t device) {
    posix::UniqueFd listing = posix::MakeDescriptor(fcntl, folder, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (listing.Get() < 0) {
        return -1;
    }
    std::vector<std::string> names;
    {
        const DirectoryStream stream = StreamOf(listing);
        if (!stream) {
            return -1;
        }
        errno = 0;
        while (const dirent* entry = readdir(stream.Get())) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        if (errno != 0) {
            return -1;
        }
    }
    for (const std::string& name : names) {
        struct stat info {};
        if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return -1;
        }
        if (S_ISDIR(info.st_mode)) {
            if (info.st_dev != device) {
                errno = EXDEV;
                return -1;
            }
            const posix::UniqueFd child = posix::MakeDescriptor(
                openat, folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child.Get() < 0 || RemoveContents(child.Get(), device) != 0 ||
                unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0) {
                return -1;
            }
        } else if (unlinkat(folder, name.c_str(), 0) != 0) {
            return -1;
        }
    }
    return 0;
}

[[nodiscard]] uint32_t Fill(DIR* stream, FindEntry& entry) {
    errno = 0;
    const dirent* found = readdir(stream);
    if (found == nullptr) {
        return errno == 0 ? WinError::kNoMoreFiles : posix::WinErrorFromErrno(errno);
    }
    entry.name = posix::WidePath(found->d_name);
    const unsigned char type = EntryType(stream, found);
    entry.isDirectory = type == DT_DIR;
    // What cannot be told apart counts as a file, as before: its own calls then refuse what it is.
    entry.isSpecial = type != DT_DIR && type != DT_REG && type != DT_LNK && type != DT_UNKNOWN;
    entry.isLink = type == DT_LNK;
    return WinError::kSuccess;
}

} // namespace

uint32_t MakeDirectory(const std::wstring& fullPath) {
    const std::string path = posix::WithoutTrailingSlash(posix::NativePath(fullPath));
    if (mkdir(path.c_str(), 0755) != 0) {
        if (errno == EEXIST) {
            // A symbolic link, even to a folder, is no folder the program may fill. A file of that
            // name exists as on Windows, and the folder checks that follow find no folder there.
            struct stat info {};
            if (lstat(path.c_str(), &info) != 0) {
                return posix::LastWinError();
            }
            return S_ISDIR(info.st_mode) || S_ISREG(info.st_mode) ? WinError::kAlreadyExists
                                                                  : WinError::kDirectory;
        }
        // CreateDirectoryW reports a missing parent as a missing path.
        return errno == ENOENT ? WinError::kPathNotFound : posix::WinErrorFromErrno(errno);
    }
    return WinError::kSuccess;
}

bool IsDirectory(const std::wstring& fullPath) {
    struct stat info {};
    return lstat(posix::WithoutTrailingSlash(posix::NativePath(fullPath)).c_str(), &info) == 0 &&
           S_ISDIR(info.st_mode);
}

int32_t GetKnownFolderPath(KnownFolder id, std::wstring& path) {
    const std::string folder =
        posix::UnderMachineRoot(id == KnownFolder::ProgramData ? "var/lib" : "usr/lib/zepmaintenance/system");
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), as for a known folder that does not exist.
        return static_cast<int32_t>(0x80070000u | WinError::kFileNotFound);
    }
    path = posix::WidePath(folder);
    return 0;
}

// There is no recycle bin: both kinds of delete are permanent.
int32_t DeleteFolderTree(const std::wstring& folder, bool /*permanently*/) {
    const std::string path = posix::NativePath(folder);
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return static_cast<int32_t>(posix::WinErrorFromErrno(errno));
    }
    if (!S_ISDIR(info.st_mode)) {
        return unlink(path.c_str()) == 0 ? 0 : static_cast<int32_t>(posix::WinErrorFromErrno(errno));
    }
    {
        const posix::UniqueFd top =
            posix::MakeDescriptor(open, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (top.Get() < 0 || RemoveContents(top.Get(), info.st_dev) != 0) {
            return static_cast<int32_t>(posix::LastWinError());
        }
    }
    return rmdir(path.c_str()) == 0 ? 0 : static_cast<int32_t>(posix::WinErrorFromErrno(errno));
}

void Destroy(DirectorySearch search) noexcept {
    closedir(reinterpret_cast<DIR*>(static_cast<intptr_t>(search)));
}

uint32_t FindFirstEntry(const std::wstring& pattern, FindHandle& search, FindEntry& entry) {
    std::wstring folder = pattern;
    if (!folder.empty() && folder.back() == L'*') {
        folder.pop_back();
    }
    posix::UniqueFd opened;
    const uint32_t error = posix::OpenObject(posix::NativePath(folder), O_RDONLY | O_DIRECTORY,
                                             posix::ObjectKind::Folder, opened);
    if (error != WinError::kSuccess) {
        // FindFirstFileW reports a missing folder as a missing path.
        return error == WinError::kFileNotFound ? WinError::kPathNotFound : error;
    }
    DirectoryStream stream = StreamOf(opened);
    if (!stream) {
        return posix::LastWinError();
    }
    search.Reset(static_cast<DirectorySearch>(reinterpret_cast<intptr_t>(stream.Release())));
    const uint32_t first = Fill(Stream(search), entry);
    return first == WinError::kNoMoreFiles ? WinError::kFileNotFound : first;
}

uint32_t FindNextEntry(FindHandle& search, FindEntry& entry) {
    return Fill(Stream(search), entry);
}

void Destroy(HeldFolder folder) noexcept {
    posix::FdTraits::Close(static_cast<int>(folder));
}

// A path through the descriptor reaches the opened folder without looking its name up again; the last
// component "." lets the calls that refuse to follow a link in the last component open the folder too.
uint32_t HoldFolder(const std::wstring& fullPath, HeldFolderHandle& folder, std::wstring& heldPath) {
    const std::string path = posix::WithoutTrailingSlash(posix::NativePath(fullPath));
    posix::UniqueFd opened;
    // O_DIRECTORY opens nothing else, not even for a moment: opening a device may have effects.
    const uint32_t error = posix::OpenObject(path, O_RDONLY | O_DIRECTORY, posix::ObjectKind::Folder, opened);
    if (error != WinError::kSuccess) {
        // A link fails as ELOOP (1920); any other object under the name as ENOTDIR, which is a missing
        // path only where an earlier component is not a folder.
        struct stat info {};
        const bool other = error == WinError::kPathNotFound && lstat(path.c_str(), &info) == 0 &&
                           !S_ISDIR(info.st_mode) && !S_ISLNK(info.st_mode);
        return other ? WinError::kDirectory : error;
    }
    heldPath = posix::WidePath("/proc/self/fd/" + std::to_string(opened.Get()) + "/./");
    folder.Reset(static_cast<HeldFolder>(opened.Release()));
    return WinError::kSuccess;
}

struct ConfinedSearchState {
    DirectoryStream stream;
};

void Destroy(ConfinedSearchState* state) noexcept {
    delete state;
}

uint32_t FindFirstEntryBelow(const std::wstring& root, const std::wstring& folder, ConfinedSearch& search,
                             FindEntry& entry) {
    posix::UniqueFd opened;
    const uint32_t error = posix::OpenObjectBelow(posix::NativePath(root), posix::NativePath(folder),
                                                  O_RDONLY | O_DIRECTORY, posix::ObjectKind::Folder, opened);
    if (error != WinError::kSuccess) {
        return error == WinError::kFileNotFound ? WinError::kPathNotFound : error;
    }
    auto state = std::make_unique<ConfinedSearchState>();
    state->stream = StreamOf(opened);
    if (!state->stream) {
        return posix::LastWinError();
    }
    search.Reset(state.release());
    const uint32_t first = Fill(search->stream.Get(), entry);
    return first == WinError::kNoMoreFiles ? WinError::kFileNotFound : first;
}

uint32_t FindNextEntryBelow(ConfinedSearch& search, FindEntry& entry) {
    return Fill(search->stream.Get(), entry);
}

} // namespace ZEPMaintenance::platform
