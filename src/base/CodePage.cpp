// Portable halves of the code-page conversions.
#include "base/CodePage.h"

#include "base/platform/CodePagePrimitives.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>

namespace ZEPMaintenance {

std::string WideToMultiByte(const std::wstring& text, uint32_t codePage) {
    const std::wstring_view upToNul(text.c_str());
    return upToNul.empty() ? std::string() : platform::WideToMultiByte(upToNul, codePage);
}

std::wstring MultiByteToWide(std::string_view text, uint32_t codePage) {
    text = text.substr(0, text.find('\0'));
    if (text.empty()) {
        return {};
    }
    std::wstring wide = platform::MultiByteToWide(text, codePage);
    return wide.substr(0, wide.find(L'\0'));
}

bool SingleByteToWide(std::string_view bytes, uint32_t codePage, std::wstring& text) {
    text.clear();
    return bytes.empty() || platform::SingleByteToWide(bytes, codePage, text);
}

bool WideToSingleByte(std::wstring_view text, uint32_t codePage, std::string& bytes) {
    bytes.clear();
    return text.empty() || platform::WideToSingleByte(text, codePage, bytes);
}

std::wstring Utf8ToWide(const std::string& text) {
    return MultiByteToWide(text, kUtf8CodePage);
}

std::wstring CharToWide(const char* text) {
    if (text == nullptr || *text == '\0') {
        return {};
    }
    std::wstring wide = platform::LocaleCharToWide(text);
    return wide.substr(0, wide.find(L'\0'));
}

std::wstring RuntimeTypeName(const std::type_info& type) {
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
    const char* name = (status == 0 && demangled) ? demangled.get() : type.name();
    return L"class " + MultiByteToWide(name, kUtf8CodePage);
}

} // namespace ZEPMaintenance
