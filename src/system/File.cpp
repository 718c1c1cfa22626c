// File: naming a file and the operations the upgrade engine performs on it.
#include "system/File.h"

#include "system/Platform.h"

namespace ZEPMaintenance {

File::File() = default;

File::File(const std::wstring& newPath, const std::wstring& newFilename)
    : path(newPath), filename(newFilename) {}

File::File(const File& other) : path(other.path), filename(other.filename) {}

File& File::operator=(const File& other) {
    path = other.path;
    filename = other.filename;
    return *this;
}

void File::Set(const std::wstring& newPath, const std::wstring& newFilename) {
    path = newPath;
    filename = newFilename;
}

void File::SetFullPath(const std::wstring& fullPath) {
    const std::size_t separator = fullPath.rfind(platform::kPathSeparator);
    if (separator == std::wstring::npos) {
        path.clear();
        filename = fullPath;
    } else {
        path = fullPath.substr(0, separator + 1);
        filename = fullPath.substr(separator + 1);
    }
}

} // namespace ZEPMaintenance
