// Linux side of the process, registry and permission wrappers: the SIDs that stand for Linux users
// and groups, and the users that SIDs stand for.
#include "system/posix/UserSid.h"

namespace ZEPMaintenance::posix {

namespace {
constexpr uint64_t kUnixAuthority = 22;
constexpr uint32_t kUnixUsers = 1;
constexpr uint32_t kUnixGroups = 2;
} // namespace

CSid UnixUserSid(uid_t uid) {
    return CSid(kUnixAuthority, {kUnixUsers, static_cast<uint32_t>(uid)});
}

CSid UnixGroupSid(gid_t gid) {
    return CSid(kUnixAuthority, {kUnixGroups, static_cast<uint32_t>(gid)});
}

// Root is two accounts of Windows. What an elevated administrator creates on Windows is owned by
// Builtin Administrators, and the backup's owner check expects that owner, so a file of root's is
// theirs. A process of root's runs as the system's own processes do, as LocalSystem, the account the
// service runs under and whose registry hive root's processes use.
CSid SidOfUser(uid_t uid, OwnerOf owned) {
    if (uid == 0) {
        return owned == OwnerOf::File ? CSid::Administrators() : CSid::LocalSystem();
    }
    return UnixUserSid(uid);
}

std::optional<uid_t> UserOfSid(const CSid& sid) {
    if (sid == CSid::Administrators() || sid == CSid::LocalSystem()) {
        return 0;
    }
    const auto subs = sid.GetSubAuthorities();
    if (sid.GetAuthority() == kUnixAuthority && subs.size() == 2 && subs[0] == kUnixUsers) {
        return static_cast<uid_t>(subs[1]);
    }
    return std::nullopt;
}

} // namespace ZEPMaintenance::posix
