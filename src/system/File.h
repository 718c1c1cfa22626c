// One file named by its folder (with trailing separator) and its name.
#pragma once

#include "diag/Logger.h"

#include <string>

namespace ZEPMaintenance {

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

private:
    Logger logger{L"File"};
    std::wstring path;
    std::wstring filename;
};

} // namespace ZEPMaintenance
