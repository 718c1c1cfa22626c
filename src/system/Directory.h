// One folder named by its parent path (with trailing separator) and its own name.
#pragma once

#include "diag/Logger.h"
#include "system/File.h"
#include "system/KnownFolder.h"

#include <string>
#include <vector>

namespace ZEPMaintenance {

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

private:
    void CheckDirname(const wchar_t* operation) const;

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
} // namespace platform

} // namespace ZEPMaintenance
