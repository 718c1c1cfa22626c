// Linux side of the process, registry and permission wrappers: the SIDs that stand for Linux users
// and groups, and the users that SIDs stand for.
#pragma once

#include "system/CSid.h"

#include <optional>
#include <sys/types.h>

namespace ZEPMaintenance::posix {

// S-1-22-1-<uid> and S-1-22-2-<gid>, the form Unix accounts and groups take where Windows meets them.
CSid UnixUserSid(uid_t uid);
CSid UnixGroupSid(gid_t gid);

// What a user is the owner of where the SID for it is asked: root stands for another account in each.
enum class OwnerOf { File, Process };
CSid SidOfUser(uid_t uid, OwnerOf owned);

// The user a SID stands for: root for Builtin Administrators and LocalSystem, <uid> for
// S-1-22-1-<uid>; none for any other SID.
std::optional<uid_t> UserOfSid(const CSid& sid);

} // namespace ZEPMaintenance::posix
