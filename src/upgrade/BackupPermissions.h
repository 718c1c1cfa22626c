// The protection of the backup: the permissions and owner that the backup and the delete-file action
// stamp on every item they save, and the check that an item still carries them before it is restored.
#pragma once

#include "system/Permissions.h"

#include <string>

namespace ZEPMaintenance {

// Allow Builtin Administrators 0x1F01FF, then allow Builtin Users 0x1200A9, in this order: the order is
// part of the comparison. A refused entry logs the AddAllowedAce line and raises 129.
Permissions BuildBackupPermissions();

// Writes the set to the file or folder at fullPath, then makes Builtin Administrators its owner. On
// Linux the order keeps the seal valid: the owner change re-seals a DACL whose seal matched before it.
void ProtectBackupItem(const std::wstring& fullPath, const Permissions& backupPermissions);

enum class BackupItemState { Protected, PermissionsDiffer, OwnerDiffers };

// Whether the item at fullPath still carries exactly the set (entry by entry: SID, mask and type, in
// order) and is owned by Builtin Administrators; the DACL is read first, the owner only when
// the DACL matched. A failed read raises the permission wrapper's code (127, 154).
BackupItemState CheckBackupItem(const std::wstring& fullPath, const Permissions& backupPermissions);

} // namespace ZEPMaintenance
