// File: naming a file and the operations the upgrade engine performs on it.
#include "system/File.h"

#include "base/Platform.h"
#include "base/WinError.h"
#include "diag/IMException.h"
#include "system/DigestStream.h"
#include "system/Permissions.h"
#include "system/platform/FilePrimitives.h"

#include <algorithm>
#include <memory>
#include <string_view>

namespace ZEPMaintenance {

bool IsHashedCopyName(const std::wstring& filename) {
    constexpr std::wstring_view prefix = L".zep-copy-";
    constexpr std::wstring_view suffix = L".tmp";
    const std::wstring_view name = filename;
    if (name.size() != prefix.size() + 16 + suffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(suffix)) {
        return false;
    }
    const std::wstring_view digits = name.substr(prefix.size(), 16);
    return std::all_of(digits.begin(), digits.end(),
                       [](wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); });
}

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

FileDigests File::GetDigests() const {
    CheckFilename(L"GetDigests");
    FileDigests digests;
    digests.sha1.CalcFromFile(GetFullPath(), digests.sha256);
    logger.Info(L"GetSha1Hash: File hash calculated. (filename: %ls, path: %ls, hash: %hs)", filename, path,
                digests.sha1.ToString());
    logger.Info(L"GetDigests: SHA-256 calculated in the same read. (filename: %ls, sha256: %hs)", filename,
                digests.sha256.ToString());
    return digests;
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

namespace {
// Large enough to keep the calls few and the hand-overs of the SHA-256 rare; the whole file is never held.
constexpr uint32_t kCopyChunkSize = 1024 * 1024;
} // namespace

HashedCopy File::CopyWithHash(const std::wstring& targetPath, const std::wstring& targetFilename,
                              const std::wstring& confinedTo) const {
    CheckFilename(L"CopyWithHash");
    const File target(targetPath, targetFilename.empty() ? filename : targetFilename);
    platform::HashedCopyHandle state;
    uint32_t error = platform::OpenCopySource(confinedTo, GetFullPath(), state);
    if (error != WinError::kSuccess) {
        logger.Error(
            L"CopyWithHash: CreateFileW failed. (filename: %ls, path: %ls, confinedTo: %ls, lastError: %d)",
            filename, path, confinedTo, error);
        ThrowIMException(ErrorCode::kHashFileOpenFailed);
    }
    // Two chunks in turn: one is read and written while the other's SHA-256 may still be taken beside.
    // Declared before the hash objects, so that they outlive a chunk still in hand when an error leaves;
    // not cleared, so that a small file touches only what it fills.
    const std::unique_ptr<uint8_t[]> chunks[2] = {std::make_unique_for_overwrite<uint8_t[]>(kCopyChunkSize),
                                                  std::make_unique_for_overwrite<uint8_t[]>(kCopyChunkSize)};
    DigestStream hashObject;
    error = hashObject.Create(DigestStream::Sha256::BesideCaller);
    if (error != WinError::kSuccess) {
        logger.Error(L"CopyWithHash: CryptCreateHash failed. (filename: %ls, path: %ls, lastError: %d)",
                     filename, path, error);
        ThrowIMException(ErrorCode::kHashFailed);
    }
    std::wstring copyName;
    error = platform::CreateCopyBeside(target.GetFullPath(), state, copyName);
    if (error != WinError::kSuccess) {
        logger.Error(L"CopyWithHash: Creating the copy failed (filename: %ls, path: %ls, copyFilename:%ls, "
                     L"copyPath: %ls, lastError: %d).",
                     filename, path, target.filename, target.path, error);
        ThrowIMException(ErrorCode::kFileDeleteOrCopyFailed);
    }
    for (std::size_t turn = 0;; turn ^= 1) {
        uint8_t* const chunk = chunks[turn].get();
        uint32_t count = 0;
        error = platform::ReadCopySource(state, chunk, kCopyChunkSize, count);
        if (error != WinError::kSuccess) {
            logger.Error(L"CopyWithHash: ReadFile failed. (filename: %ls, path: %ls, lastError: %d)",
                         filename, path, error);
            ThrowIMException(ErrorCode::kHashFailed);
        }
        if (count == 0) {
            break;
        }
        error = hashObject.Add(chunk, count);
        if (error != WinError::kSuccess) {
            logger.Error(L"CopyWithHash: CryptHashData failed. (filename: %ls, path: %ls, lastError: %d)",
                         filename, path, error);
            ThrowIMException(ErrorCode::kHashFailed);
        }
        error = platform::WriteCopy(state, chunk, count);
        if (error != WinError::kSuccess) {
            logger.Error(
                L"CopyWithHash: WriteFile failed (filename: %ls, path: %ls, copyFilename:%ls, copyPath: "
                L"%ls, lastError: %d).",
                filename, path, copyName, target.path, error);
            ThrowIMException(ErrorCode::kFileDeleteOrCopyFailed);
        }
    }
    error = platform::FinishCopy(state);
    if (error != WinError::kSuccess) {
        logger.Error(L"CopyWithHash: Finishing the copy failed (filename: %ls, path: %ls, copyFilename:%ls, "
                     L"copyPath: %ls, lastError: %d).",
                     filename, path, copyName, target.path, error);
        ThrowIMException(ErrorCode::kFileDeleteOrCopyFailed);
    }
    FileDigests digests;
    error = hashObject.Finish(digests);
    if (error != WinError::kSuccess) {
        logger.Error(L"CopyWithHash: CryptGetHashParam failed. (filename: %ls, path: %ls, lastError: %d)",
                     filename, path, error);
        ThrowIMException(ErrorCode::kHashFailed);
    }
    logger.Info(L"CopyWithHash: File copied with its hash. (filename: %ls, path: %ls, copyFilename: %ls, "
                L"copyPath: %ls, hash: %hs, sha256: %hs)",
                filename, path, copyName, target.path, digests.sha1.ToString(), digests.sha256.ToString());
    return HashedCopy(target, File(target.path, copyName), digests, std::move(state));
}

HashedCopy::HashedCopy(const File& newTarget, const File& newCopy, const FileDigests& newDigests,
                       platform::HashedCopyHandle newState)
    : target(newTarget), copy(newCopy), digests(newDigests), state(std::move(newState)) {}

HashedCopy::HashedCopy(HashedCopy&& other) noexcept
    : target(other.target), copy(other.copy), digests(other.digests), state(std::move(other.state)),
      installed(other.installed) {}

HashedCopy& HashedCopy::operator=(HashedCopy&& other) noexcept {
    target = other.target;
    copy = other.copy;
    digests = other.digests;
    state = std::move(other.state);
    installed = other.installed;
    return *this;
}

HashedCopy::~HashedCopy() = default;

File HashedCopy::Install() {
    if (installed) {
        return target;
    }
    const uint32_t error = state ? platform::PlaceCopy(state) : WinError::kInvalidHandle;
    if (error != WinError::kSuccess) {
        logger.Error(
            L"Install: MoveFileExW failed (filename: %ls, path: %ls, copyFilename:%ls, lastError: %d).",
            target.GetFilename(), target.GetPath(), copy.GetFilename(), error);
        ThrowIMException(ErrorCode::kFileDeleteOrCopyFailed);
    }
    installed = true;
    state.Reset();
    logger.Info(L"Install: Copy put in place. (filename: %ls, path: %ls, copyFilename: %ls)",
                target.GetFilename(), target.GetPath(), copy.GetFilename());
    return target;
}

} // namespace ZEPMaintenance
