// A folder held open while what lies below it is checked and then used, so that both reach the same
// objects whatever another user renames or plants under the folder's name meanwhile.
#pragma once

#include "diag/Logger.h"
#include "system/Directory.h"
#include "system/platform/DirectoryPrimitives.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

class HeldDirectory {
public:
    HeldDirectory();
    ~HeldDirectory();
    HeldDirectory(const HeldDirectory&) = delete;
    HeldDirectory& operator=(const HeldDirectory&) = delete;

    // Holds the folder that directory names, never through a link in its last component. False, after
    // an error line, when there is no folder to hold there (missing, a link, another kind of object).
    bool Hold(const Directory& directory);
    bool IsHeld() const { return handle_.IsValid(); }
    // The Windows error number of the last failed Hold.
    uint32_t GetLastError() const { return lastError_; }

    // The full path, with trailing separator, by which the held folder and everything below it are
    // reached while it is held; and the held folder as a Directory whose scans, checks and copies go
    // through the hold. On Linux the path leads through the descriptor, on Windows it is the folder's own.
    const std::wstring& GetFullPath() const { return heldPath_; }
    Directory GetDirectory() const;
    // The folder's full path as it was named, for messages.
    const std::wstring& GetNamedPath() const { return namedPath_; }

    void Release();

private:
    Logger logger{L"HeldDirectory"};
    platform::HeldFolderHandle handle_;
    std::wstring heldPath_;
    std::wstring namedPath_;
    uint32_t lastError_ = 0;
};

} // namespace ZEPMaintenance
