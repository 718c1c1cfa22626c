// Linux side of the process and registry wrappers: the SID that stands for a Linux user.
#include "system/posix/UserSid.h"

namespace ZEPMaintenance::posix {

CSid SidOfUser(uid_t uid) {
    return uid == 0 ? CSid::LocalSystem() : CSid(22, {1, static_cast<uint32_t>(uid)});
}

} // namespace ZEPMaintenance::posix
