// Linux side of the text conversions: upper case, SID text, /proc/self/exe.
#include "system/platform/TextPrimitives.h"

#include "system/CSid.h"
#include "system/posix/PosixSupport.h"

#include <cerrno>
#include <cstring>
#include <cwctype>
#include <locale.h>
#include <unistd.h>
#include <vector>

namespace ZEPMaintenance::platform {

std::size_t UpperCaseInPlace(wchar_t* text, std::size_t length) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 == static_cast<locale_t>(nullptr)) {
        return 0;
    }
    for (std::size_t i = 0; i < length; ++i) {
        text[i] = static_cast<wchar_t>(towupper_l(static_cast<wint_t>(text[i]), utf8));
    }
    return length;
}

// The standard form S-1-<authority>-<sub>...: authority decimal, or 0x-hex when it needs more
// than 32 bits; at most 15 sub-authorities of 32 bits each.
bool StringToSidBytes(const std::wstring& text, std::vector<uint8_t>& binary) {
    static const struct {
        const wchar_t* alias;
        const wchar_t* sid;
    } kAliases[] = {
        {L"BA", L"S-1-5-32-544"}, {L"BU", L"S-1-5-32-545"}, {L"SY", L"S-1-5-18"}, {L"WD", L"S-1-1-0"}};
    for (const auto& entry : kAliases) {
        if (text == entry.alias) {
            return StringToSidBytes(entry.sid, binary);
        }
    }
    if (text.size() < 4 || (text[0] != L'S' && text[0] != L's') || text.compare(1, 3, L"-1-") != 0) {
        return false;
    }
    std::vector<uint64_t> numbers;
    std::size_t pos = 4;
    while (true) {
        const bool hex = numbers.empty() && text.compare(pos, 2, L"0x") == 0 ? (pos += 2, true) : false;
        const unsigned base = hex ? 16 : 10;
        uint64_t value = 0;
        std::size_t digits = 0;
        for (; pos < text.size() && std::iswxdigit(static_cast<wint_t>(text[pos])); ++pos, ++digits) {
            const wchar_t c = text[pos];
            const unsigned digit =
                c <= L'9' ? static_cast<unsigned>(c - L'0')
                          : static_cast<unsigned>(std::towlower(static_cast<wint_t>(c)) - L'a') + 10;
            if (digit >= base) {
                return false;
            }
            value = value * base + digit;
            if (value > (numbers.empty() ? 0xFFFFFFFFFFFFull : 0xFFFFFFFFull)) {
                return false;
            }
        }
        if (digits == 0) {
            return false;
        }
        numbers.push_back(value);
        if (pos == text.size()) {
            break;
        }
        if (text[pos] != L'-') {
            return false;
        }
        ++pos;
    }
    if (numbers.size() > 16) {
        return false;
    }
    binary.clear();
    binary.push_back(1);
    binary.push_back(static_cast<uint8_t>(numbers.size() - 1));
    for (int shift = 40; shift >= 0; shift -= 8) {
        binary.push_back(static_cast<uint8_t>(numbers[0] >> shift));
    }
    for (std::size_t i = 1; i < numbers.size(); ++i) {
        for (int shift = 0; shift < 32; shift += 8) {
            binary.push_back(static_cast<uint8_t>(numbers[i] >> shift));
        }
    }
    return true;
}

std::wstring SidBytesToString(const std::vector<uint8_t>& binary) {
    const CSid sid(binary);
    if (!sid.IsValid()) {
        return {};
    }
    wchar_t authority[32];
    const uint64_t value = sid.GetAuthority();
    swprintf(authority, 32, value > 0xFFFFFFFFull ? L"0x%012llX" : L"%llu",
             static_cast<unsigned long long>(value));
    std::wstring text = L"S-1-";
    text += authority;
    for (const uint32_t sub : sid.GetSubAuthorities()) {
        text += L"-" + std::to_wstring(sub);
    }
    return text;
}

bool ModuleFileName(std::wstring& path) {
    std::vector<char> buffer(4096);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) {
        return false;
    }
    path = posix::WidePath(std::string(buffer.data(), static_cast<std::size_t>(length)));
    return !path.empty();
}

} // namespace ZEPMaintenance::platform
