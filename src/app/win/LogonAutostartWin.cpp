// Windows side of the logon autostart: nothing to write, the shell runs Run and RunOnce at logon.
#include "app/LogonAutostart.h"

namespace ZEPMaintenance {

void WriteLogonAutostart(const std::wstring& /*zeprunPath*/) {}

void RemoveLogonAutostart() {}

} // namespace ZEPMaintenance
