// Linux side of Permissions: DACLs kept in a trusted.* attribute sealed to the file's owner, mode and
// POSIX ACL, enforced as far as mode bits reach; owners map to uids.
#include "system/platform/PermissionsPrimitives.h"

#include "system/Permissions.h"

#include "system/WinError.h"
#include "system/posix/PosixSupport.h"
#include "system/posix/UserSid.h"

#include <acl/libacl.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <optional>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace ZEPMaintenance {

namespace {

// Only processes with CAP_SYS_ADMIN can read or write the trusted.* namespace.
constexpr char kDaclAttribute[] = "trusted.zepmaintenance.dacl";
constexpr char kMagic[8] = {'Z', 'E', 'P', 'D', 'A', 'C', 'L', '1'};
constexpr std::size_t kFingerprintSize = 32;

// Access rights that grant reading, writing or executing (generic rights included).
constexpr uint32_t kReadRights = 0x00000001u | 0x80000000u | 0x10000000u;
constexpr uint32_t kWriteRights = 0x00000002u | 0x00000004u | 0x40000000u | 0x10000000u;
constexpr uint32_t kExecuteRights = 0x00000020u | 0x20000000u | 0x10000000u;
// What owners may always do: delete, change the DACL and the owner, read the descriptor.
constexpr uint32_t kOwnerRights = 0x000D0000u | 0x00020000u;
constexpr uint32_t kDeleteChild = 0x40;

// What the ACL library hands out (an ACL, its text, an entry's qualifier) goes back with acl_free.
template <class T> using AclMemory = UniquePointer<T, acl_free>;
using AclHandle = AclMemory<acl_t>;

std::string ProcPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// Files and folders only, never through a symbolic link: what the program stamps is the object the
// name denotes, not what a link planted under that name points to.
uint32_t OpenObject(const std::wstring& path, posix::UniqueFd& object) {
    return posix::OpenObject(posix::NativePath(path), O_RDONLY, posix::ObjectKind::FileOrFolder, object);
}

// lstat of the object itself; a trailing '/' still asks for a folder.
uint32_t ObjectStatus(const std::wstring& path, struct stat& info) {
    const std::string native = posix::NativePath(path);
    const std::string object = posix::WithoutTrailingSlash(native);
    if (lstat(object.c_str(), &info) != 0) {
        return posix::LastWinError();
    }
    if (object.size() != native.size() && !S_ISDIR(info.st_mode)) {
        return WinError::kDirectory;
    }
    return WinError::kSuccess;
}

CSid OwnerSid(uid_t uid) {
    return posix::SidOfUser(uid, posix::OwnerOf::File);
}

CSid Everyone() {
    return CSid(1, {0});
}

bool IsEveryoneLike(const CSid& sid) {
    // Everyone, Authenticated Users and Builtin Users all reach every local account.
    return sid == Everyone() || sid == CSid(5, {11}) || sid == CSid::Users();
}

mode_t RwxOf(uint32_t mask) {
    return ((mask & kReadRights) ? 4 : 0) | ((mask & kWriteRights) ? 2 : 0) |
           ((mask & kExecuteRights) ? 1 : 0);
}

uint32_t MaskOf(mode_t rwx, bool owner) {
    uint32_t mask = owner ? kOwnerRights : 0;
    mask |= (rwx & 4) ? AccessMask::kFileGenericRead : 0;
    mask |= (rwx & 2) ? AccessMask::kFileGenericWrite : 0;
    mask |= (rwx & 1) ? AccessMask::kFileGenericExecute : 0;
    if (owner && (rwx & 3) == 3) {
        mask |= kDeleteChild;
    }
    return mask;
}

// The permission bits that express the DACL for this owner and group: Builtin Administrators reach
// the owner class only when root owns the object; denials win over grants.
mode_t ModeFromDacl(const Dacl& dacl, uid_t owner, gid_t group) {
    if (dacl.IsNull()) {
        return 0777;
    }
    mode_t granted[3] = {0, 0, 0}; // owner, group, other
    mode_t denied[3] = {0, 0, 0};
    for (const AccessEntry& entry : dacl.Entries()) {
        mode_t* classes = entry.type == kAccessDeniedAceType ? denied : granted;
        if (entry.type != kAccessAllowedAceType && entry.type != kAccessDeniedAceType) {
            continue;
        }
        const mode_t bits = RwxOf(entry.mask);
        if (IsEveryoneLike(entry.sid)) {
            classes[0] |= bits;
            classes[1] |= bits;
            classes[2] |= bits;
        } else if (const auto uid = posix::UserOfSid(entry.sid); uid && *uid == owner) {
            classes[0] |= bits;
        } else if (entry.sid == posix::UnixGroupSid(group)) {
            classes[1] |= bits;
        }
    }
    return static_cast<mode_t>((granted[0] & ~denied[0]) << 6 | (granted[1] & ~denied[1]) << 3 |
                               (granted[2] & ~denied[2]));
}

std::string AclText(acl_t acl) {
    if (acl == nullptr) {
        return {};
    }
    const AclMemory<char*> text(acl_to_any_text(acl, nullptr, ',', TEXT_NUMERIC_IDS));
    return text ? std::string(text.Get()) : std::string();
}

// SHA-256 over what the DACL was written with: the object's identity, owner, group, mode and POSIX
// ACLs, and the DACL itself. A replaced file, chown, chmod or setfacl all change it.
bool Fingerprint(int fd, const std::vector<uint8_t>& aclBytes, uint8_t (&digest)[kFingerprintSize]) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return false;
    }
    std::string material(kMagic, sizeof kMagic);
    for (const uint64_t value : {static_cast<uint64_t>(info.st_ino), static_cast<uint64_t>(info.st_uid),
                                 static_cast<uint64_t>(info.st_gid), static_cast<uint64_t>(info.st_mode)}) {
        material.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    if (S_ISREG(info.st_mode)) {
        // A write through a descriptor kept from before the stamping changes these (a folder's change
        // whenever an entry is added, so they are not part of a folder's seal).
        for (const uint64_t value :
             {static_cast<uint64_t>(info.st_size), static_cast<uint64_t>(info.st_mtim.tv_sec),
              static_cast<uint64_t>(info.st_mtim.tv_nsec)}) {
            material.append(reinterpret_cast<const char*>(&value), sizeof value);
        }
    }
    const AclHandle access(acl_get_fd(fd));
    material += "|access:" + AclText(access.Get());
    if (S_ISDIR(info.st_mode)) {
        const AclHandle inherited(acl_get_file(ProcPath(fd).c_str(), ACL_TYPE_DEFAULT));
        material += "|default:" + AclText(inherited.Get());
    }
    material += "|dacl:";
    material.append(reinterpret_cast<const char*>(aclBytes.data()), aclBytes.size());
    unsigned int length = 0;
    return EVP_Digest(material.data(), material.size(), digest, &length, EVP_sha256(), nullptr) == 1 &&
           length == kFingerprintSize;
}

