// Directory: naming a folder and the folder operations of the upgrade engine.
#include "system/Directory.h"

#include "base/Platform.h"
#include "base/WinError.h"
#include "diag/IMException.h"
#include "system/Permissions.h"
#include "system/platform/DirectoryPrimitives.h"

namespace ZEPMaintenance {

Directory::Directory() = default;

Directory::Directory(const std::wstring& newPath, const std::wstring& newDirname)
    : path(newPath), dirname(newDirname) {}

Directory::Directory(const Directory& other)
    : path(other.path), dirname(other.dirname), files(other.files), subdirs(other.subdirs),
      specialFiles(other.specialFiles), links(other.links), scanned(other.scanned) {}

Directory& Directory::operator=(const Directory& other) {
    if (this != &other) {
        path = other.path;
        dirname = other.dirname;
        files = other.files;
        subdirs = other.subdirs;
        specialFiles = other.specialFiles;
        links = other.links;
        scanned = other.scanned;
    }
    return *this;
}

void Directory::Clear() {
    path.clear();
    dirname.clear();
    files.clear();
    subdirs.clear();
    specialFiles.clear();
    links.clear();
    scanned = false;
}

void Directory::SetFullPath(const std::wstring& fullPath) {
    Clear();
    std::wstring text = fullPath;
    if (!text.empty() && text.back() == platform::kPathSeparator) {
        text.pop_back();
    }
    const std::size_t separator = text.rfind(platform::kPathSeparator);
    if (separator == std::wstring::npos) {
        dirname = text;
    } else {
        path = text.substr(0, separator + 1);
        dirname = text.substr(separator + 1);
    }
}

void Directory::SetSpecialFolder(KnownFolder id) {
    std::wstring folder;
    const int32_t hr = platform::GetKnownFolderPath(id, folder);
    if (hr < 0) {
        logger.Error(L"SetSpecialFolder: SHGetKnownFolderPath failed. (hr: %d)", hr);
        ThrowIMException(ErrorCode::kKnownFolderFailed);
    }
    SetFullPath(folder);
}

std::wstring Directory::GetFullPath() const {
    return path + dirname + platform::kPathSeparator;
}

void Directory::CheckDirname(const wchar_t* operation) const {
    if (dirname.empty()) {
        logger.Error(L"%ls: Dirname not set.", operation);
        ThrowIMException(ErrorCode::kInvalidValue);
    }
}

bool Directory::Exists() const {
    CheckDirname(L"Exists");
    const bool exists = platform::IsDirectory(GetFullPath());
    logger.Info(L"Exists: Directory existence checked. (dirname: %ls, path: %ls, exists: %ls)", dirname, path,
                exists ? L"true" : L"false");
    return exists;
}

void Directory::Create(const std::wstring& newPath, const std::wstring& newDirname) {
    Clear();
    path = newPath;
    dirname = newDirname;
    Create();
}

void Directory::Create() {
    CheckDirname(L"Create");
    const uint32_t error = platform::MakeDirectory(GetFullPath());
    if (error == WinError::kAlreadyExists) {
        logger.Info(L"Create: Directory already exists. (path: %ls, dirname: %ls)", path, dirname);
    } else if (error != WinError::kSuccess) {
        logger.Error(L"Create: CreateDirectoryW failed. (path: %ls, dirname: %ls, lastError: %d)", path,
                     dirname, error);
        ThrowIMException(ErrorCode::kDirectoryCreateFailed);
    }
}

void Directory::Delete(bool permanently) {
    CheckDirname(L"Delete");
    std::wstring from = GetFullPath();
    from.pop_back();
    logger.Info(L"Delete: Delete directory (pszFrom: %ls).", from);
    const int32_t ret = platform::DeleteFolderTree(from, permanently);
    if (ret != 0) {
        logger.Error(L"Delete: SHFileOperation failed (ret: %d)", ret);
        ThrowIMException(ErrorCode::kDirectoryDeleteFailed);
    }
}

void Directory::ScanDir() {
    CheckDirname(L"ScanDir");
    platform::FindHandle search;
    Scan([&](const std::wstring& fullPath,
             platform::FindEntry& entry) { return platform::FindFirstEntry(fullPath + L"*", search, entry); },
         [&](platform::FindEntry& entry) { return platform::FindNextEntry(search, entry); });
}

void Directory::ScanDirBelow(const std::wstring& root) {
    CheckDirname(L"ScanDir");
    platform::ConfinedSearch search;
    Scan(
        [&](const std::wstring& fullPath, platform::FindEntry& entry) {
            return platform::FindFirstEntryBelow(root, fullPath, search, entry);
        },
        [&](platform::FindEntry& entry) { return platform::FindNextEntryBelow(search, entry); });
}

std::vector<File> Directory::FindFilesBelow(const std::wstring& root,
                                            const std::function<bool(const std::wstring&)>& matches) const {
    std::vector<File> found;
    std::vector<std::wstring> pending{GetFullPath()};
    while (!pending.empty()) {
        const std::wstring folder = std::move(pending.back());
        pending.pop_back();
        platform::ConfinedSearch search;
        platform::FindEntry entry;
        uint32_t error = platform::FindFirstEntryBelow(root, folder, search, entry);
        while (error == WinError::kSuccess) {
            if (entry.isDirectory && !entry.isLink) {
                if (entry.name != L"." && entry.name != L"..") {
                    pending.push_back(folder + entry.name + platform::kPathSeparator);
                }
            } else if (!entry.isDirectory && !entry.isSpecial && matches(entry.name)) {
                found.emplace_back(folder, entry.name);
            }
            error = platform::FindNextEntryBelow(search, entry);
        }
        if (error != WinError::kNoMoreFiles) {
            logger.Error(L"ScanDir: Error occured. (path: %ls, lastError: %d)", folder, error);
            ThrowIMException(ErrorCode::kDirectoryScanFailed);
        }
    }
    return found;
}

template <class First, class Next> void Directory::Scan(const First& first, const Next& next) {
    files.clear();
    subdirs.clear();
    specialFiles.clear();
    links.clear();
    scanned = false;
    const std::wstring fullPath = GetFullPath();
    platform::FindEntry entry;
    uint32_t error = first(fullPath, entry);
    if (error != WinError::kSuccess) {
        logger.Error(L"ScanDir: FindFirstFileW failed. (path: %ls, dirname: %ls, lastError: %d)", path,
                     dirname, error);
        ThrowIMException(ErrorCode::kDirectoryScanFailed);
    }
    do {
        if (entry.isLink) {
            links.push_back(entry.name);
        }
        if (entry.isSpecial) {
            specialFiles.push_back(entry.name);
            logger.Warn(L"ScanDir: Special file found; neither copied nor read. (path: %ls, dirname: %ls, "
                        L"foundFilename: %ls)",
                        path, dirname, entry.name);
        } else if (!entry.isDirectory) {
            files.emplace_back(fullPath, entry.name);
            logger.Info(L"ScanDir: File found. (path: %ls, dirname: %ls, foundFilename: %ls)", path, dirname,
                        entry.name);
        } else if (entry.name != L"." && entry.name != L"..") {
            subdirs.emplace_back(fullPath, entry.name);
            logger.Info(L"ScanDir: Directory found. (path: %ls, dirname: %ls, foundDirname: %ls)", path,
                        dirname, entry.name);
        }
        error = next(entry);
    } while (error == WinError::kSuccess);
    if (error != WinError::kNoMoreFiles) {
        logger.Error(L"ScanDir: Error occured. (path: %ls, dirname: %ls, lastError: %d)", path, dirname,
                     error);
        ThrowIMException(ErrorCode::kDirectoryScanFailed);
    }
    scanned = true;
}

std::vector<File>& Directory::GetFiles() {
    if (!scanned) {
        ScanDir();
    }
    return files;
}

std::vector<Directory>& Directory::GetSubdirs() {
    if (!scanned) {
        ScanDir();
    }
    return subdirs;
}

const std::vector<std::wstring>& Directory::GetSpecialFiles() {
    if (!scanned) {
        ScanDir();
    }
    return specialFiles;
}

const std::vector<std::wstring>& Directory::GetLinks() {
    if (!scanned) {
        ScanDir();
    }
    return links;
}

void Directory::SetPermissions(const Permissions& permissions) const {
    CheckDirname(L"SetPermissions");
    permissions.SavePermissionsToFile(GetFullPath());
}

Permissions Directory::GetPermissions() const {
    CheckDirname(L"GetPermissions");
    Permissions permissions;
    permissions.LoadPermissionsFromFile(GetFullPath());
    return permissions;
}

void Directory::CopyContentTo(Directory& target, const Permissions* permissionsToSet,
                              const Permissions* expectedPermissions, const CSid* ownerToSet,
                              bool requireAdminOwner) {
    CheckDirname(L"CopyContentTo");
    if (!target.Exists()) {
        logger.Error(L"CopyContentTo: Target dir doesn't exists. (targetPath: %ls, targetDirname: %ls)",
                     target.path, target.dirname);
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    try {
        CopyItems(target, permissionsToSet, expectedPermissions, ownerToSet, requireAdminOwner);
    } catch (const IMException& e) {
        logger.Error(
            L"CopyContentTo: Copy dir failed. Exception occured. (targetPath: %ls, targetDirname: %ls, "
            L"exCode: %d, exText: %ls)",
            target.path, target.dirname, e.GetErrorNumber(), e.GetErrorDescription());
        ThrowIMException(ErrorCode::kDirectoryCopyFailed);
    }
}

namespace {
bool IsAdministrators(const CSid& owner) {
    return owner.IsValid() && owner == CSid::Administrators();
}
} // namespace

void Directory::CopyItems(Directory& target, const Permissions* permissionsToSet,
                          const Permissions* expectedPermissions, const CSid* ownerToSet,
                          bool requireAdminOwner) {
    const std::wstring targetFullPath = target.GetFullPath();
    // A FIFO or device has no content to keep, and what reading one does is up to whoever made it.
    for (const std::wstring& special : GetSpecialFiles()) {
        logger.Error(L"CopyContentTo: Not a file, folder or symbolic link; not copied. (filename: %ls)",
                     GetFullPath() + special);
        ThrowIMException(ErrorCode::kFileDeleteOrCopyFailed);
    }
    for (const File& file : GetFiles()) {
        const std::wstring source = file.GetFullPath();
        if (expectedPermissions != nullptr && !file.GetPermissions().EqualPermissions(*expectedPermissions)) {
            logger.Error(L"CopyContentTo: Permissions of file doesn't equals to expected permissions. Hack "
                         L"attempt? (filename: %ls)",
                         source);
            ThrowIMException(ErrorCode::kBackupPermissionsMismatch);
        }
        if (requireAdminOwner && !IsAdministrators(Permissions::GetFileOwner(source))) {
            logger.Error(L"CopyContentTo: Owner of backup file is not BA. Hack attempt? (filename: %ls)",
                         source);
            ThrowIMException(ErrorCode::kBackupPermissionsMismatch);
        }
        const File copy = file.CopyTo(targetFullPath, L"");
        if (permissionsToSet != nullptr) {
            copy.SetPermissions(*permissionsToSet);
        }
        if (ownerToSet != nullptr) {
            Permissions::SetFileOwner(copy.GetFullPath(), *ownerToSet);
        }
    }
    for (Directory& subdir : GetSubdirs()) {
        const std::wstring source = subdir.GetFullPath();
        if (expectedPermissions != nullptr &&
            !subdir.GetPermissions().EqualPermissions(*expectedPermissions)) {
            logger.Error(
                L"CopyContentTo: Permissions of directory doesn't equals to expected permissions. Hack "
                L"attempt? (dirname: %ls)",
                source);
            ThrowIMException(ErrorCode::kBackupPermissionsMismatch);
        }
        if (requireAdminOwner && !IsAdministrators(Permissions::GetFileOwner(source))) {
            logger.Error(L"CopyContentTo: Owner of backup subdir is not BA. Hack attempt? (dirname: %ls)",
                         source);
            ThrowIMException(ErrorCode::kBackupPermissionsMismatch);
        }
        Directory copy;
        copy.Create(targetFullPath, subdir.GetDirname());
        if (permissionsToSet != nullptr) {
            copy.SetPermissions(*permissionsToSet);
        }
        if (ownerToSet != nullptr) {
            Permissions::SetFileOwner(copy.GetFullPath(), *ownerToSet);
        }
        subdir.CopyContentTo(copy, permissionsToSet, expectedPermissions, ownerToSet, requireAdminOwner);
        // Copied: what its scan found goes, so that a copy holds one folder's list per level, not the tree.
        subdir.ForgetScan();
    }
}

void Directory::ForgetScan() {
    // Swapped with empty ones: clearing would keep the capacity.
    std::vector<File>().swap(files);
    std::vector<Directory>().swap(subdirs);
    std::vector<std::wstring>().swap(specialFiles);
    std::vector<std::wstring>().swap(links);
    scanned = false;
}

} // namespace ZEPMaintenance
