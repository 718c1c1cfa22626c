// Linux side of Base64 decoding, with OpenSSL's decoder.
#include "system/Base64.h"

#include <openssl/evp.h>

namespace ZEPMaintenance {

bool DecodeBase64(const std::wstring& text, std::vector<uint8_t>& bytes) {
    std::string compact;
    for (const wchar_t c : text) {
        if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n') {
            continue;
        }
        if (c > 0x7F) {
            return false;
        }
        compact += static_cast<char>(c);
    }
    if (compact.size() % 4 != 0) {
        return false;
    }
    bytes.assign(compact.size() / 4 * 3, 0);
    const int decoded = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(compact.data()),
                                        static_cast<int>(compact.size()));
    if (decoded < 0) {
        return false;
    }
    // EVP_DecodeBlock counts the padding as zero bytes.
    std::size_t length = static_cast<std::size_t>(decoded);
    for (std::size_t i = compact.size(); i > 0 && compact[i - 1] == '='; --i) {
        --length;
    }
    bytes.resize(length);
    return true;
}

} // namespace ZEPMaintenance
