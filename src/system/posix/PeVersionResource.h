// Linux side of FileVersion: reads the version resource out of a Windows PE file's resource section.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance::posix {

// The bytes of the file's RT_VERSION resource (a VS_VERSIONINFO block); a Windows error number:
// ERROR_BAD_FORMAT for a file that is no PE image, ERROR_RESOURCE_TYPE_NOT_FOUND without one.
[[nodiscard]] uint32_t ReadVersionResource(const std::string& path, std::vector<uint8_t>& data);

// dwFileVersionMS and dwFileVersionLS of the VS_FIXEDFILEINFO in a VS_VERSIONINFO block.
bool ParseFixedFileVersion(const std::vector<uint8_t>& block, uint32_t& versionMs, uint32_t& versionLs);

} // namespace ZEPMaintenance::posix
