// HeldDirectory: holding a folder open and naming what lies below it through the hold.
#include "system/HeldDirectory.h"

#include "base/WinError.h"

namespace ZEPMaintenance {

HeldDirectory::HeldDirectory() = default;

HeldDirectory::~HeldDirectory() = default;

bool HeldDirectory::Hold(const Directory& directory) {
    Release();
    namedPath_ = directory.GetFullPath();
    std::wstring heldPath;
    lastError_ = platform::HoldFolder(namedPath_, handle_, heldPath);
    if (lastError_ != WinError::kSuccess) {
        handle_.Reset();
        logger.Error(L"Hold: Folder cannot be held. (path: %ls, lastError: %d)", namedPath_, lastError_);
        return false;
    }
    heldPath_ = heldPath;
    logger.Info(L"Hold: Folder held. (path: %ls, heldAs: %ls)", namedPath_, heldPath_);
    return true;
}

Directory HeldDirectory::GetDirectory() const {
    Directory held;
    held.SetFullPath(heldPath_);
    return held;
}

void HeldDirectory::Release() {
    if (handle_.IsValid()) {
        logger.Debug(L"Release: Folder released. (path: %ls)", namedPath_);
    }
    handle_.Reset();
    heldPath_.clear();
}

} // namespace ZEPMaintenance
