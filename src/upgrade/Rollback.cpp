// The protected backup with the rollback scheduled for the next logon, the restore from it, and the
// clean-up after an update or a rollback.
#include "upgrade/Rollback.h"

#include "base/Platform.h"
#include "base/WinError.h"
#include "diag/IMException.h"
#include "diag/MessageTable.h"
#include "system/File.h"
#include "system/HeldDirectory.h"
#include "system/Text.h"
#include "system/WinRegistryKey.h"
#include "system/platform/VolumePrimitives.h"
#include "upgrade/Action.h"
#include "upgrade/BackupPermissions.h"
#include "upgrade/ConfigFile.h"
#include "upgrade/InstalledProduct.h"

namespace ZEPMaintenance {

namespace {

bool HoldsWhiteSpace(const std::wstring& text) {
    return text.find_first_of(L" \t\r\n") != std::wstring::npos;
}

platform::ObjectIdentity IdentityOf(const HeldDirectory& held, const Logger& logger,
                                    const wchar_t* operation) {
    platform::ObjectIdentity identity;
    if (const uint32_t error = platform::IdentifyFolder(held.GetFullPath(), identity); error != 0) {
        logger.Error(L"%ls: The backup folder cannot be identified. (path: %ls, lastError: %d)", operation,
                     held.GetNamedPath(), error);
        ThrowIMException(ErrorCode::kDirectoryCopyFailed);
    }
    return identity;
}

} // namespace

// A worker killed while it installed a file leaves the copy it was writing beside that file. It was
// never part of the product, so the restored product has none. The product folder is the machine's,
// walked without following a link; what cannot be removed is logged and left.
void RemoveHashedCopies(const Directory& product, const Logger& logger) {
    for (const File& file : product.FindFilesBelow(product.GetFullPath(), IsHashedCopyName)) {
        try {
            file.Delete();
            logger.Info(L"RunRollback: Unfinished copy removed. (path: %ls)", file.GetFullPath());
        } catch (const IMException& e) {
            logger.Warn(L"RunRollback: Unfinished copy not removed. (path: %ls, exCode: %d)",
                        file.GetFullPath(), e.GetErrorNumber());
        }
    }
}

std::wstring RollbackValueName(const std::wstring& serviceName) {
    return serviceName + L" - Rollback";
}

std::wstring BuildRollbackCommand(const std::wstring& programPath, const std::wstring& programFolder,
                                  const std::wstring& dataFolder, int32_t lang) {
    std::wstring command = HoldsWhiteSpace(programPath) ? L"\"" + programPath + L"\"" : programPath;
    command +=
        L" -mode loader -op rollback -pp \"" + programFolder + L"\" -dp \"" + dataFolder + L"\" -lang ";
    // An option without a value fails the loader's option check, and the rollback would never run: a
    // language outside the table gets the digit of the column it reads, English above, Czech below.
    const int32_t column = lang < 0 ? 0 : (lang > 2 ? 2 : lang);
    command += static_cast<wchar_t>(L'0' + column);
    return command;
}

namespace upgrade {

void PrepareRollback(const EngineLayout& layout, const RollbackSchedule& schedule, const Logger& logger) {
    layout.Require(logger, L"PrepareRollback");
    // Everything the command names is checked before anything changes: the grammar has no escape for a
    // double quote, so such a path would start the rollback on other folders than these.
    const std::wstring program = GetModuleFilename();
    for (const std::wstring& path : {program, layout.ProductFolder(), layout.NamedDataFolder()}) {
        if (path.find(L'"') != std::wstring::npos) {
            logger.Error(L"PrepareRollback: The rollback command cannot carry a double quote. (path: %ls)",
                         path);
            ThrowIMException(ErrorCode::kInvalidValue);
        }
    }
    const std::wstring command =
        BuildRollbackCommand(program, layout.ProductFolder(), layout.NamedDataFolder(), schedule.lang);
    const Permissions backupPermissions = BuildBackupPermissions();

    PrepareState(layout, logger);
    Directory backupActions = layout.SavedCopies();
    if (backupActions.Exists()) {
        backupActions.Delete(true);
    }
    Directory backup = layout.Backup();
    if (backup.Exists()) {
        backup.Delete(true);
    }
    backup.Create();
    // Held from here on: the copies go into the folder that was stamped and recorded.
    HeldDirectory held;
    if (!held.Hold(backup)) {
        logger.Error(L"PrepareRollback: Backup folder cannot be used. (path: %ls)", backup.GetFullPath());
        ThrowIMException(ErrorCode::kDirectoryCreateFailed);
    }
    ProtectBackupItem(held.GetFullPath(), backupPermissions);
    // The rollback restores this folder and no other: its identity goes where only administrators write.
    RecordBackup(layout, IdentityOf(held, logger, L"PrepareRollback"));
    Directory target = held.GetDirectory();
    Directory product = layout.Product();
    const CSid administrators = CSid::Administrators();
    product.CopyContentTo(target, &backupPermissions, nullptr, &administrators, false);
    held.Release();
    // The backup reaches the disk before the rollback that restores it is scheduled, and so before the
    // first product file changes: after a power cut, whatever the update had done is undone from a
    // whole backup.
    FlushVolumeOf(backup.GetFullPath(), L"PrepareRollback", logger);

    WinRegistryKey runOnce;
    // The key is always there on Windows; a fresh Linux machine root may not have it yet.
    if (runOnce.KeyExists(WinRegistryKey::LocalMachine, kRunOnceKey)) {
        runOnce.Open(WinRegistryKey::LocalMachine, kRunOnceKey, true);
    } else {
        runOnce.CreateKey(WinRegistryKey::LocalMachine, kRunOnceKey);
    }
    runOnce.SetStringValue(schedule.valueName, command);
    logger.Info(L"PrepareRollback: Rollback scheduled. (command: %ls)", command);
}

void RunRollback(const EngineLayout& named, Progress& progress, const Logger& logger) {
    named.Require(logger, L"RunRollback");
    logger.Info(L"RunRollback: Starting rollback");
    // The data folder is the user's: read and cleaned through what was opened, when it is there at all.
    HeldDirectory data;
    EngineLayout layout = named;
    const bool dataHeld = HoldDataFolder(named, data, layout);
    {
        ConfigFile manifest;
        bool loaded = false;
        // A manifest that cannot be read leaves the actions undone, never the backup unrestored.
        try {
            loaded = dataHeld && manifest.LoadZCFFile(layout.ManifestFile()) && manifest.IsLoaded();
        } catch (const IMException& e) {
            logger.Error(L"RunRollback: Reading the config file failed. (exCode: %d, exText: %ls)",
                         e.GetErrorNumber(), e.GetErrorDescription());
        }
        if (!loaded) {
            logger.Error(L"RunRollback: Config file not loaded.");
        } else if (!manifest.GetPreUpgradeActions().empty()) {
            progress.ShowText(GuiText::PreUpgradeActions);
            // Nothing is left to delete once the update is being undone.
            std::vector<std::wstring> noDeletes;
            ActionContext context{layout, noDeletes};
            for (const auto& action : manifest.GetPreUpgradeActions()) {
                action->SetContext(&context);
                try {
                    action->RollbackAction();
                } catch (const IMException& e) {
                    logger.Error(L"RunRollback: Pre-upgrade actions run failed (exCode: %d, exText: %ls)",
                                 e.GetErrorNumber(), e.GetErrorDescription());
                }
                action->SetContext(nullptr);
            }
        }
    }

    const Permissions backupPermissions = BuildBackupPermissions();
    // The copy checks every item below the backup folder; the folder itself is checked here, and held,
    // so that each item checked is the item then copied.
    const Directory backup = layout.Backup();
    HeldDirectory held;
    if (!held.Hold(backup)) {
        logger.Error(L"RunRollback: Backup folder cannot be used; nothing restored. (path: %ls)",
                     backup.GetFullPath());
        ThrowIMException(ErrorCode::kDirectoryCopyFailed);
    }
    if (CheckBackupItem(held.GetFullPath(), backupPermissions) != BackupItemState::Protected) {
        logger.Error(L"RunRollback: Backup folder is not protected as expected. Hack attempt? (dirname: %ls)",
                     backup.GetFullPath());
        ThrowIMException(ErrorCode::kDirectoryCopyFailed);
    }
    if (RecordedBackup(layout) != IdentityOf(held, logger, L"RunRollback")) {
        logger.Error(L"RunRollback: The backup folder is not the one the update made; nothing restored. "
                     L"(dirname: %ls)",
                     backup.GetFullPath());
        ThrowIMException(ErrorCode::kDirectoryCopyFailed);
    }
    Directory source = held.GetDirectory();
    Directory product = layout.Product();
    source.CopyContentTo(product, nullptr, &backupPermissions, nullptr, true);
    held.Release();
    try {
        RemoveHashedCopies(product, logger);
    } catch (const IMException& e) {
        logger.Warn(L"RunRollback: Product folder not searched for unfinished copies. (exCode: %d)",
                    e.GetErrorNumber());
    }
    // Restored on the disk before the clean-up takes the scheduled rollback out.
    FlushVolumeOf(product.GetFullPath(), L"RunRollback", logger);

    // Gone already when the host update deleted it; the product is restored either way.
    Directory update = layout.Update();
    if (dataHeld && update.Exists()) {
        update.Delete(false);
    }
    progress.ShowText(GuiText::RollbackDone);
}

void CleanupRollback(const EngineLayout& layout, const std::wstring& valueName, const Logger& logger) {
    UnscheduleRollback(layout, valueName, logger);
    RemoveBackups(layout, logger);
}

void UnscheduleRollback(const EngineLayout& layout, const std::wstring& valueName, const Logger& logger) {
    layout.Require(logger, L"CleanupRollback");
    // After a successful update or rollback what is not there is done: the platform deletes the run-once
    // value before it runs the command. Every other failure is raised with its code.
    WinRegistryKey runOnce;
    if (!runOnce.KeyExists(WinRegistryKey::LocalMachine, kRunOnceKey)) {
        logger.Info(L"CleanupRollback: No run-once key; no rollback scheduled. (valueName: %ls)", valueName);
        return;
    }
    runOnce.Open(WinRegistryKey::LocalMachine, kRunOnceKey, true);
    if (!runOnce.ValueExists(valueName)) {
        logger.Info(L"CleanupRollback: Rollback not scheduled any more. (valueName: %ls)", valueName);
        return;
    }
    runOnce.DeleteValue(valueName);
}

void FlushVolumeOf(const std::wstring& folder, const wchar_t* operation, const Logger& logger) {
    const uint32_t error = platform::FlushVolume(folder);
    // A volume that has no flush of its own (Wine's drives): each copy the update installs was flushed
    // as it was written there, and what is left is said.
    if (error == WinError::kInvalidFunction) {
        logger.Warn(
            L"%ls: The volume cannot be flushed as a whole; only each installed file was. (path: %ls)",
            operation, folder);
        return;
    }
    // A folder that is not there holds nothing that was written: the system folder of a machine that
    // never received a system file.
    if (error != 0 && error != WinError::kFileNotFound && error != WinError::kPathNotFound) {
        logger.Error(L"%ls: Flushing the volume failed. (path: %ls, lastError: %d)", operation, folder,
                     error);
        ThrowIMException(ErrorCode::kFileDeleteOrCopyFailed);
    }
}

void RemoveBackups(const EngineLayout& layout, const Logger& logger) {
    layout.Require(logger, L"CleanupRollback");
    // The saved copies exist only when a pre-upgrade action ran.
    for (Directory folder : {layout.Backup(), layout.SavedCopies()}) {
        if (folder.Exists()) {
            folder.Delete(true);
        }
    }
    ForgetBackup(layout);
}

void PrepareState(const EngineLayout& layout, const Logger& logger) {
    const Permissions permissions = BuildBackupPermissions();
    for (Directory folder : {layout.StateRoot(), layout.State()}) {
        if (folder.Exists()) {
            if (CheckBackupItem(folder.GetFullPath(), permissions) == BackupItemState::Protected) {
                continue;
            }
            std::wstring asideName;
            const std::wstring path = folder.GetPath() + folder.GetDirname();
            if (const uint32_t error = platform::SetAsideFolder(path, asideName); error != 0) {
                logger.Error(
                    L"PrepareRollback: A folder under the name of the program's own place was not made "
                    L"by it and cannot be set aside; nothing is changed. (path: %ls, lastError: %d)",
                    path, error);
                ThrowIMException(ErrorCode::kDirectoryCreateFailed);
            }
            logger.Warn(
                L"PrepareRollback: A folder under the name of the program's own place was not made by "
                L"it; it was set aside. (path: %ls, asideName: %ls)",
                path, asideName);
        }
        folder.Create();
        ProtectBackupItem(folder.GetFullPath(), permissions);
    }
}

} // namespace upgrade

} // namespace ZEPMaintenance
