// UTF-16LE byte sequences (registry strings, Base64 arguments) to and from wide text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ZEPMaintenance {

// The length of the text in UTF-16 code units, the unit Windows states its limits in (a log message
// of 1023 characters, a key name of 255); where wchar_t is wider, a character beyond U+FFFF counts two.
inline std::size_t Utf16Length(std::wstring_view text) {
    std::size_t units = text.size();
    if constexpr (sizeof(wchar_t) > 2) {
        for (const wchar_t c : text) {
            units +=
                (static_cast<uint32_t>(c) >> 16) != 0 ? 1 : 0; // no range warning where wchar_t is 16 bits
        }
    }
    return units;
}

// units UTF-16 code units taken little-endian from bytes; where wchar_t is wider, surrogate pairs
// become one character and a lone surrogate is kept as it is.
inline std::wstring WideFromUtf16Le(const uint8_t* bytes, std::size_t units) {
    std::wstring text;
    text.reserve(units);
    for (std::size_t i = 0; i < units; ++i) {
        const uint32_t unit = static_cast<uint32_t>(bytes[2 * i]) | static_cast<uint32_t>(bytes[2 * i + 1])
                                                                        << 8;
        if constexpr (sizeof(wchar_t) > 2) {
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
                const uint32_t next =
                    static_cast<uint32_t>(bytes[2 * i + 2]) | static_cast<uint32_t>(bytes[2 * i + 3]) << 8;
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    text += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                    ++i;
                    continue;
                }
            }
        }
        text += static_cast<wchar_t>(unit);
    }
    return text;
}

// The text as UTF-16LE bytes, with a terminating NUL unit when terminate is set.
inline std::vector<uint8_t> Utf16LeFromWide(const std::wstring& text, bool terminate) {
    std::vector<uint8_t> bytes;
    bytes.reserve(2 * (text.size() + 1));
    const auto put = [&bytes](uint32_t unit) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    };
    for (const wchar_t c : text) {
        const auto code = static_cast<uint32_t>(c);
        if (code > 0xFFFF) {
            put(0xD800 + ((code - 0x10000) >> 10));
            put(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            put(code);
        }
    }
    if (terminate) {
        put(0);
    }
    return bytes;
}

} // namespace ZEPMaintenance
