// One folder named by its parent path (with trailing separator) and its own name.
#pragma once

#include "diag/Logger.h"
#include "system/CSid.h"
#include "system/File.h"
#include "system/KnownFolder.h"

#include <functional>
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
    // The same for a folder that is root or lies below it, in a tree others can write: the folder is
    // reached from root without following a link or reparse point on the way and listed through what was
    // opened (failures as ScanDir's, code 135).
    void ScanDirBelow(const std::wstring& root);
    bool IsScanned() const { return scanned; }
    // The files in this folder and every folder below it whose names match, walked as ScanDirBelow
    // walks (from root, never through a link) but without a line per entry. Code 135 on failure.
    std::vector<File> FindFilesBelow(const std::wstring& root,
                                     const std::function<bool(const std::wstring&)>& matches) const;
    // The lists of the last scan; scans first when none has completed.
    std::vector<File>& GetFiles();
    std::vector<Directory>& GetSubdirs();
    // Entries that are neither files, folders nor symbolic links (FIFOs, sockets, devices; Linux only):
    // they are not among the files, and the copy refuses a folder that holds one.
    const std::vector<std::wstring>& GetSpecialFiles();
    // Entries that are symbolic links, or on Windows any reparse point (junctions among them). They stay
    // where the scan puts them (on Linux among the files, on Windows among files or folders); a walk
    // that must not leave the tree refuses them.
    const std::vector<std::wstring>& GetLinks();

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
    template <class First, class Next> void Scan(const First& first, const Next& next);
    // Frees the lists of the last scan; the next request for them scans again.
    void ForgetScan();
    void CopyItems(Directory& target, const Permissions* permissionsToSet,
                   const Permissions* expectedPermissions, const CSid* ownerToSet, bool requireAdminOwner);

    Logger logger{L"Directory"};
    std::wstring path;
    std::wstring dirname;
    std::vector<File> files;
    std::vector<Directory> subdirs;
    std::vector<std::wstring> specialFiles;
    std::vector<std::wstring> links;
    bool scanned = false;
};

} // namespace ZEPMaintenance
