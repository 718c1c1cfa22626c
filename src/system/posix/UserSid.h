// Linux side of the process and registry wrappers: the SID that stands for a Linux user.
#pragma once

#include "system/CSid.h"

#include <sys/types.h>

namespace ZEPMaintenance::posix {

// root is the system account (S-1-5-18); every other user is S-1-22-1-<uid>, the form Unix
// accounts take where Windows meets them.
CSid SidOfUser(uid_t uid);

} // namespace ZEPMaintenance::posix
