// Linux side: the UTF-8 codec behind text conversions and file names.
#include "base/posix/Utf8.h"

#include <cstdint>

namespace ZEPMaintenance::posix {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kEscapeBase = 0xDC00;

bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

void Put(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Length of the well-formed sequence at bytes[pos], 0 when it is not one (overlong forms,
// surrogates and values past U+10FFFF are not); the character goes to c.
std::size_t Sequence(std::string_view bytes, std::size_t pos, char32_t& c) {
    const auto lead = static_cast<uint8_t>(bytes[pos]);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        c = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, c = lead & 0x07;
    } else {
        return 0;
    }
    if (pos + length > bytes.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<uint8_t>(bytes[pos + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (next & 0x3F);
    }
    return (c < minimum || c > 0x10FFFF || IsSurrogate(c)) ? 0 : length;
}

} // namespace

std::string EncodeUtf8(std::wstring_view text, InvalidBytes mode) {
    std::string out;
    out.reserve(text.size());
    for (const wchar_t w : text) {
        const auto c = static_cast<char32_t>(w);
        if (mode == InvalidBytes::Escape && c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF) {
            out += static_cast<char>(c - kEscapeBase);
        } else if (IsSurrogate(c) || c > 0x10FFFF) {
            Put(out, kReplacement);
        } else {
            Put(out, c);
        }
    }
    return out;
}

std::wstring DecodeUtf8(std::string_view bytes, InvalidBytes mode) {
    std::wstring out;
    out.reserve(bytes.size());
    for (std::size_t pos = 0; pos < bytes.size();) {
        char32_t c = 0;
        const std::size_t length = Sequence(bytes, pos, c);
        if (length == 0) {
            const auto byte = static_cast<uint8_t>(bytes[pos]);
            out += static_cast<wchar_t>(mode == InvalidBytes::Escape ? kEscapeBase + byte : kReplacement);
            ++pos;
        } else {
            out += static_cast<wchar_t>(c);
            pos += length;
        }
    }
    return out;
}

} // namespace ZEPMaintenance::posix
