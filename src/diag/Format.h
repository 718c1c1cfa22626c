// printf-style formatting of wide text with the Windows convention (%s and %ls wide, %hs narrow),
// checked against the argument types when the program is compiled.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace ZEPMaintenance {

namespace format_detail {

// Integers up to 32 bits and 64-bit integers are kinds of their own, so that a 64-bit value never
// meets a conversion that reads 32 bits.
enum class ArgKind : uint8_t { Integer, Integer64, Float, WideText, NarrowText, Pointer, Unsupported };

template <class T> constexpr ArgKind KindOf() {
    using U = std::remove_cvref_t<std::decay_t<T>>;
    if constexpr (std::is_integral_v<U> || std::is_enum_v<U>) {
        return sizeof(U) > 4 ? ArgKind::Integer64 : ArgKind::Integer;
    } else if constexpr (std::is_floating_point_v<U>) {
        return ArgKind::Float;
    } else if constexpr (std::is_same_v<U, const wchar_t*> || std::is_same_v<U, wchar_t*> ||
                         std::is_same_v<U, std::wstring> || std::is_same_v<U, std::wstring_view>) {
        return ArgKind::WideText;
    } else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*> ||
                         std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
        return ArgKind::NarrowText;
    } else if constexpr (std::is_pointer_v<U>) {
        return ArgKind::Pointer;
    } else {
        return ArgKind::Unsupported;
    }
}

// One parsed conversion of a format string.
struct Spec {
    bool leftAlign = false;
    bool zeroPad = false;
    bool plusSign = false;
    bool spaceSign = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
    int lengthBits = 32;     // 8 (hh), 16 (h), 32 (none, l, I32), 64 (ll, I64, j, z, t)
    bool narrowHint = false; // 'h' on s or c
    wchar_t conversion = 0;
    ArgKind expects = ArgKind::Unsupported;
};

inline constexpr std::size_t kBadSpec = std::wstring_view::npos;

// The flags at text[pos]; the position after them.
constexpr std::size_t ParseFlags(std::wstring_view text, std::size_t pos, Spec& spec) {
    for (; pos < text.size(); ++pos) {
        switch (text[pos]) {
        case L'-':
            spec.leftAlign = true;
            break;
        case L'0':
            spec.zeroPad = true;
            break;
        case L'+':
            spec.plusSign = true;
            break;
        case L' ':
            spec.spaceSign = true;
            break;
        case L'#':
            spec.alternate = true;
            break;
        default:
            return pos;
        }
    }
    return pos;
}

// Decimal digits at text[pos] into number, at most 1024; the position after them, or kBadSpec.
constexpr std::size_t ParseNumber(std::wstring_view text, std::size_t pos, int& number) {
    for (; pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos) {
        number = number * 10 + (text[pos] - L'0');
        if (number > 1024) {
            return kBadSpec;
        }
    }
    return pos;
}

// The length modifier at text[pos], if any; the position after it.
constexpr std::size_t ParseLength(std::wstring_view text, std::size_t pos, Spec& spec, bool& hasLength) {
    const std::wstring_view rest = text.substr(pos);
    hasLength = true;
    if (rest.starts_with(L"hh")) {
        spec.lengthBits = 8;
        return pos + 2;
    }
    if (rest.starts_with(L"h")) {
        spec.lengthBits = 16, spec.narrowHint = true;
        return pos + 1;
    }
    if (rest.starts_with(L"ll") || rest.starts_with(L"I64")) {
        spec.lengthBits = 64;
        return pos + (rest[0] == L'l' ? 2 : 3);
    }
    if (rest.starts_with(L"I32")) {
        return pos + 3;
    }
    if (rest.starts_with(L"l") || rest.starts_with(L"w")) {
        return pos + 1; // long is 32 bits in the Windows convention
    }
    if (rest.starts_with(L"j")) {
        spec.lengthBits = 64;
        return pos + 1;
    }
    if (rest.starts_with(L"z") || rest.starts_with(L"t")) {
        spec.lengthBits = sizeof(std::size_t) * 8;
        return pos + 1;
    }
    hasLength = false;
    return pos;
}

// What the conversion letter expects as its argument; Unsupported for a letter that is none.
constexpr ArgKind ExpectedBy(const Spec& spec, bool hasLength) {
    switch (spec.conversion) {
    case L'd':
    case L'i':
    case L'u':
    case L'o':
    case L'x':
    case L'X':
        return spec.lengthBits == 64 ? ArgKind::Integer64 : ArgKind::Integer;
    case L'c':
        return ArgKind::Integer;
    case L's':
        return spec.narrowHint ? ArgKind::NarrowText : ArgKind::WideText;
    case L'S':
        return (hasLength && !spec.narrowHint) ? ArgKind::WideText : ArgKind::NarrowText;
    case L'p':
        return ArgKind::Pointer;
    case L'f':
    case L'e':
    case L'E':
    case L'g':
    case L'G':
        return ArgKind::Float;
    default:
        return ArgKind::Unsupported;
    }
}

