// The platform primitives under the text conversions, implemented by win/TextWin.cpp and posix/TextPosix.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ZEPMaintenance::platform {

std::size_t UpperCaseInPlace(wchar_t* text, std::size_t length); // characters processed
bool StringToSidBytes(const std::wstring& text, std::vector<uint8_t>& binary);
std::wstring SidBytesToString(const std::vector<uint8_t>& binary);
bool ModuleFileName(std::wstring& path); // the running program's path

} // namespace ZEPMaintenance::platform
