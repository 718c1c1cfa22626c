// Linux side: helpers shared by the primitives that stand in for Windows facilities.
#pragma once

#include <cstdint>
#include <string>

namespace ZEPMaintenance::posix {

// The Windows error number for an errno value (unknown ones map to ERROR_INVALID_FUNCTION).
uint32_t WinErrorFromErrno(int error);

// Everything the Linux layer persists lives below ZEP_MACHINE_ROOT (default "/"); no trailing slash
// except for "/" itself.
std::string MachineRoot();
// MachineRoot() joined with a relative path such as "var/lib".
std::string UnderMachineRoot(const std::string& relative);

// File names are UTF-8 bytes on Linux.
std::string NativePath(const std::wstring& path);
std::wstring WidePath(const std::string& path);

} // namespace ZEPMaintenance::posix
