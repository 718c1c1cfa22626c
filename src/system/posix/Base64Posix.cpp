// Linux side of Base64 decoding, with the rules of the Windows decoder: white space between
// characters is skipped, padding is optional but only at the end.
#include "system/Base64.h"

namespace ZEPMaintenance {

namespace {

int SextetOf(wchar_t c) {
    if (c >= L'A' && c <= L'Z') {
        return c - L'A';
    }
    if (c >= L'a' && c <= L'z') {
        return c - L'a' + 26;
    }
    if (c >= L'0' && c <= L'9') {
        return c - L'0' + 52;
    }
    return c == L'+' ? 62 : c == L'/' ? 63 : -1;
}

} // namespace

bool DecodeBase64(const std::wstring& text, std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> decoded;
    uint32_t bits = 0;
    std::size_t sextets = 0;
    std::size_t padding = 0;
    for (const wchar_t c : text) {
        if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n') {
            continue;
        }
        if (c == L'=') {
            ++padding;
            continue;
        }
        const int sextet = SextetOf(c);
        if (sextet < 0 || padding != 0) {
            return false; // not Base64, or data after the padding
        }
        bits = (bits << 6) | static_cast<uint32_t>(sextet);
        if (++sextets % 4 == 0) {
            decoded.push_back(static_cast<uint8_t>(bits >> 16));
            decoded.push_back(static_cast<uint8_t>(bits >> 8));
            decoded.push_back(static_cast<uint8_t>(bits));
            bits = 0;
        }
    }
    // A last group of 2 or 3 characters holds 1 or 2 bytes; a lone last character still gives the
    // byte its six bits start, as the Windows decoder does.
    const std::size_t rest = sextets % 4;
    if (padding > 2 || (padding != 0 && rest + padding != 4)) {
        return false;
    }
    if (rest == 1) {
        decoded.push_back(static_cast<uint8_t>(bits << 2));
    } else if (rest == 2) {
        decoded.push_back(static_cast<uint8_t>(bits >> 4));
    } else if (rest == 3) {
        decoded.push_back(static_cast<uint8_t>(bits >> 10));
        decoded.push_back(static_cast<uint8_t>(bits >> 2));
    }
    bytes = std::move(decoded);
    return true;
}

} // namespace ZEPMaintenance
