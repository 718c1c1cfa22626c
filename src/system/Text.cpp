// Portable halves of the text and identifier conversions.
#include "system/Text.h"

#include "diag/IMException.h"
#include "system/platform/TextPrimitives.h"

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

std::wstring ToUpper(const std::wstring& text) {
    std::wstring upper(text.c_str());
    if (platform::UpperCaseInPlace(upper.data(), upper.size()) < upper.size()) {
        ThrowIMException(ErrorCode::kInvalidValue, L"Can't convert ToUpper");
    }
    return upper;
}

CSid SidFromString(const std::wstring& text) {
    std::vector<uint8_t> binary;
    if (!platform::StringToSidBytes(text, binary)) {
        ThrowIMException(ErrorCode::kInvalidValue, L"ConvertStringSidToSid failed");
    }
    return CSid(std::move(binary));
}

std::wstring GetModuleFilename() {
    std::wstring path;
    if (!platform::ModuleFileName(path) || path.empty()) {
        ThrowIMException(ErrorCode::kSystemCallFailed, L"GetModuleFilename failed");
    }
    return path;
}

std::wstring GetDirectoryPart(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

std::wstring GetModuleDirectory() {
    return GetDirectoryPart(GetModuleFilename());
}

std::wstring RuntimeTypeName(const std::type_info& type) {
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
    const char* name = (status == 0 && demangled) ? demangled.get() : type.name();
    return L"class " + MultiByteToWide(name, kUtf8CodePage);
}

} // namespace ZEPMaintenance
