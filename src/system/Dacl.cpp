// The access control list value: entries, binary ACL layout and descriptor-definition text.
#include "system/Dacl.h"

#include "base/WinError.h"

#include <algorithm>
#include <cwchar>

namespace ZEPMaintenance {

namespace {

constexpr uint8_t kAclRevision = 2;
constexpr std::size_t kAclHeaderSize = 8;
constexpr std::size_t kAceHeaderSize = 4;
constexpr std::size_t kSidHeaderSize = 8;

void PutU16(std::vector<uint8_t>& bytes, std::size_t offset, uint32_t value) {
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

uint16_t GetU16(const uint8_t* data) {
    return static_cast<uint16_t>(data[0] | data[1] << 8);
}

uint32_t GetU32(const uint8_t* data) {
    return static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
           static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
}

bool HasSidAfterMask(uint8_t type) {
    // Allowed, denied, audit and alarm entries: header, mask, SID.
    return type <= 3;
}

} // namespace

Dacl Dacl::Null() {
    Dacl dacl;
    dacl.null_ = true;
    return dacl;
}

uint32_t Dacl::AddAllowedAce(const CSid& sid, uint32_t mask, uint8_t flags) {
    return AddEntry(AccessEntry{sid, mask, kAccessAllowedAceType, flags});
}

uint32_t Dacl::AddEntry(const AccessEntry& entry) {
    if (!entry.sid.IsValid()) {
        return WinError::kInvalidSid;
    }
    null_ = false;
    entries_.push_back(entry);
    return WinError::kSuccess;
}

std::vector<uint8_t> Dacl::ToAclBytes() const {
    if (null_) {
        return {};
    }
    std::vector<uint8_t> bytes(kAclHeaderSize, 0);
    bytes[0] = kAclRevision;
    for (const AccessEntry& entry : entries_) {
        const std::vector<uint8_t>& sid = entry.sid.GetBytes();
        const std::size_t offset = bytes.size();
        const std::size_t aceSize = (kAceHeaderSize + 4 + sid.size() + 3) & ~std::size_t{3};
        bytes.resize(offset + aceSize, 0);
        bytes[offset] = entry.type;
        bytes[offset + 1] = entry.flags;
        PutU16(bytes, offset + 2, static_cast<uint32_t>(aceSize));
        for (int i = 0; i < 4; ++i) {
            bytes[offset + 4 + static_cast<std::size_t>(i)] = static_cast<uint8_t>(entry.mask >> (8 * i));
        }
        std::copy(sid.begin(), sid.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset + 8));
    }
    PutU16(bytes, 2, static_cast<uint32_t>(bytes.size()));
    PutU16(bytes, 4, static_cast<uint32_t>(entries_.size()));
    return bytes;
}

bool Dacl::FromAclBytes(const uint8_t* data, std::size_t size, Dacl& result) {
    if (data == nullptr || size < kAclHeaderSize || (data[0] != 2 && data[0] != 4)) {
        return false;
    }
    const std::size_t aclSize = GetU16(data + 2);
    const std::size_t count = GetU16(data + 4);
    if (aclSize < kAclHeaderSize || aclSize > size) {
        return false;
    }
    Dacl dacl;
    std::size_t offset = kAclHeaderSize;
    for (std::size_t i = 0; i < count; ++i) {
        if (offset + kAceHeaderSize > aclSize) {
            return false;
        }
        const uint8_t* ace = data + offset;
        const std::size_t aceSize = GetU16(ace + 2);
        if (aceSize < kAceHeaderSize + 4 || offset + aceSize > aclSize) {
            return false;
        }
        AccessEntry entry;
        entry.type = ace[0];
        entry.flags = ace[1];
        entry.mask = GetU32(ace + 4);
        if (HasSidAfterMask(entry.type) && aceSize >= kAceHeaderSize + 4 + kSidHeaderSize) {
            const std::size_t sidSize = kSidHeaderSize + 4u * ace[9];
            if (kAceHeaderSize + 4 + sidSize <= aceSize) {
                entry.sid = CSid(std::vector<uint8_t>(ace + 8, ace + 8 + sidSize));
            }
        }
        dacl.entries_.push_back(entry);
        offset += aceSize;
    }
    result = std::move(dacl);
    return true;
}

std::wstring Dacl::ToString() const {
    if (null_) {
        return L"D:NO_ACCESS_CONTROL";
    }
    std::wstring text = L"D:";
    for (const AccessEntry& entry : entries_) {
        text += L"(";
        text += entry.type == kAccessAllowedAceType  ? L"A"
                : entry.type == kAccessDeniedAceType ? L"D"
                                                     : L"?" + std::to_wstring(entry.type);
        text += L";";
        if (entry.flags & kObjectInheritAce) {
            text += L"OI";
        }
        if (entry.flags & kContainerInheritAce) {
            text += L"CI";
        }
        if (entry.flags & kInheritedAce) {
            text += L"ID";
        }
        wchar_t mask[16];
        std::swprintf(mask, 16, L"0x%x", static_cast<unsigned>(entry.mask));
        text += L";";
        text += mask;
        text += L";;;";
        text += entry.sid.Sid();
        text += L")";
    }
    return text;
}

} // namespace ZEPMaintenance
