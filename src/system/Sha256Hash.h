// SHA-256 value of a file or of the hexadecimal text a manifest carries, and both digests of one read.
#pragma once

#include "system/Sha1Hash.h"

#include <string>

namespace ZEPMaintenance {

// Text of 64 lower-case hexadecimal digits, or empty when there is no value.
class Sha256Hash {
public:
    // 64 hexadecimal digits of either case; anything else leaves the value empty and gives false, for the
    // caller to report where the text came from.
    bool LoadFromString(const std::string& text);
    const std::string& ToString() const { return hashText; }
    bool IsEmpty() const { return hashText.empty(); }
    bool operator==(const Sha256Hash& other) const { return hashText == other.hashText; }

private:
    std::string hashText;
};

// The SHA-1 and the SHA-256 of the same bytes, taken in one read.
struct FileDigests {
    Sha1Hash sha1;
    Sha256Hash sha256;
};

} // namespace ZEPMaintenance
