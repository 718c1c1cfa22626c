// File: naming a file and the operations the upgrade engine performs on it.
#include "system/File.h"

#include "diag/IMException.h"
#include "system/Permissions.h"
#include "system/Platform.h"
#include "system/WinError.h"
#include "system/platform/FilePrimitives.h"

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

void File::CheckFilename(const wchar_t* operation) const {
    if (filename.empty()) {
        logger.Error(L"%ls: Filename not set.", operation);
        ThrowIMException(ErrorCode::kInvalidValue);
    }
}

bool File::Exists() const {
    CheckFilename(L"Exists");
    const bool exists = platform::CanOpenForReading(GetFullPath());
    logger.Info(L"Exists: File existence checked. (filename: %ls, path: %ls, exists: %ls)", filename, path,
                exists ? L"true" : L"false");
    return exists;
}

Sha1Hash File::GetSha1Hash() const {
    CheckFilename(L"GetSha1Hash");
    Sha1Hash hash;
    hash.CalcFromFile(GetFullPath());
    logger.Info(L"GetSha1Hash: File hash calculated. (filename: %ls, path: %ls, hash: %hs)", filename, path,
                hash.ToString());
    return hash;
}

FileVersion File::GetVersion() const {
    CheckFilename(L"GetVersion");
    const std::wstring fullPath = GetFullPath();
    const uint32_t size = platform::GetVersionInfoSize(fullPath);
    if (size == 0) {
        logger.Error(L"GetVersion: GetFileVersionInfoSizeW returned 0. (filename: %ls, path: %ls).", filename,
                     path);
        ThrowIMException(ErrorCode::kFileVersionFailed);
    }
    std::vector<uint8_t> buffer(size);
    const uint32_t error = platform::GetVersionInfo(fullPath, buffer);
    if (error != WinError::kSuccess) {
        logger.Error(L"GetVersion: GetFileVersionInfoW failed (filename: %ls, path: %ls, lastError: %d).",
                     filename, path, error);
        ThrowIMException(ErrorCode::kFileVersionFailed);
    }
    uint32_t versionMs = 0;
    uint32_t versionLs = 0;
    if (!platform::QueryFixedFileVersion(buffer, versionMs, versionLs)) {
        logger.Error(
            L"GetVersion: VerQueryValueW found no fixed file information (filename: %ls, path: %ls).",
            filename, path);
        ThrowIMException(ErrorCode::kFileVersionFailed);
    }
    return FileVersion{static_cast<int32_t>(versionMs >> 16), static_cast<int32_t>(versionMs & 0xFFFF),
                       static_cast<int32_t>(versionLs >> 16), static_cast<int32_t>(versionLs & 0xFFFF)};
}

void File::SetPermissions(const Permissions& permissions) const {
    CheckFilename(L"SetPermissions");
    permissions.SavePermissionsToFile(GetFullPath());
}

Permissions File::GetPermissions() const {
    CheckFilename(L"GetPermissions");
    Permissions permissions;
    permissions.LoadPermissionsFromFile(GetFullPath());
    return permissions;
}

void File::Delete() const {
    CheckFilename(L"Delete");
    const uint32_t error = platform::RemoveFile(GetFullPath());
    if (error != WinError::kSuccess) {
        logger.Error(L"Delete: DeleteFileW failed (filename: %ls, path: %ls, lastError: %d).", filename, path,
                     error);
        ThrowIMException(ErrorCode::kFileDeleteOrCopyFailed);
    }
}

File File::CopyTo(const std::wstring& targetPath, const std::wstring& targetFilename) const {
    CheckFilename(L"CopyTo");
    const File copy(targetPath, targetFilename.empty() ? filename : targetFilename);
    const uint32_t error = platform::CopyFileOverwriting(GetFullPath(), copy.GetFullPath());
    if (error != WinError::kSuccess) {
        logger.Error(L"CopyTo: CopyFileW failed (filename: %ls, path: %ls, copyFilename:%ls, copyPath: %ls, "
                     L"lastError: %d).",
                     filename, path, copy.filename, copy.path, error);
        ThrowIMException(ErrorCode::kFileDeleteOrCopyFailed);
    }
    return copy;
}

File File::CopyTo(const std::wstring& targetFullPath) const {
    File target;
    target.SetFullPath(targetFullPath);
    return CopyTo(target.path, target.filename);
}

} // namespace ZEPMaintenance
