// The platform primitives under the code-page conversions, implemented by win/CodePageWin.cpp and
// posix/CodePagePosix.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ZEPMaintenance::platform {

// The platform's halves of the conversions of CodePage.h; each returns false (or empty) on failure.
std::string WideToMultiByte(std::wstring_view text, uint32_t codePage);
std::wstring MultiByteToWide(std::string_view text, uint32_t codePage);
// Every byte of a single-byte code page, NULs included; false where the platform cannot decode it.
bool SingleByteToWide(std::string_view bytes, uint32_t codePage, std::wstring& text);
bool WideToSingleByte(std::wstring_view text, uint32_t codePage, std::string& bytes);
std::wstring LocaleCharToWide(const char* text); // includes the terminating NUL in its input

} // namespace ZEPMaintenance::platform
