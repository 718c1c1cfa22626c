// A discretionary access control list: ordered access entries, their binary ACL form and text form.
#pragma once

#include "system/CSid.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance {

// Entry types and flags as the binary ACL form carries them.
inline constexpr uint8_t kAccessAllowedAceType = 0;
inline constexpr uint8_t kAccessDeniedAceType = 1;
inline constexpr uint8_t kObjectInheritAce = 0x01;
inline constexpr uint8_t kContainerInheritAce = 0x02;
inline constexpr uint8_t kInheritedAce = 0x10;

// Access masks of the permission sets the program builds.
namespace AccessMask {
inline constexpr uint32_t kFileAllAccess = 0x1F01FF;
inline constexpr uint32_t kFileReadAndExecute = 0x1200A9;
inline constexpr uint32_t kFileGenericRead = 0x120089;
inline constexpr uint32_t kFileGenericWrite = 0x120116;
inline constexpr uint32_t kFileGenericExecute = 0x1200A0;
inline constexpr uint32_t kKeyAllAccess = 0xF003F;
inline constexpr uint32_t kKeyRead = 0x20019;
inline constexpr uint32_t kServiceUserAccess = 0x20034;
} // namespace AccessMask

struct AccessEntry {
    CSid sid;
    uint32_t mask = 0;
    uint8_t type = kAccessAllowedAceType;
    uint8_t flags = 0;
};

class Dacl {
public:
    // A present list without entries.
    Dacl() = default;
    // The list of an object that has none (everyone has full access).
    static Dacl Null();

    bool IsNull() const { return null_; }
    std::size_t GetAceCount() const { return entries_.size(); }
    const std::vector<AccessEntry>& Entries() const { return entries_; }

    // Appends an entry; a Windows error number, ERROR_INVALID_SID for an invalid SID.
    uint32_t AddAllowedAce(const CSid& sid, uint32_t mask, uint8_t flags);
    uint32_t AddEntry(const AccessEntry& entry);

    // The binary ACL (revision 2) in the platform's layout; empty for a null DACL.
    std::vector<uint8_t> ToAclBytes() const;
    // Reads a binary ACL; false when it is malformed. Entries of other types keep an invalid SID.
    static bool FromAclBytes(const uint8_t* data, std::size_t size, Dacl& result);

    // Descriptor-definition text, for example "D:(A;OICI;0x1f01ff;;;S-1-5-32-544)"; "D:NO_ACCESS_CONTROL"
    // for a null DACL.
    std::wstring ToString() const;

private:
    bool null_ = false;
    std::vector<AccessEntry> entries_;
};

} // namespace ZEPMaintenance
