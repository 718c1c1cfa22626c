// Directory: naming a folder and the folder operations of the upgrade engine.
#include "system/Directory.h"

#include "diag/IMException.h"
#include "system/Platform.h"
#include "system/WinError.h"

namespace ZEPMaintenance {

Directory::Directory() = default;

Directory::Directory(const std::wstring& newPath, const std::wstring& newDirname)
    : path(newPath), dirname(newDirname) {}

Directory::Directory(const Directory& other)
    : path(other.path), dirname(other.dirname), files(other.files), subdirs(other.subdirs),
      scanned(other.scanned) {}

Directory& Directory::operator=(const Directory& other) {
    if (this != &other) {
        path = other.path;
        dirname = other.dirname;
        files = other.files;
        subdirs = other.subdirs;
        scanned = other.scanned;
    }
    return *this;
}

void Directory::Clear() {
    path.clear();
    dirname.clear();
    files.clear();
    subdirs.clear();
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

} // namespace ZEPMaintenance
