// The platform primitives under the text conversions, implemented by win/TextWin.cpp and posix/TextPosix.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ZEPMaintenance::platform {

// The platform's halves of the conversions of Text.h; each returns false (or empty) on failure.
std::string WideToMultiByte(std::wstring_view text, uint32_t codePage);
std::wstring MultiByteToWide(std::string_view text, uint32_t codePage);
// Every byte of a single-byte code page, NULs included; false where the platform cannot decode it.
bool SingleByteToWide(std::string_view bytes, uint32_t codePage, std::wstring& text);
std::wstring LocaleCharToWide(const char* text);                 // includes the terminating NUL in its input
std::size_t UpperCaseInPlace(wchar_t* text, std::size_t length); // characters processed
bool StringToSidBytes(const std::wstring& text, std::vector<uint8_t>& binary);
std::wstring SidBytesToString(const std::vector<uint8_t>& binary);
bool ModuleFileName(std::wstring& path); // the running program's path

} // namespace ZEPMaintenance::platform
