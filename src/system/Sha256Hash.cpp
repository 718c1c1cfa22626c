// Sha256Hash: parsing the hash text a manifest carries.
#include "system/Sha256Hash.h"

#include <cstddef>

namespace ZEPMaintenance {

namespace {
constexpr std::size_t kHashTextLength = 64;
} // namespace

bool Sha256Hash::LoadFromString(const std::string& text) {
    hashText.clear();
    if (text.size() != kHashTextLength) {
        return false;
    }
    std::string lower;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            lower += c;
        } else if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
            lower += static_cast<char>(c | 0x20);
        } else {
            return false;
        }
    }
    hashText = lower;
    return true;
}

} // namespace ZEPMaintenance
