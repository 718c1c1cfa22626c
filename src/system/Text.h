// Text and identifier conversions shared by the whole program.
#pragma once

#include "base/CodePage.h"
#include "system/CSid.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

std::wstring ToUpper(const std::wstring& text);
CSid SidFromString(const std::wstring& text);
std::wstring GetModuleFilename();
std::wstring GetDirectoryPart(const std::wstring& path);
std::wstring GetModuleDirectory();

} // namespace ZEPMaintenance
