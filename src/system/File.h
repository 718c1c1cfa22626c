// One file named by its folder (with trailing separator) and its name.
#pragma once

#include "base/UniqueHandle.h"
#include "diag/Logger.h"
#include "system/FileVersion.h"
#include "system/Sha256Hash.h"

#include <string>

namespace ZEPMaintenance {

class HashedCopy;
class Permissions;

namespace platform {

// A copy being made with its hash: the source open for reading and the new file beside the target
// that receives its bytes. Each platform defines what its state holds; releasing it closes both and
// removes the new file unless it was put in place.
struct HashedCopyState;
void Destroy(HashedCopyState* state) noexcept;
using HashedCopyHandle = PlatformHandle<HashedCopyState*>;

} // namespace platform

class File {
public:
    File();
    File(const std::wstring& path, const std::wstring& filename);
    File(const File& other);
    File& operator=(const File& other);

    void Set(const std::wstring& path, const std::wstring& filename);
    // Splits at the last path separator: the path keeps it, the name is the rest.
    void SetFullPath(const std::wstring& fullPath);
    std::wstring GetFullPath() const { return path + filename; }

    const std::wstring& GetPath() const { return path; }
    const std::wstring& GetFilename() const { return filename; }

    // True when the file can be opened for reading; folders are not files.
    bool Exists() const;
    Sha1Hash GetSha1Hash() const;
    // The SHA-1 and the SHA-256 of the file, in one read.
    FileDigests GetDigests() const;
    // From the version resource: major, minor, build, revision of the file version.
    FileVersion GetVersion() const;
    void SetPermissions(const Permissions& permissions) const;
    Permissions GetPermissions() const;
    void Delete() const;
    // Copies over an existing target; an empty target name keeps this file's name.
    File CopyTo(const std::wstring& targetPath, const std::wstring& targetFilename) const;
    File CopyTo(const std::wstring& targetFullPath) const;
    // Reads this file once, hashing its bytes (SHA-1 and SHA-256) as they are written to a new file beside
    // the target (same folder, a fresh name, created exclusively); nothing is at the target until the
    // result's Install renames the new file over it. So the hash is that of exactly the bytes installed,
    // whatever happens to this file meanwhile. An empty target name keeps this file's. When confinedTo
    // is not empty, this file must lie below that folder and is reached from it without following a
    // link or reparse point, and only a regular file with a single name is read (on Windows, with
    // writers shut out while it is read). Codes: 116 (this file cannot be opened), 117 (reading or
    // hashing), 131 (writing the copy).
    HashedCopy CopyWithHash(const std::wstring& targetPath, const std::wstring& targetFilename,
                            const std::wstring& confinedTo) const;

private:
    void CheckFilename(const wchar_t* operation) const;

    Logger logger{L"File"};
    std::wstring path;
    std::wstring filename;
};

// True for the names File::CopyWithHash gives its new files (".zep-copy-<16 hex digits>.tmp"): a file so
// named that is still there was left by a process killed while it copied.
bool IsHashedCopyName(const std::wstring& filename);

// The result of File::CopyWithHash: the digests of the bytes read, and the new file that holds them
// beside the target. Moved, never copied; a copy not installed is removed when the object goes.
class HashedCopy {
public:
    HashedCopy(HashedCopy&& other) noexcept;
    HashedCopy& operator=(HashedCopy&& other) noexcept;
    HashedCopy(const HashedCopy&) = delete;
    HashedCopy& operator=(const HashedCopy&) = delete;
    ~HashedCopy();

    const Sha1Hash& GetHash() const { return digests.sha1; }
    const FileDigests& GetDigests() const { return digests; }
    // Where Install puts the copy.
    const File& GetTarget() const { return target; }
    // The copy under its own name until it is installed, the target after: for reading what will be
    // installed (its version) before it is.
    const File& GetCopy() const { return installed ? target : copy; }
    bool IsInstalled() const { return installed; }
    // Renames the copy over the target (MoveFileExW with MOVEFILE_REPLACE_EXISTING, renameat); code 131
    // when that fails, the copy then still removed with the object. Installing twice does nothing.
    File Install();

private:
    friend class File;
    HashedCopy(const File& target, const File& copy, const FileDigests& digests,
               platform::HashedCopyHandle state);

    Logger logger{L"File"};
    File target;
    File copy;
    FileDigests digests;
    platform::HashedCopyHandle state;
    bool installed = false;
};

} // namespace ZEPMaintenance