int Seal(int fd, const Dacl& dacl) {
    const std::vector<uint8_t> aclBytes = dacl.ToAclBytes();
    uint8_t digest[kFingerprintSize];
    if (!Fingerprint(fd, aclBytes, digest)) {
        return -1;
    }
    std::string value(kMagic, sizeof kMagic);
    value.append(reinterpret_cast<const char*>(digest), sizeof digest);
    value.append(reinterpret_cast<const char*>(aclBytes.data()), aclBytes.size());
    return fsetxattr(fd, kDaclAttribute, value.data(), value.size(), 0);
}

// The stored DACL while its seal still matches the object; nothing otherwise. A file with a second
// name is never trusted: the other name may lie in a folder someone else controls.
std::optional<Dacl> StoredDacl(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || (S_ISREG(info.st_mode) && info.st_nlink != 1)) {
        return std::nullopt;
    }
    std::vector<char> value(256);
    ssize_t size;
    for (;;) {
        size = fgetxattr(fd, kDaclAttribute, value.data(), value.size());
        if (size >= 0 || errno != ERANGE) {
            break;
        }
        const ssize_t needed = fgetxattr(fd, kDaclAttribute, nullptr, 0);
        if (needed < 0) {
            return std::nullopt;
        }
        value.resize(static_cast<std::size_t>(needed));
    }
    const std::size_t header = sizeof kMagic + kFingerprintSize;
    if (size < static_cast<ssize_t>(header) || std::memcmp(value.data(), kMagic, sizeof kMagic) != 0) {
        return std::nullopt;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(value.data());
    const std::vector<uint8_t> aclBytes(bytes + header, bytes + size);
    uint8_t digest[kFingerprintSize];
    if (!Fingerprint(fd, aclBytes, digest) ||
        std::memcmp(digest, bytes + sizeof kMagic, kFingerprintSize) != 0) {
        return std::nullopt;
    }
    if (aclBytes.empty()) {
        return Dacl::Null();
    }
    Dacl dacl;
    if (!Dacl::FromAclBytes(aclBytes.data(), aclBytes.size(), dacl)) {
        return std::nullopt;
    }
    return dacl;
}

