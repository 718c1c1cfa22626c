// Base64 decoding as the platform's crypto library does it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance {

// CryptStringToBinaryW with CRYPT_STRING_BASE64 (white space between groups is allowed);
// false when the text is not Base64.
bool DecodeBase64(const std::wstring& text, std::vector<uint8_t>& bytes);

} // namespace ZEPMaintenance
