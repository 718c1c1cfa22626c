// The backup's permission set, its stamping and its check, shared by the backup, the rollback and the
// delete-file action.
#include "upgrade/BackupPermissions.h"

#include "system/CSid.h"
#include "system/Dacl.h"

namespace ZEPMaintenance {

Permissions BuildBackupPermissions() {
    Permissions permissions;
    permissions.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    permissions.AddAllowedAce(CSid::Users(), AccessMask::kFileReadAndExecute);
    return permissions;
}

void ProtectBackupItem(const std::wstring& fullPath, const Permissions& backupPermissions) {
    backupPermissions.SavePermissionsToFile(fullPath);
    Permissions::SetFileOwner(fullPath, CSid::Administrators());
}

BackupItemState CheckBackupItem(const std::wstring& fullPath, const Permissions& backupPermissions) {
    Permissions found;
    found.LoadPermissionsFromFile(fullPath);
    if (!found.EqualPermissions(backupPermissions)) {
        return BackupItemState::PermissionsDiffer;
    }
    // An invalid or missing owner SID never equals Builtin Administrators.
    const CSid owner = Permissions::GetFileOwner(fullPath);
    if (!owner.IsValid() || !(owner == CSid::Administrators())) {
        return BackupItemState::OwnerDiffers;
    }
    return BackupItemState::Protected;
}

} // namespace ZEPMaintenance
