// Test support, Windows side: recognising Wine by the export only its ntdll has.
#include "support/SystemSupport.h"

#include "base/win/WinHeaders.h"

namespace ZEPMaintenance::test {

bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

const char* FileDaclSkipReason() {
    return RunningUnderWine() ? kWineKeepsNoDacls : nullptr;
}

} // namespace ZEPMaintenance::test
