// Action and DeleteFileAction: what a DeleteFile element of the manifest becomes.
#include "upgrade/Action.h"

#include "base/Platform.h"
#include "diag/IMException.h"
#include "system/File.h"
#include "system/HeldDirectory.h"
#include "system/platform/VolumePrimitives.h"
#include "upgrade/BackupPermissions.h"
#include "upgrade/ReleasePath.h"
#include "upgrade/Rollback.h"

#include <algorithm>
#include <vector>

namespace ZEPMaintenance {

namespace {

// The folders a relative path passes through and its last component, with "." and empty components
// (doubled separators) left out: they name nothing and would only make the saved copy's path differ.
struct PathSteps {
    std::vector<std::wstring> folders;
    std::wstring name;
};

PathSteps StepsOf(const std::wstring& platformPath) {
    PathSteps steps;
    std::size_t start = 0;
    while (start <= platformPath.size()) {
        std::size_t end = platformPath.find(platform::kPathSeparator, start);
        if (end == std::wstring::npos) {
            end = platformPath.size();
        }
        const std::wstring component = platformPath.substr(start, end - start);
        if (!component.empty() && component != L".") {
            steps.folders.push_back(component);
        }
        start = end + 1;
    }
    // The last component named is the file; a path ending in a separator leaves it to name nothing.
    const bool endsWithSeparator = !platformPath.empty() && platformPath.back() == platform::kPathSeparator;
    if (!steps.folders.empty() && !endsWithSeparator) {
        steps.name = steps.folders.back();
        steps.folders.pop_back();
    }
    return steps;
}

std::wstring Joined(const std::vector<std::wstring>& folders, std::size_t count) {
    std::wstring path;
    for (std::size_t i = 0; i < count; ++i) {
        path += folders[i] + platform::kPathSeparator;
    }
    return path;
}

} // namespace

DeleteFilePath CheckDeleteFilePath(const std::wstring& filePath) {
    if (filePath.empty()) {
        return DeleteFilePath::Empty;
    }
    // A manifest path that is absolute, names a drive or stream, or climbs out would make the elevated
    // worker save and delete a file outside the product folder: it names no file to delete here.
    if (!IsInsideFolder(filePath)) {
        return DeleteFilePath::Outside;
    }
    if (StepsOf(ToPlatformPath(filePath)).name.empty()) {
        return DeleteFilePath::NamesNoFile;
    }
    return DeleteFilePath::Deletable;
}

Action::~Action() = default;

DeleteFileAction::DeleteFileAction(const std::wstring& filePath) : _filePath(filePath) {}

void DeleteFileAction::Reset() {
    _contextPtr = nullptr;
    _filePath.clear();
}

std::unique_ptr<Action> DeleteFileAction::Clone() const {
    // A copy has its own logger and is not bound to a controller.
    return std::make_unique<DeleteFileAction>(_filePath);
}

void DeleteFileAction::RunAction() {
    if (_contextPtr == nullptr) {
        // The system's own text, from when the action was bound to the controller.
        logger.ErrorText(L"RunAction: _maintenancePtr not set");
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    const DeleteFilePath rule = CheckDeleteFilePath(_filePath);
    if (rule == DeleteFilePath::Empty) {
        logger.ErrorText(L"RunAction: _filePath not set");
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    if (rule == DeleteFilePath::Outside) {
        logger.Error(L"RunAction: File path does not name a file inside the product folder; refused. "
                     L"(filePath: %ls)",
                     _filePath);
        logger.Error(L"RunAction: File to delete doesn't exists. (filePath: %ls)", _filePath);
        ThrowIMException(ErrorCode::kFileNotFound);
    }
    const EngineLayout& layout = _contextPtr->layout;
    layout.Require(logger, L"RunAction");
    const std::wstring relative = ToPlatformPath(_filePath);
    bool crosses = false;
    if (const uint32_t error = platform::CrossesLink(layout.ProductFolder(), relative, crosses);
        error != 0 || crosses) {
        logger.Error(L"RunAction: File path crosses a link in the product folder; refused. (filePath: %ls, "
                     L"lastError: %d)",
                     _filePath, error);
        ThrowIMException(ErrorCode::kFileNotFound);
    }
    const PathSteps steps = StepsOf(relative);
    File target;
    target.SetFullPath(layout.ProductFolder() + relative);
    if (rule == DeleteFilePath::NamesNoFile || !target.Exists()) {
        logger.Error(L"RunAction: File to delete doesn't exists. (filePath: %ls)", _filePath);
        ThrowIMException(ErrorCode::kFileNotFound);
    }
    const Permissions backupPermissions = BuildBackupPermissions();

    // The store is in root's own place, and held from here on: everything below is created, stamped and
    // written in the folder that was stamped.
    upgrade::PrepareState(layout, logger);
    Directory store = layout.SavedCopies();
    store.Create();
    HeldDirectory held;
    if (!held.Hold(store)) {
        logger.Error(L"RunAction: Backup folder cannot be used. (path: %ls)", store.GetFullPath());
        ThrowIMException(ErrorCode::kDirectoryCreateFailed);
    }
    ProtectBackupItem(held.GetFullPath(), backupPermissions);
    // Each folder on the way is stamped too: one a user made there before would otherwise stay theirs.
    for (std::size_t i = 0; i < steps.folders.size(); ++i) {
        Directory folder;
        folder.Create(held.GetFullPath() + Joined(steps.folders, i), steps.folders[i]);
        ProtectBackupItem(folder.GetFullPath(), backupPermissions);
    }
    const File saved =
        target.CopyTo(held.GetFullPath() + Joined(steps.folders, steps.folders.size()), steps.name);
    ProtectBackupItem(saved.GetFullPath(), backupPermissions);
    held.Release();

    target.Delete();
    auto& deleteList = _contextPtr->deleteList;
    const auto listed = std::find(deleteList.begin(), deleteList.end(), _filePath);
    if (listed != deleteList.end()) {
        deleteList.erase(listed);
    }
    logger.Info(L"RunAction: File backuped a deleted (filePath: %ls)", _filePath);
}

void DeleteFileAction::RollbackAction() {
    if (_contextPtr == nullptr) {
        // The system's own text, from when the action was bound to the controller.
        logger.ErrorText(L"RollbackAction: _maintenancePtr not set");
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    if (_filePath.empty()) {
        logger.ErrorText(L"RollbackAction: _filePath not set");
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    if (!IsInsideFolder(_filePath)) {
        logger.Error(L"RollbackAction: File path does not name a file inside the backup folder; refused. "
                     L"(filePath: %ls)",
                     _filePath);
        ThrowIMException(ErrorCode::kFileNotFound);
    }
    const EngineLayout& layout = _contextPtr->layout;
    layout.Require(logger, L"RollbackAction");
    const std::wstring relative = ToPlatformPath(_filePath);
    const PathSteps steps = StepsOf(relative);
    const Directory store = layout.SavedCopies();
    const std::wstring savedPath = store.GetFullPath() + relative;

    // Checked and copied through the hold: what is copied is what was checked.
    HeldDirectory held;
    File saved;
    if (held.Hold(store)) {
        saved.SetFullPath(held.GetFullPath() + Joined(steps.folders, steps.folders.size()) + steps.name);
    }
    if (!held.IsHeld() || steps.name.empty() || !saved.Exists()) {
        logger.ErrorText(L"RollbackAction: Backup of file doesn't exists");
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    const Permissions backupPermissions = BuildBackupPermissions();
    // The folders on the way must be the program's as well: below a folder that another user can
    // change, the copy checked would not be the copy restored.
    for (std::size_t i = 0; i <= steps.folders.size(); ++i) {
        if (CheckBackupItem(held.GetFullPath() + Joined(steps.folders, i), backupPermissions) !=
            BackupItemState::Protected) {
            logger.Error(L"RollbackAction: Folder of backup file is not protected as expected. Hack attempt? "
                         L"(dirname: %ls)",
                         store.GetFullPath() + Joined(steps.folders, i));
            ThrowIMException(ErrorCode::kBackupPermissionsMismatch);
        }
    }
    switch (CheckBackupItem(saved.GetFullPath(), backupPermissions)) {
    case BackupItemState::PermissionsDiffer:
        logger.Error(L"RollbackAction: Permissions of backup file doesn't equals to expected permissions. "
                     L"Hack attempt? (filename: %ls)",
                     savedPath);
        ThrowIMException(ErrorCode::kBackupPermissionsMismatch);
    case BackupItemState::OwnerDiffers:
        logger.Error(L"RollbackAction: Owner of backup file is not BA. Hack attempt? (filename: %ls)",
                     savedPath);
        ThrowIMException(ErrorCode::kBackupPermissionsMismatch);
    case BackupItemState::Protected:
        break;
    }
    saved.CopyTo(layout.ProductFolder() + relative);
    held.Release();
    logger.Info(L"RollbackAction: File rollbacked (filePath: %ls)", _filePath);
}

} // namespace ZEPMaintenance
