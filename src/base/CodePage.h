// Text between the program's wide strings and the 8-bit encodings of files, logs and the wire.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <typeinfo>

namespace ZEPMaintenance {

inline constexpr uint32_t kAnsiCodePage = 0; // on Linux the ANSI code page is UTF-8
inline constexpr uint32_t kUtf8CodePage = 65001;
inline constexpr uint32_t kCentralEuropeanOemCodePage = 852; // the delete list's encoding

std::string WideToMultiByte(const std::wstring& text, uint32_t codePage);
std::wstring MultiByteToWide(std::string_view text, uint32_t codePage);
std::wstring Utf8ToWide(const std::string& text);
// Text in a single-byte code page, every byte a character (NULs too); false when it cannot be decoded.
bool SingleByteToWide(std::string_view bytes, uint32_t codePage, std::wstring& text);
// The other way: every character to its byte of a single-byte code page; false when one has none.
bool WideToSingleByte(std::wstring_view text, uint32_t codePage, std::string& bytes);
std::wstring CharToWide(const char* text);
// "class " + the demangled C++ name, the form the program's descriptions use on every platform.
std::wstring RuntimeTypeName(const std::type_info& type);

} // namespace ZEPMaintenance
