// Linux side of the logon autostart: the desktop entry's text, for its tests.
#pragma once

#include <string>

namespace ZEPMaintenance::posix {

// One argument of a desktop entry's Exec key as it stands in the file: quoted where it holds a reserved
// character, '"', '`', '$' and '\' escaped within the quotes, '%' doubled, and then every backslash
// doubled once more by the escaping of the file's string values.
std::string DesktopExecArgument(const std::string& argument);

// The whole autostart entry that runs program.
std::string LogonAutostartEntry(const std::string& program);

// <machine root>/etc/xdg/autostart/zeprun.desktop
std::string LogonAutostartPath();

} // namespace ZEPMaintenance::posix