// What the owner, the mode and the POSIX ACL grant, as a DACL. It names the group and Everyone, never
// Builtin Users, so it never equals a DACL the program writes. Without a descriptor (a symbolic link
// or special file, which is not opened) only owner and mode count.
Dacl SynthesizedDacl(int fd, const struct stat& info) {
    mode_t groupBits = (info.st_mode >> 3) & 7;
    std::vector<AccessEntry> named;
    const AclHandle acl(fd >= 0 ? acl_get_fd(fd) : nullptr);
    if (acl.Get() != nullptr) {
        mode_t aclMask = 7;
        acl_entry_t entry;
        for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl.Get(), which, &entry) == 1;
             which = ACL_NEXT_ENTRY) {
            acl_tag_t tag;
            acl_permset_t permset;
            if (acl_get_tag_type(entry, &tag) != 0 || acl_get_permset(entry, &permset) != 0) {
                continue;
            }
            const mode_t bits = (acl_get_perm(permset, ACL_READ) == 1 ? 4 : 0) |
                                (acl_get_perm(permset, ACL_WRITE) == 1 ? 2 : 0) |
                                (acl_get_perm(permset, ACL_EXECUTE) == 1 ? 1 : 0);
            if (tag == ACL_MASK) {
                aclMask = bits;
            } else if (tag == ACL_GROUP_OBJ) {
                groupBits = bits;
            } else if (tag == ACL_USER || tag == ACL_GROUP) {
                const AclMemory<void*> qualifier(acl_get_qualifier(entry));
                if (!qualifier) {
                    continue;
                }
                const uint32_t id = tag == ACL_USER
                                        ? static_cast<uint32_t>(*static_cast<const uid_t*>(qualifier.Get()))
                                        : static_cast<uint32_t>(*static_cast<const gid_t*>(qualifier.Get()));
                const CSid sid = tag == ACL_USER ? posix::UnixUserSid(static_cast<uid_t>(id))
                                                 : posix::UnixGroupSid(static_cast<gid_t>(id));
                named.push_back(AccessEntry{sid, bits, kAccessAllowedAceType, 0});
            }
        }
        groupBits &= aclMask;
        for (AccessEntry& namedEntry : named) {
            namedEntry.mask = MaskOf(static_cast<mode_t>(namedEntry.mask) & aclMask, false);
        }
    }
    Dacl dacl;
    dacl.AddEntry(
        AccessEntry{OwnerSid(info.st_uid), MaskOf((info.st_mode >> 6) & 7, true), kAccessAllowedAceType, 0});
    for (const AccessEntry& namedEntry : named) {
        dacl.AddEntry(namedEntry);
    }
    dacl.AddEntry(
        AccessEntry{posix::UnixGroupSid(info.st_gid), MaskOf(groupBits, false), kAccessAllowedAceType, 0});
    dacl.AddEntry(AccessEntry{Everyone(), MaskOf(info.st_mode & 7, false), kAccessAllowedAceType, 0});
    return dacl;
}

