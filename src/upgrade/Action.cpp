// Action and DeleteFileAction: what a DeleteFile element of the manifest becomes.
#include "upgrade/Action.h"

#include "diag/IMException.h"

namespace ZEPMaintenance {

Action::~Action() = default;

DeleteFileAction::DeleteFileAction(const std::wstring& filePath) : _filePath(filePath) {}

void DeleteFileAction::Reset() {
    _maintenancePtr = nullptr;
    _filePath.clear();
}

std::unique_ptr<Action> DeleteFileAction::Clone() const {
    // A copy has its own logger and is not bound to a controller.
    return std::make_unique<DeleteFileAction>(_filePath);
}

// The backup of the deleted file and its guarded restore are not built yet: an update that asks for a
// pre-upgrade delete fails here instead of deleting anything unprotected.
void DeleteFileAction::RunAction() {
    logger.Error(L"RunAction: Deleting a product file is not available in this build. (filePath: %ls)",
                 _filePath);
    ThrowIMException(ErrorCode::kInvalidValue,
                     L"DeleteFileAction::RunAction is not available in this build.");
}

void DeleteFileAction::RollbackAction() {
    logger.Error(L"RollbackAction: Restoring a product file is not available in this build. (filePath: %ls)",
                 _filePath);
    ThrowIMException(ErrorCode::kInvalidValue,
                     L"DeleteFileAction::RollbackAction is not available in this build.");
}

} // namespace ZEPMaintenance
