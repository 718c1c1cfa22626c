// Windows side: owners of kernel handles. CreateFile reports failure as INVALID_HANDLE_VALUE, most
// other calls (OpenProcess, OpenProcessToken, CreateEvent) as a null handle.
#pragma once

#include "system/UniqueHandle.h"
#include "system/win/WinHeaders.h"

namespace ZEPMaintenance::platform {

struct WinFileTraits {
    using Value = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};
using WinFile = UniqueHandle<WinFileTraits>;

struct WinHandleTraits {
    using Value = HANDLE;
    static HANDLE Invalid() noexcept { return nullptr; }
    static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};
using WinHandle = UniqueHandle<WinHandleTraits>;

} // namespace ZEPMaintenance::platform
