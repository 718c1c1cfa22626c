// Where a run's log file lives; decided by the entry before the log is set up.
#pragma once

#include "system/File.h"

#include <string>

namespace ZEPMaintenance {

// <program data>\Z.EP Maintenance2\ZEPMaintenance2-<mode part>.log; creates the folder, which every
// user's runs may then create their logs in. A folder that cannot be made is reported outside the log.
File GetLogFilePath(const std::wstring& modeText);

} // namespace ZEPMaintenance
