// Windows side of the code-page conversions.
#include "base/platform/CodePagePrimitives.h"

#include "base/win/WinHeaders.h"

namespace ZEPMaintenance::platform {

std::string WideToMultiByte(std::wstring_view text, uint32_t codePage) {
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string output(static_cast<std::size_t>(size), '\0');
    const int converted =
        WideCharToMultiByte(codePage, 0, text.data(), length, output.data(), size, nullptr, nullptr);
    if (converted <= 0) {
        return {};
    }
    output.resize(static_cast<std::size_t>(converted));
    return output;
}

std::wstring MultiByteToWide(std::string_view text, uint32_t codePage) {
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (size <= 0) {
        return {};
    }
    std::wstring output(static_cast<std::size_t>(size), L'\0');
    if (MultiByteToWideChar(codePage, 0, text.data(), length, output.data(), size) <= 0) {
        return {};
    }
    return output;
}

bool WideToSingleByte(std::wstring_view text, uint32_t codePage, std::string& bytes) {
    const int length = static_cast<int>(text.size());
    bytes.assign(text.size(), '\0');
    // No best fit: a character the code page lacks is a failure, never a look-alike byte.
    BOOL usedDefault = FALSE;
    const int written = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(), length, bytes.data(),
                                            length, nullptr, &usedDefault);
    if (written <= 0 || usedDefault) {
        bytes.clear();
        return false;
    }
    bytes.resize(static_cast<std::size_t>(written));
    return true;
}

bool SingleByteToWide(std::string_view bytes, uint32_t codePage, std::wstring& text) {
    const int length = static_cast<int>(bytes.size());
    text.assign(bytes.size(), L'\0');
    // One character per byte: the output is never longer than the input.
    const int written =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), length, text.data(), length);
    if (written <= 0) {
        text.clear();
        return false;
    }
    text.resize(static_cast<std::size_t>(written));
    return true;
}

// The C runtime's 8-bit text is in the ANSI code page; there is no iconv on this platform.
std::wstring LocaleCharToWide(const char* text) {
    return MultiByteToWide(std::string_view(text), CP_ACP);
}

} // namespace ZEPMaintenance::platform