// Mode bits for the DACL, the extended ACL entries removed (so nothing grants more than the mode says),
// then the seal over the result.
int ApplyAndSeal(int fd, const Dacl& dacl) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return -1;
    }
    const mode_t mode = ModeFromDacl(dacl, info.st_uid, info.st_gid);
    if (fchmod(fd, mode) != 0) {
        return -1;
    }
    const AclHandle minimal(acl_from_mode(mode));
    if (minimal.Get() == nullptr || (acl_set_fd(fd, minimal.Get()) != 0 && errno != ENOTSUP)) {
        return -1;
    }
    if (S_ISDIR(info.st_mode) && acl_delete_def_file(ProcPath(fd).c_str()) != 0 && errno != ENOTSUP) {
        return -1;
    }
    return Seal(fd, dacl);
}

} // namespace

struct SecurityAttributes::Native {};

SecurityAttributes::SecurityAttributes(const Dacl& dacl) : dacl_(dacl) {}

SecurityAttributes::~SecurityAttributes() = default;

void* SecurityAttributes::Get() const {
    return nullptr;
}

namespace platform {

CallResult SetFileDacl(const std::wstring& path, const Dacl& dacl) {
    posix::UniqueFd object;
    const uint32_t error = OpenObject(path, object);
    if (error != WinError::kSuccess) {
        return error;
    }
    return ApplyAndSeal(object.Get(), dacl) == 0 ? WinError::kSuccess : posix::LastWinError();
}

// A symbolic link or special file is described by its own owner and mode, never by what it points to,
// and so never carries a stored DACL.
CallResult GetFileDacl(const std::wstring& path, Dacl& dacl) {
    struct stat info {};
    uint32_t error = ObjectStatus(path, info);
    if (error != WinError::kSuccess) {
        return error;
    }
    if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
        dacl = SynthesizedDacl(-1, info);
        return WinError::kSuccess;
    }
    posix::UniqueFd object;
    error = OpenObject(path, object);
    if (error != WinError::kSuccess) {
        return error;
    }
    if (fstat(object.Get(), &info) != 0) {
        return posix::LastWinError();
    }
    if (auto stored = StoredDacl(object.Get())) {
        dacl = std::move(*stored);
    } else {
        dacl = SynthesizedDacl(object.Get(), info);
    }
    return WinError::kSuccess;
}

CallResult SetFileOwnerSid(const std::wstring& path, const CSid& owner) {
    const std::optional<uid_t> uid = posix::UserOfSid(owner);
    if (!owner.IsValid() || !uid) {
        return WinError::kInvalidOwner;
    }
    posix::UniqueFd object;
    const uint32_t error = OpenObject(path, object);
    if (error != WinError::kSuccess) {
        return error;
    }
    // A DACL that was valid before the program's own owner change stays valid after it; the mode is
    // worked out again, since what Administrators may do depends on whether root owns the object.
    const std::optional<Dacl> stored = StoredDacl(object.Get());
    if (fchown(object.Get(), *uid, static_cast<gid_t>(-1)) != 0) {
        return posix::LastWinError();
    }
    if (stored && ApplyAndSeal(object.Get(), *stored) != 0) {
        return posix::LastWinError();
    }
    return WinError::kSuccess;
}

// The owner of the object itself: of a symbolic link, the link's owner.
CallResult GetFileOwnerSid(const std::wstring& path, CSid& owner) {
    struct stat info {};
    const uint32_t error = ObjectStatus(path, info);
    if (error != WinError::kSuccess) {
        return error;
    }
    owner = OwnerSid(info.st_uid);
    return WinError::kSuccess;
}

} // namespace platform

} // namespace ZEPMaintenance
