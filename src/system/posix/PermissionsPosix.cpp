// Linux side of Permissions: DACLs kept in a trusted.* attribute sealed to the file's owner, mode and
// POSIX ACL, enforced as far as mode bits reach; owners map to uids.
#include "system/platform/PermissionsPrimitives.h"

#include "system/Permissions.h"

#include "base/WinError.h"
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
constexpr char kAccessAclAttribute[] = "system.posix_acl_access";
constexpr char kDefaultAclAttribute[] = "system.posix_acl_default";

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

// lstat of the object itself; a trailing '/' still asks for a folder.
[[nodiscard]] uint32_t ObjectStatus(const std::wstring& path, struct stat& info) {
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

// Whether the object carries the attribute. Only its absence is certain; any other failure to tell
// counts as present, so that the full read or write follows.
bool HasAttribute(int fd, const char* name) {
    return fgetxattr(fd, name, nullptr, 0) >= 0 || (errno != ENODATA && errno != ENOTSUP);
}

// The text of the ACL that mode bits alone make, as the ACL library reads a file without an ACL.
std::string ModeAclText(mode_t mode) {
    const AclHandle acl(acl_from_mode(mode));
    return AclText(acl.Get());
}

// What a seal covers: the object's identity, owner, group and mode, for a file its size and last write
// time (a write through a descriptor kept from before the stamping changes them; a folder's change
// whenever an entry is added, so they are not part of a folder's seal), the POSIX ACLs of a file or
// folder, and the target text of a symbolic link.
struct SealedState {
    struct stat info {};
    std::string accessAcl;
    std::string defaultAcl;
    std::string linkText;
};

// The state of an open file or folder whose fstat is info. Without an ACL attribute the ACL is the one
// the mode makes, which saves reading it back.
SealedState StateOf(int fd, const struct stat& info) {
    SealedState state;
    state.info = info;
    if (HasAttribute(fd, kAccessAclAttribute)) {
        const AclHandle access(acl_get_fd(fd));
        state.accessAcl = AclText(access.Get());
    } else {
        state.accessAcl = ModeAclText(info.st_mode);
    }
    if (S_ISDIR(info.st_mode) && HasAttribute(fd, kDefaultAclAttribute)) {
        const AclHandle inherited(acl_get_file(ProcPath(fd).c_str(), ACL_TYPE_DEFAULT));
        state.defaultAcl = AclText(inherited.Get());
    }
    return state;
}

// The state of the symbolic link at path, read without following it.
[[nodiscard]] uint32_t LinkStateOf(const std::string& path, SealedState& state) {
    if (lstat(path.c_str(), &state.info) != 0) {
        return posix::LastWinError();
    }
    if (!S_ISLNK(state.info.st_mode)) {
        return WinError::kCantAccessFile;
    }
    state.linkText.assign(static_cast<std::size_t>(state.info.st_size) + 1, '\0');
    const ssize_t length = readlink(path.c_str(), state.linkText.data(), state.linkText.size());
    if (length < 0) {
        return posix::LastWinError();
    }
    // Retargeted between the two calls: the text is not that of the link looked at.
    if (length != state.info.st_size) {
        return WinError::kCantAccessFile;
    }
    state.linkText.resize(static_cast<std::size_t>(length));
    return WinError::kSuccess;
}

// SHA-256 over the sealed state and the DACL: a replaced file or link, chown, chmod, setfacl and a
// retargeted link all change it.
bool Fingerprint(const SealedState& state, const std::vector<uint8_t>& aclBytes,
                 uint8_t (&digest)[kFingerprintSize]) {
    const struct stat& info = state.info;
    std::string material(kMagic, sizeof kMagic);
    const auto append = [&material](uint64_t value) {
        material.append(reinterpret_cast<const char*>(&value), sizeof value);
    };
    for (const uint64_t value : {static_cast<uint64_t>(info.st_ino), static_cast<uint64_t>(info.st_uid),
                                 static_cast<uint64_t>(info.st_gid), static_cast<uint64_t>(info.st_mode)}) {
        append(value);
    }
    if (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) {
        for (const uint64_t value :
             {static_cast<uint64_t>(info.st_size), static_cast<uint64_t>(info.st_mtim.tv_sec),
              static_cast<uint64_t>(info.st_mtim.tv_nsec)}) {
            append(value);
        }
    }
    if (S_ISLNK(info.st_mode)) {
        material += "|link:" + state.linkText;
    } else {
        material += "|access:" + state.accessAcl;
        if (S_ISDIR(info.st_mode)) {
            material += "|default:" + state.defaultAcl;
        }
    }
    material += "|dacl:";
    material.append(reinterpret_cast<const char*>(aclBytes.data()), aclBytes.size());
    unsigned int length = 0;
    return EVP_Digest(material.data(), material.size(), digest, &length, EVP_sha256(), nullptr) == 1 &&
           length == kFingerprintSize;
}

// Where a seal is kept: an open file or folder, or a symbolic link by its name, since a link cannot
// be opened.
struct SealPlace {
    int fd = -1;
    std::string linkPath;

    int Set(const std::string& value) const {
        return fd >= 0 ? fsetxattr(fd, kDaclAttribute, value.data(), value.size(), 0)
                       : lsetxattr(linkPath.c_str(), kDaclAttribute, value.data(), value.size(), 0);
    }
    ssize_t Get(char* buffer, std::size_t size) const {
        return fd >= 0 ? fgetxattr(fd, kDaclAttribute, buffer, size)
                       : lgetxattr(linkPath.c_str(), kDaclAttribute, buffer, size);
    }
};

int Seal(const SealPlace& place, const SealedState& state, const Dacl& dacl) {
    const std::vector<uint8_t> aclBytes = dacl.ToAclBytes();
    uint8_t digest[kFingerprintSize];
    if (!Fingerprint(state, aclBytes, digest)) {
        return -1;
    }
    std::string value(kMagic, sizeof kMagic);
    value.append(reinterpret_cast<const char*>(digest), sizeof digest);
    value.append(reinterpret_cast<const char*>(aclBytes.data()), aclBytes.size());
    return place.Set(value);
}

// The stored DACL while its seal still matches the object's state; nothing otherwise. A file or link
// with a second name is never trusted: the other name may lie in a folder someone else controls.
std::optional<Dacl> StoredDacl(const SealPlace& place, const SealedState& state) {
    if (!S_ISDIR(state.info.st_mode) && state.info.st_nlink != 1) {
        return std::nullopt;
    }
    std::vector<char> value(256);
    ssize_t size;
    for (;;) {
        size = place.Get(value.data(), value.size());
        if (size >= 0 || errno != ERANGE) {
            break;
        }
        const ssize_t needed = place.Get(nullptr, 0);
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
    if (!Fingerprint(state, aclBytes, digest) ||
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
// then the seal over the result. What is already so is left as it is, and the state sealed is worked
// out from what was written rather than read back: a seal that does not match the object can only make
// it untrusted, never trusted.
int ApplyAndSeal(int fd, const struct stat& info, const Dacl& dacl) {
    mode_t mode = ModeFromDacl(dacl, info.st_uid, info.st_gid);
    // Windows grants "read and execute" to read any file, programs or not: a file nobody could run stays
    // so, which also lets a copy of a stamped file (the backup restored) keep the mode it had.
    if (S_ISREG(info.st_mode) && (info.st_mode & 0111) == 0) {
        mode &= static_cast<mode_t>(~0111);
    }
    if ((info.st_mode & 07777) != mode && fchmod(fd, mode) != 0) {
        return -1;
    }
    if (HasAttribute(fd, kAccessAclAttribute)) {
        const AclHandle minimal(acl_from_mode(mode));
        if (!minimal || (acl_set_fd(fd, minimal.Get()) != 0 && errno != ENOTSUP)) {
            return -1;
        }
    }
    if (S_ISDIR(info.st_mode) && HasAttribute(fd, kDefaultAclAttribute) &&
        acl_delete_def_file(ProcPath(fd).c_str()) != 0 && errno != ENOTSUP) {
        return -1;
    }
    SealedState state;
    state.info = info;
    state.info.st_mode = (info.st_mode & S_IFMT) | mode;
    state.accessAcl = ModeAclText(mode);
    return Seal(SealPlace{fd, {}}, state, dacl);
}

// A symbolic link has no mode or ACL of its own: only the seal is written.
[[nodiscard]] uint32_t SealLink(const std::string& path, const Dacl& dacl) {
    SealedState state;
    const uint32_t error = LinkStateOf(path, state);
    if (error != WinError::kSuccess) {
        return error;
    }
    return Seal(SealPlace{-1, path}, state, dacl) == 0 ? WinError::kSuccess : posix::LastWinError();
}

// The state of the symbolic link at path and its stored DACL, when its seal matches.
[[nodiscard]] uint32_t StoredLinkDacl(const std::string& path, SealedState& state,
                                      std::optional<Dacl>& stored) {
    const uint32_t error = LinkStateOf(path, state);
    if (error == WinError::kSuccess) {
        stored = StoredDacl(SealPlace{-1, path}, state);
    }
    return error;
}

// Files and folders are opened; a symbolic link (ERROR_CANT_ACCESS_FILE from the open) is worked on by
// its name, never followed. A name with a trailing '/' asks for a folder.
struct Object {
    posix::UniqueFd fd;
    struct stat info {};
    std::string linkPath;
    bool IsLink() const { return !linkPath.empty(); }
};

[[nodiscard]] uint32_t OpenObjectOrLink(const std::wstring& path, Object& object) {
    const std::string native = posix::NativePath(path);
    const uint32_t error =
        posix::OpenObject(native, O_RDONLY, posix::ObjectKind::FileOrFolder, object.fd, &object.info);
    if (error != WinError::kCantAccessFile || native.back() == '/') {
        return error;
    }
    if (lstat(native.c_str(), &object.info) != 0) {
        return posix::LastWinError();
    }
    if (!S_ISLNK(object.info.st_mode)) {
        return WinError::kCantAccessFile;
    }
    object.linkPath = native;
    return WinError::kSuccess;
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
    Object object;
    const uint32_t error = OpenObjectOrLink(path, object);
    if (error != WinError::kSuccess) {
        return error;
    }
    if (object.IsLink()) {
        return SealLink(object.linkPath, dacl);
    }
    return ApplyAndSeal(object.fd.Get(), object.info, dacl) == 0 ? WinError::kSuccess : posix::LastWinError();
}

// A symbolic link is described by its own seal, owner and mode, never by what it points to; a special
// file never carries a stored DACL.
CallResult GetFileDacl(const std::wstring& path, Dacl& dacl) {
    Object object;
    const uint32_t error = OpenObjectOrLink(path, object);
    if (error == WinError::kAccessDenied) {
        // Opened, or not, and found to be a FIFO, socket or device: its owner and mode describe it.
        struct stat info {};
        const uint32_t status = ObjectStatus(path, info);
        if (status != WinError::kSuccess) {
            return status;
        }
        if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) {
            return error;
        }
        dacl = SynthesizedDacl(-1, info);
        return WinError::kSuccess;
    }
    if (error != WinError::kSuccess) {
        return error;
    }
    if (object.IsLink()) {
        SealedState state;
        std::optional<Dacl> stored;
        const uint32_t read = StoredLinkDacl(object.linkPath, state, stored);
        if (read == WinError::kSuccess) {
            dacl = stored ? *stored : SynthesizedDacl(-1, state.info);
        }
        return read;
    }
    const int fd = object.fd.Get();
    const std::optional<Dacl> stored = StoredDacl(SealPlace{fd, {}}, StateOf(fd, object.info));
    dacl = stored ? *stored : SynthesizedDacl(fd, object.info);
    return WinError::kSuccess;
}

CallResult SetFileOwnerSid(const std::wstring& path, const CSid& owner) {
    const std::optional<uid_t> uid = posix::UserOfSid(owner);
    if (!owner.IsValid() || !uid) {
        return WinError::kInvalidOwner;
    }
    Object object;
    const uint32_t error = OpenObjectOrLink(path, object);
    if (error != WinError::kSuccess) {
        return error;
    }
    // Already the owner: nothing changes, and a seal stays as valid as it was.
    if (object.info.st_uid == *uid) {
        return WinError::kSuccess;
    }
    // A DACL that was valid before the program's own owner change stays valid after it; the mode is
    // worked out again, since what Administrators may do depends on whether root owns the object.
    if (object.IsLink()) {
        SealedState state;
        std::optional<Dacl> stored;
        const uint32_t read = StoredLinkDacl(object.linkPath, state, stored);
        if (read != WinError::kSuccess) {
            return read;
        }
        if (fchownat(AT_FDCWD, object.linkPath.c_str(), *uid, static_cast<gid_t>(-1), AT_SYMLINK_NOFOLLOW) !=
            0) {
            return posix::LastWinError();
        }
        return stored ? SealLink(object.linkPath, *stored) : WinError::kSuccess;
    }
    const int fd = object.fd.Get();
    const std::optional<Dacl> stored = StoredDacl(SealPlace{fd, {}}, StateOf(fd, object.info));
    if (fchown(fd, *uid, static_cast<gid_t>(-1)) != 0) {
        return posix::LastWinError();
    }
    struct stat changed = object.info;
    changed.st_uid = *uid;
    if (stored && ApplyAndSeal(fd, changed, *stored) != 0) {
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
