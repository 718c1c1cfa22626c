// Runtime half of the printf-style formatter: renders one checked format with its arguments.
#include "diag/Format.h"

#include "base/CodePage.h"
#include "base/Utf16.h"

#include <cstdio>

namespace ZEPMaintenance {

namespace format_detail {
void FormatDoesNotMatchArguments() {}

Arg TextArg(const wchar_t* text) {
    Arg arg;
    arg.kind = ArgKind::WideText;
    arg.wide = text;
    arg.length = text != nullptr ? std::char_traits<wchar_t>::length(text) : 0;
    return arg;
}

Arg TextArg(const char* text) {
    Arg arg;
    arg.kind = ArgKind::NarrowText;
    arg.narrow = text;
    arg.length = text != nullptr ? std::char_traits<char>::length(text) : 0;
    return arg;
}
} // namespace format_detail

namespace {

using format_detail::Arg;
using format_detail::ArgKind;
using format_detail::Spec;

uint64_t Truncate(uint64_t bits, int lengthBits) {
    return lengthBits >= 64 ? bits : bits & ((uint64_t{1} << lengthBits) - 1);
}

int64_t SignExtend(uint64_t bits, int lengthBits) {
    if (lengthBits >= 64) {
        return static_cast<int64_t>(bits);
    }
    const uint64_t value = Truncate(bits, lengthBits);
    const uint64_t sign = uint64_t{1} << (lengthBits - 1);
    return static_cast<int64_t>((value ^ sign) - sign);
}

std::wstring Digits(uint64_t value, unsigned base, bool upper) {
    const wchar_t* alphabet = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring digits;
    do {
        digits.insert(digits.begin(), alphabet[value % base]);
        value /= base;
    } while (value != 0);
    return digits;
}

// Applies width and justification; zero padding goes between the sign or prefix and the digits.
void Pad(std::wstring& out, const Spec& spec, std::wstring_view prefix, std::wstring_view body,
         bool numeric) {
    const std::size_t length = prefix.size() + body.size();
    const std::size_t fill = spec.width > 0 && static_cast<std::size_t>(spec.width) > length
                                 ? static_cast<std::size_t>(spec.width) - length
                                 : 0;
    if (spec.leftAlign) {
        out.append(prefix).append(body).append(fill, L' ');
    } else if (spec.zeroPad && numeric && spec.precision < 0) {
        out.append(prefix).append(fill, L'0').append(body);
    } else {
        out.append(fill, L' ').append(prefix).append(body);
    }
}

bool RenderInteger(std::wstring& out, const Spec& spec, const Arg& arg) {
    std::wstring prefix;
    std::wstring digits;
    switch (spec.conversion) {
    case L'c': {
        const uint64_t code = Truncate(arg.bits, spec.narrowHint ? 8 : 32);
        if (spec.narrowHint) {
            const char narrow[1] = {static_cast<char>(code)};
            digits = MultiByteToWide(std::string_view(narrow, 1), kAnsiCodePage);
        } else {
            digits.assign(1, static_cast<wchar_t>(code));
        }
        Pad(out, spec, L"", digits, false);
        return true;
    }
    case L'd':
    case L'i': {
        const int64_t value = SignExtend(arg.bits, spec.lengthBits);
        const uint64_t magnitude =
            value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        digits = Digits(magnitude, 10, false);
        prefix = value < 0 ? L"-" : spec.plusSign ? L"+" : spec.spaceSign ? L" " : L"";
        break;
    }
    default: {
        const uint64_t value = Truncate(arg.bits, spec.lengthBits);
        const unsigned base = spec.conversion == L'u' ? 10 : spec.conversion == L'o' ? 8 : 16;
        digits = Digits(value, base, spec.conversion == L'X');
        if (spec.alternate && value != 0 && base == 16) {
            prefix = spec.conversion == L'X' ? L"0X" : L"0x";
        } else if (spec.alternate && base == 8 && digits[0] != L'0') {
            digits.insert(digits.begin(), L'0');
        }
        break;
    }
    }
    if (spec.precision >= 0 && digits.size() < static_cast<std::size_t>(spec.precision)) {
        digits.insert(0, static_cast<std::size_t>(spec.precision) - digits.size(), L'0');
    } else if (spec.precision == 0 && digits == L"0") {
        digits.clear();
    }
    Pad(out, spec, prefix, digits, true);
    return true;
}

bool RenderText(std::wstring& out, const Spec& spec, const Arg& arg) {
    std::wstring converted;
    std::wstring_view text;
    if (arg.kind == ArgKind::WideText) {
        text = arg.wide ? std::wstring_view(arg.wide, arg.length) : std::wstring_view(L"(null)");
    } else {
        converted = arg.narrow ? MultiByteToWide(std::string_view(arg.narrow, arg.length), kAnsiCodePage)
                               : std::wstring(L"(null)");
        text = converted;
    }
    // Like the C runtime, a string argument ends at its first NUL.
    text = text.substr(0, text.find(L'\0'));
    if (spec.precision >= 0) {
        text = text.substr(0, static_cast<std::size_t>(spec.precision));
    }
    Pad(out, spec, L"", text, false);
    return true;
}

bool RenderFloat(std::wstring& out, const Spec& spec, const Arg& arg) {
    char pattern[16] = "%";
    std::size_t n = 1;
    for (const auto& [flag, set] : {std::pair{'-', spec.leftAlign},
                                    {'0', spec.zeroPad},
                                    {'+', spec.plusSign},
                                    {' ', spec.spaceSign},
                                    {'#', spec.alternate}}) {
        if (set) {
            pattern[n++] = flag;
        }
    }
    pattern[n++] = '*';
    pattern[n++] = '.';
    pattern[n++] = '*';
    pattern[n++] = static_cast<char>(spec.conversion);
    pattern[n] = '\0';
    char buffer[512];
    const int written = std::snprintf(buffer, sizeof buffer, pattern, spec.width,
                                      spec.precision < 0 ? 6 : spec.precision, arg.real);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof buffer) {
        return false;
    }
    out.append(buffer, buffer + written);
    return true;
}

bool RenderPointer(std::wstring& out, const Spec& spec, const Arg& arg) {
    const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(arg.pointer));
    std::wstring digits = Digits(value, 16, true);
    digits.insert(0, sizeof(void*) * 2 - std::min(digits.size(), sizeof(void*) * 2), L'0');
    Pad(out, spec, L"", digits, false);
    return true;
}

} // namespace

