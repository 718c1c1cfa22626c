// Linux side of the code-page conversions: UTF-8 for the ANSI code page, iconv for the others.
#include "base/platform/CodePagePrimitives.h"

#include "base/UniqueHandle.h"
#include "base/posix/Utf8.h"

#include <cstring>
#include <iconv.h>
#include <langinfo.h>

namespace ZEPMaintenance::platform {

namespace {

struct IconvTraits {
    using Value = iconv_t;
    static iconv_t Invalid() noexcept { return reinterpret_cast<iconv_t>(-1); }
    static void Close(iconv_t converter) noexcept { iconv_close(converter); }
};

// One iconv pass over the whole input; false on any invalid or unconvertible sequence.
bool Convert(const char* to, const char* from, const char* input, std::size_t inputBytes,
             std::string& output) {
    const UniqueHandle<IconvTraits> converter(iconv_open(to, from));
    if (!converter) {
        return false;
    }
    output.assign(inputBytes * 4 + 16, '\0');
    char* in = const_cast<char*>(input); // iconv's historical signature; the input is not written
    std::size_t inLeft = inputBytes;
    char* out = output.data();
    std::size_t outLeft = output.size();
    iconv(converter.Get(), nullptr, nullptr, nullptr, nullptr);
    const std::size_t result = iconv(converter.Get(), &in, &inLeft, &out, &outLeft);
    if (result == static_cast<std::size_t>(-1) || inLeft != 0) {
        return false;
    }
    output.resize(output.size() - outLeft);
    return true;
}

std::wstring BytesToWide(const std::string& bytes) {
    std::wstring wide(bytes.size() / sizeof(wchar_t), L'\0');
    std::memcpy(wide.data(), bytes.data(), wide.size() * sizeof(wchar_t));
    return wide;
}

} // namespace

// Linux has one 8-bit encoding for file names and text: UTF-8 serves as the ANSI code page too.
std::string WideToMultiByte(std::wstring_view text, uint32_t /*codePage*/) {
    return posix::EncodeUtf8(text, posix::InvalidBytes::Replace);
}

std::wstring MultiByteToWide(std::string_view text, uint32_t /*codePage*/) {
    return posix::DecodeUtf8(text, posix::InvalidBytes::Replace);
}

bool SingleByteToWide(std::string_view bytes, uint32_t codePage, std::wstring& text) {
    const std::string from = "CP" + std::to_string(codePage);
    std::string output;
    if (!Convert("WCHAR_T", from.c_str(), bytes.data(), bytes.size(), output)) {
        return false;
    }
    text = BytesToWide(output);
    return true;
}

bool WideToSingleByte(std::wstring_view text, uint32_t codePage, std::string& bytes) {
    const std::string to = "CP" + std::to_string(codePage);
    return Convert(to.c_str(), "WCHAR_T", reinterpret_cast<const char*>(text.data()),
                   text.size() * sizeof(wchar_t), bytes);
}

std::wstring LocaleCharToWide(const char* text) {
    // The C locale's "ANSI_X3.4-1968" rejects every byte above 0x7F; such text is read as UTF-8.
    const std::size_t bytes = std::strlen(text) + 1;
    std::string output;
    if (!Convert("WCHAR_T", nl_langinfo(CODESET), text, bytes, output) &&
        !Convert("WCHAR_T", "UTF-8", text, bytes, output)) {
        return {};
    }
    return BytesToWide(output);
}

} // namespace ZEPMaintenance::platform