// Parses the conversion that starts after the '%' at text[pos]; returns the position after it,
// or npos when the conversion is malformed. A "%%" gives conversion '%' and expects nothing.
constexpr std::size_t ParseSpec(std::wstring_view text, std::size_t pos, Spec& spec) {
    spec = Spec{};
    if (pos >= text.size()) {
        return kBadSpec;
    }
    if (text[pos] == L'%') {
        spec.conversion = L'%';
        return pos + 1;
    }
    pos = ParseNumber(text, ParseFlags(text, pos, spec), spec.width);
    if (pos != kBadSpec && pos < text.size() && text[pos] == L'.') {
        spec.precision = 0;
        pos = ParseNumber(text, pos + 1, spec.precision);
    }
    if (pos == kBadSpec) {
        return kBadSpec;
    }
    bool hasLength = false;
    pos = ParseLength(text, pos, spec, hasLength);
    if (pos >= text.size()) {
        return kBadSpec;
    }
    spec.conversion = text[pos];
    spec.expects = ExpectedBy(spec, hasLength);
    return spec.expects == ArgKind::Unsupported ? kBadSpec : pos + 1;
}

// True when the format's conversions match the argument kinds one for one.
constexpr bool FormatMatches(std::wstring_view text, std::initializer_list<ArgKind> kinds) {
    const ArgKind* next = kinds.begin();
    for (std::size_t pos = 0; pos < text.size();) {
        if (text[pos] != L'%') {
            ++pos;
            continue;
        }
        Spec spec;
        pos = ParseSpec(text, pos + 1, spec);
        if (pos == std::wstring_view::npos) {
            return false;
        }
        if (spec.conversion == L'%') {
            continue;
        }
        if (next == kinds.end() || *next != spec.expects) {
            return false;
        }
        ++next;
    }
    return next == kinds.end();
}

// Reached only when a format string does not match its arguments: calling a function that is
// not constexpr from a consteval constructor makes the mismatch a compile error.
void FormatDoesNotMatchArguments();

// A type-erased argument for the runtime formatter.
struct Arg {
    ArgKind kind = ArgKind::Unsupported;
    bool isSigned = false;
    uint64_t bits = 0;
    double real = 0;
    const wchar_t* wide = nullptr;
    const char* narrow = nullptr;
    std::size_t length = 0;
    const void* pointer = nullptr;
};

// C strings, which may be null.
Arg TextArg(const wchar_t* text);
Arg TextArg(const char* text);

template <class T> Arg MakeArg(const T& value) {
    using U = std::remove_cvref_t<std::decay_t<T>>;
    Arg arg;
    arg.kind = KindOf<T>();
    if constexpr (std::is_enum_v<U>) {
        arg.isSigned = std::is_signed_v<std::underlying_type_t<U>>;
        arg.bits = static_cast<uint64_t>(static_cast<std::underlying_type_t<U>>(value));
    } else if constexpr (std::is_integral_v<U>) {
        arg.isSigned = std::is_signed_v<U>;
        arg.bits = static_cast<uint64_t>(value);
    } else if constexpr (std::is_floating_point_v<U>) {
        arg.real = static_cast<double>(value);
    } else if constexpr (std::is_same_v<U, std::wstring> || std::is_same_v<U, std::wstring_view>) {
        arg.wide = value.data(), arg.length = value.size();
    } else if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
        arg.narrow = value.data(), arg.length = value.size();
    } else if constexpr (std::is_same_v<U, const wchar_t*> || std::is_same_v<U, wchar_t*>) {
        arg = TextArg(static_cast<const wchar_t*>(value));
    } else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
        arg = TextArg(static_cast<const char*>(value));
    } else if constexpr (std::is_pointer_v<U>) {
        arg.pointer = static_cast<const void*>(value);
    }
    return arg;
}

} // namespace format_detail

// A format string whose conversions are checked against Args at compile time.
template <class... Args> struct FormatString {
    template <class S>
    requires std::convertible_to<const S&, std::wstring_view>
    consteval FormatString(const S& s) : text(s) {
        if (!format_detail::FormatMatches(text, {format_detail::KindOf<Args>()...})) {
            format_detail::FormatDoesNotMatchArguments();
        }
    }
    std::wstring_view text;
};

// Formats into out; false when the format and arguments do not fit together or the result would
// be longer than maxChars (out is then unspecified).
bool FormatWithArgs(std::wstring& out, std::wstring_view format, const format_detail::Arg* args,
                    std::size_t count, std::size_t maxChars);

template <class... Args>
std::wstring Format(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
    const format_detail::Arg packed[] = {format_detail::MakeArg(args)..., format_detail::Arg{}};
    std::wstring out;
    if (!FormatWithArgs(out, format.text, packed, sizeof...(Args), std::wstring::npos)) {
        out.clear();
    }
    return out;
}

} // namespace ZEPMaintenance
