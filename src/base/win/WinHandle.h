// Windows side: owners of kernel handles and of memory the system allocates for the caller. CreateFile
// reports failure as INVALID_HANDLE_VALUE, most other calls (OpenProcess, OpenProcessToken,
// CreateEvent) as a null handle.
#pragma once

#include "base/UniqueHandle.h"
#include "base/win/WinHeaders.h"

namespace ZEPMaintenance::platform {

struct WinFileTraits {
    using Value = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};
using WinFile = UniqueHandle<WinFileTraits>;

using WinHandle = UniquePointer<HANDLE, CloseHandle>;

// What the security and text calls allocate for the caller (descriptors, SIDs, texts): LocalFree.
using LocalMemory = UniquePointer<HLOCAL, LocalFree>;

} // namespace ZEPMaintenance::platform