bool FormatWithArgs(std::wstring& out, std::wstring_view format, const Arg* args, std::size_t count,
                    std::size_t maxChars) {
    out.clear();
    std::size_t next = 0;
    for (std::size_t pos = 0; pos < format.size();) {
        const std::size_t percent = format.find(L'%', pos);
        out.append(
            format.substr(pos, percent == std::wstring_view::npos ? std::wstring_view::npos : percent - pos));
        if (percent == std::wstring_view::npos) {
            break;
        }
        Spec spec;
        pos = format_detail::ParseSpec(format, percent + 1, spec);
        if (pos == std::wstring_view::npos) {
            return false;
        }
        if (spec.conversion == L'%') {
            out.push_back(L'%');
            continue;
        }
        if (next >= count || args[next].kind != spec.expects) {
            return false;
        }
        const Arg& arg = args[next++];
        bool rendered = false;
        switch (arg.kind) {
        case ArgKind::Integer:
        case ArgKind::Integer64:
            rendered = RenderInteger(out, spec, arg);
            break;
        case ArgKind::WideText:
        case ArgKind::NarrowText:
            rendered = RenderText(out, spec, arg);
            break;
        case ArgKind::Float:
            rendered = RenderFloat(out, spec, arg);
            break;
        case ArgKind::Pointer:
            rendered = RenderPointer(out, spec, arg);
            break;
        case ArgKind::Unsupported:
            break;
        }
        if (!rendered || Utf16Length(out) > maxChars) {
            return false;
        }
    }
    return next == count && Utf16Length(out) <= maxChars;
}

} // namespace ZEPMaintenance
