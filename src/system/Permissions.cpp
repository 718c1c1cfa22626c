// Permissions: building, comparing, saving and loading DACLs, and the file owner functions.
#include "system/Permissions.h"

#include "base/WinError.h"
#include "diag/IMException.h"
#include "diag/Log.h"
#include "system/platform/PermissionsPrimitives.h"

namespace ZEPMaintenance {

namespace {
constexpr uint8_t kInheritToFilesAndFolders = kObjectInheritAce | kContainerInheritAce;
}

Permissions::Permissions() = default;

Permissions::Permissions(const Dacl& initial) : dacl(initial) {}

Permissions::Permissions(const Permissions& other) : dacl(other.dacl) {}

Permissions& Permissions::operator=(const Permissions& other) {
    dacl = other.dacl;
    return *this;
}

void Permissions::AddAllowedAce(const CSid& sid, uint32_t mask) {
    const uint32_t error = dacl.AddAllowedAce(sid, mask, kInheritToFilesAndFolders);
    if (error != WinError::kSuccess) {
        logger.Error(L"AddAllowedAce: AddAllowedAce failed. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kAddAccessEntryFailed);
    }
}

bool Permissions::EqualPermissions(const Permissions& other) const {
    const auto& mine = dacl.Entries();
    const auto& theirs = other.dacl.Entries();
    if (mine.size() != theirs.size()) {
        logger.ErrorText(L"EqualPermissions: AceCount differs");
        return false;
    }
    for (std::size_t i = 0; i < mine.size(); ++i) {
        const AccessEntry& a = mine[i];
        const AccessEntry& b = theirs[i];
        const int index = static_cast<int>(i);
        if (!a.sid.IsValid() || !b.sid.IsValid() || !(a.sid == b.sid)) {
            logger.Error(L"EqualPermissions: SID differs. (index: %d, sidThis: %ls, sidOther: %ls)", index,
                         a.sid.Sid(), b.sid.Sid());
            return false;
        }
        if (a.mask != b.mask) {
            logger.Error(L"EqualPermissions: Mask differs. (index: %d, maskThis: %d, maskOther: %d)", index,
                         a.mask, b.mask);
            return false;
        }
        if (a.type != b.type) {
            logger.Error(L"EqualPermissions: Type differs. (index: %d, typeThis: %d, typeOther: %d)", index,
                         static_cast<int>(a.type), static_cast<int>(b.type));
            return false;
        }
    }
    return true;
}

void Permissions::SavePermissionsToFile(const std::wstring& path) const {
    logger.Info(L"SavePermissionsToFile: Saving permissions to file. (filename: %ls)", path);
    const platform::CallResult result = platform::SetFileDacl(path, dacl);
    if (!result.Succeeded()) {
        logger.Error(L"SavePermissionsToFile: SetNamedSecurityInfo failed. (ret: %d, lastError: %d)",
                     result.returned, result.lastError);
        ThrowIMException(ErrorCode::kPermissionsSaveFailed);
    }
}

void Permissions::LoadPermissionsFromFile(const std::wstring& path) {
    logger.Info(L"LoadPermissionsFromFile: Loading permissions from file. (filename: %ls)", path);
    Dacl loaded;
    const platform::CallResult result = platform::GetFileDacl(path, loaded);
    if (!result.Succeeded()) {
        logger.Error(L"LoadPermissionsFromFile: GetNamedSecurityInfo failed. (ret: %d, lastError: %d)",
                     result.returned, result.lastError);
        ThrowIMException(ErrorCode::kPermissionsLoadFailed);
    }
    dacl = std::move(loaded);
}

void Permissions::SavePermissionsToService(const platform::ServiceHandle& service) const {
    logger.InfoText(L"SavePermissionsToService: Saving permissions to service.");
    const uint32_t error =
        service.IsValid() ? platform::SetServiceDacl(service, dacl) : WinError::kInvalidHandle;
    if (error != WinError::kSuccess) {
        logger.Error(L"SavePermissionsToObject: AtlSetDacl failed. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kPermissionsSaveFailed);
    }
}

void Permissions::LoadPermissionsFromService(const platform::ServiceHandle& service) {
    logger.InfoText(L"LoadPermissionsFromService: Loading permissions from service.");
    Dacl loaded;
    uint32_t error = service.IsValid() ? platform::GetServiceDacl(service, loaded) : WinError::kInvalidHandle;
    if (error == WinError::kSuccess && loaded.IsNull()) {
        error = WinError::kInvalidSecurityDescriptor;
    }
    if (error != WinError::kSuccess) {
        logger.Error(L"LoadPermissionsFromObject: AtlGetDacl failed. (lastError: %d)", error);
        ThrowIMException(ErrorCode::kPermissionsLoadFailed);
    }
    dacl = std::move(loaded);
}

std::unique_ptr<SecurityAttributes> Permissions::GetSecurityAttributes() const {
    return std::make_unique<SecurityAttributes>(dacl);
}

void Permissions::SetFileOwner(const std::wstring& path, const CSid& owner) {
    mainLogger().Info(L"Permissions::SetFileOwner: Setting owner of file. (filename: %ls)", path);
    const platform::CallResult result = platform::SetFileOwnerSid(path, owner);
    if (!result.Succeeded()) {
        mainLogger().Error(
            L"Permissions::SetFileOwner: SetNamedSecurityInfo failed. (ret: %d, lastError: %d)",
            result.returned, result.lastError);
        ThrowIMException(ErrorCode::kOwnerSetFailed);
    }
}

CSid Permissions::GetFileOwner(const std::wstring& path) {
    mainLogger().Info(L"Permissions::GetFileOwner: Loading owner from file. (filename: %ls)", path);
    CSid owner;
    const platform::CallResult result = platform::GetFileOwnerSid(path, owner);
    if (!result.Succeeded()) {
        mainLogger().Error(
            L"Permissions::GetFileOwner: GetNamedSecurityInfo failed. (ret: %d, lastError: %d)",
            result.returned, result.lastError);
        ThrowIMException(ErrorCode::kOwnerReadFailed);
    }
    return owner;
}

} // namespace ZEPMaintenance
