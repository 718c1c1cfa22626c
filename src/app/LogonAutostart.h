// The entry that starts the logon run at each logon, where the platform does not run Run and RunOnce.
#pragma once

#include <string>

namespace ZEPMaintenance {

// Linux: writes <machine root>/etc/xdg/autostart/zeprun.desktop, which starts zeprunPath (absolute) at
// each desktop logon, replacing an earlier one. Windows: nothing, its shell runs Run and RunOnce itself.
// Throws IMException.
void WriteLogonAutostart(const std::wstring& zeprunPath);
// Removes that entry; one that is not there is no failure.
void RemoveLogonAutostart();

} // namespace ZEPMaintenance
