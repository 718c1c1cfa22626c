// One file named by its folder (with trailing separator) and its name.
#pragma once

#include "diag/Logger.h"
#include "system/FileVersion.h"
#include "system/Sha1Hash.h"

#include <string>

namespace ZEPMaintenance {

class Permissions;

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
    // From the version resource: major, minor, build, revision of the file version.
    FileVersion GetVersion() const;
    void SetPermissions(const Permissions& permissions) const;
    Permissions GetPermissions() const;
    void Delete() const;
    // Copies over an existing target; an empty target name keeps this file's name.
    File CopyTo(const std::wstring& targetPath, const std::wstring& targetFilename) const;
    File CopyTo(const std::wstring& targetFullPath) const;

private:
    void CheckFilename(const wchar_t* operation) const;

    Logger logger{L"File"};
    std::wstring path;
    std::wstring filename;
};

} // namespace ZEPMaintenance
