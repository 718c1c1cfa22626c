// Windows side of Base64 decoding, with CryptStringToBinaryW.
#include "system/Base64.h"

#include "base/win/WinHeaders.h"

namespace ZEPMaintenance {

bool DecodeBase64(const std::wstring& text, std::vector<uint8_t>& bytes) {
    DWORD size = 0;
    const auto length = static_cast<DWORD>(text.size());
    if (!CryptStringToBinaryW(text.c_str(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr)) {
        return false;
    }
    bytes.assign(size, 0);
    if (!CryptStringToBinaryW(text.c_str(), length, CRYPT_STRING_BASE64, bytes.data(), &size, nullptr,
                              nullptr)) {
        return false;
    }
    bytes.resize(size);
    return true;
}

} // namespace ZEPMaintenance
