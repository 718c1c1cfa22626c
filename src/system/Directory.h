// One folder named by its parent path (with trailing separator) and its own name.
#pragma once

#include "diag/Logger.h"
#include "system/CSid.h"
#include "system/File.h"
#include "system/KnownFolder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance {

class Permissions;

class Directory {
public:
    Directory();
    Directory(const std::wstring& path, const std::wstring& dirname);
    Directory(const Directory& other);
    Directory& operator=(const Directory& other);

    void Clear();
    void SetFullPath(const std::wstring& fullPath);
    void SetSpecialFolder(KnownFolder id);
    // path + dirname + separator
    std::wstring GetFullPath() const;
    const std::wstring& GetPath() const { return path; }
    const std::wstring& GetDirname() const { return dirname; }

    bool Exists() const;
    void Create(const std::wstring& newPath, const std::wstring& newDirname);
    void Create();
    // The folder with all its content; permanently, or to the recycle bin where there is one.
    void Delete(bool permanently);
    // One level, in the order the file system lists the entries.
    void ScanDir();
    bool IsScanned() const { return scanned; }
    // The lists of the last scan; scans first when none has completed.
    std::vector<File>& GetFiles();
    std::vector<Directory>& GetSubdirs();

    void SetPermissions(const Permissions& permissions) const;
    Permissions GetPermissions() const;

    // Recursive copy of the content into target. Null pointers and false switch a step off: stamping
    // the copies with permissions and owner, checking each source item against the expected
    // permissions and the Builtin Administrators owner. Any failure inside becomes code 136.
    void CopyContentTo(Directory& target, const Permissions* permissionsToSet,
                       const Permissions* expectedPermissions, const CSid* ownerToSet,
                       bool requireAdminOwner);

private:
    void CheckDirname(const wchar_t* operation) const;
    void CopyItems(Directory& target, const Permissions* permissionsToSet,
                   const Permissions* expectedPermissions, const CSid* ownerToSet, bool requireAdminOwner);

    Logger logger{L"Directory"};
    std::wstring path;
    std::wstring dirname;
    std::vector<File> files;
    std::vector<Directory> subdirs;
    bool scanned = false;
};

namespace platform {
// CreateDirectoryW and GetFileAttributesW as Windows error number / directory test.
uint32_t MakeDirectory(const std::wstring& fullPath);
bool IsDirectory(const std::wstring& fullPath);

// SHFileOperationW(FO_DELETE) of one folder, silent and without confirmation: its result, 0 on success.
// The recycle bin is used when permanently is false and the platform has one.
int32_t DeleteFolderTree(const std::wstring& folder, bool permanently);

// A directory search (FindFirstFileW's handle); closed when the owner goes.
class FindHandle {
public:
    FindHandle() = default;
    ~FindHandle();
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    intptr_t value = -1;
};

struct FindEntry {
    std::wstring name;
    bool isDirectory = false;
};

// FindFirstFileW(pattern) and FindNextFileW: Windows error numbers, ERROR_NO_MORE_FILES at the end.
// On Linux a symbolic link is listed as a file, so that no walk follows it out of the tree.
uint32_t FindFirstEntry(const std::wstring& pattern, FindHandle& search, FindEntry& entry);
uint32_t FindNextEntry(FindHandle& search, FindEntry& entry);
} // namespace platform

} // namespace ZEPMaintenance
