// Known folders of the system that the program locates by id.
#pragma once

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

enum class KnownFolder { ProgramData, System };

namespace platform {
// SHGetKnownFolderPath: an HRESULT, negative on failure; path without trailing separator.
int32_t GetKnownFolderPath(KnownFolder id, std::wstring& path);
} // namespace platform

} // namespace ZEPMaintenance
