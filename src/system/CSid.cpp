// The SID value type: binary layout, well-known SIDs and the cached text form.
#include "system/CSid.h"

#include "system/Text.h"
#include "system/platform/TextPrimitives.h"

namespace ZEPMaintenance {

namespace {
constexpr std::size_t kHeaderSize = 8;
constexpr uint8_t kMaxSubAuthorities = 15;
} // namespace

CSid::CSid(std::vector<uint8_t> binary) : binary_(std::move(binary)) {}

CSid::CSid(uint64_t authority, std::initializer_list<uint32_t> subAuthorities) {
    binary_.reserve(kHeaderSize + 4 * subAuthorities.size());
    binary_.push_back(1);
    binary_.push_back(static_cast<uint8_t>(subAuthorities.size()));
    for (int shift = 40; shift >= 0; shift -= 8) {
        binary_.push_back(static_cast<uint8_t>(authority >> shift));
    }
    for (const uint32_t sub : subAuthorities) {
        for (int shift = 0; shift < 32; shift += 8) {
            binary_.push_back(static_cast<uint8_t>(sub >> shift));
        }
    }
}

CSid CSid::Administrators() {
    return CSid(5, {32, 544});
}

CSid CSid::Users() {
    return CSid(5, {32, 545});
}

CSid CSid::LocalSystem() {
    return CSid(5, {18});
}

bool CSid::IsValid() const {
    return binary_.size() >= kHeaderSize && binary_[0] == 1 && binary_[1] <= kMaxSubAuthorities &&
           binary_.size() == kHeaderSize + 4u * binary_[1];
}

uint64_t CSid::GetAuthority() const {
    uint64_t authority = 0;
    for (std::size_t i = 2; i < kHeaderSize && i < binary_.size(); ++i) {
        authority = (authority << 8) | binary_[i];
    }
    return authority;
}

std::vector<uint32_t> CSid::GetSubAuthorities() const {
    std::vector<uint32_t> subs;
    if (!IsValid()) {
        return subs;
    }
    for (std::size_t offset = kHeaderSize; offset < binary_.size(); offset += 4) {
        subs.push_back(static_cast<uint32_t>(binary_[offset]) |
                       static_cast<uint32_t>(binary_[offset + 1]) << 8 |
                       static_cast<uint32_t>(binary_[offset + 2]) << 16 |
                       static_cast<uint32_t>(binary_[offset + 3]) << 24);
    }
    return subs;
}

const std::wstring& CSid::Sid() const {
    if (text_.empty() && IsValid()) {
        text_ = platform::SidBytesToString(binary_);
    }
    return text_;
}

} // namespace ZEPMaintenance
