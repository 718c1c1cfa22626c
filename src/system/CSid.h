// A security identifier value in its binary form, with its cached standard text form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance {

class CSid {
public:
    CSid() = default; // invalid
    // Takes the binary SID (revision, count, 48-bit authority, sub-authorities little-endian).
    explicit CSid(std::vector<uint8_t> binary);
    CSid(uint64_t authority, std::initializer_list<uint32_t> subAuthorities);

    static CSid Administrators(); // S-1-5-32-544
    static CSid Users();          // S-1-5-32-545
    static CSid LocalSystem();    // S-1-5-18

    bool IsValid() const;
    const std::vector<uint8_t>& GetBytes() const { return binary_; }
    uint64_t GetAuthority() const;
    std::vector<uint32_t> GetSubAuthorities() const;

    // The standard S-1-... form; empty for an invalid SID. Cached after the first request.
    const std::wstring& Sid() const;

    bool operator==(const CSid& other) const { return binary_ == other.binary_; }

private:
    std::vector<uint8_t> binary_;
    mutable std::wstring text_;
};

} // namespace ZEPMaintenance
