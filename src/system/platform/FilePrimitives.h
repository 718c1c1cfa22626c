// The platform primitives under File, implemented by win/FileWin.cpp and posix/FilePosix.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance::platform {

// Opening as a C runtime input stream (read, text mode, sharing read and write) and closing at once.
bool CanOpenForReading(const std::wstring& fullPath);
// DeleteFileW; CopyFileW(source, target, FALSE).
uint32_t RemoveFile(const std::wstring& fullPath);
uint32_t CopyFileOverwriting(const std::wstring& source, const std::wstring& target);
// GetFileVersionInfoSizeW (0 when there is no version resource; the error is the last error),
// GetFileVersionInfoW into a buffer of that size, and VerQueryValueW(buffer, "\\") for the fixed
// file information's dwFileVersionMS and dwFileVersionLS (false without that block).
uint32_t GetVersionInfoSize(const std::wstring& fullPath);
uint32_t GetVersionInfo(const std::wstring& fullPath, std::vector<uint8_t>& buffer);
bool QueryFixedFileVersion(const std::vector<uint8_t>& buffer, uint32_t& versionMs, uint32_t& versionLs);

} // namespace ZEPMaintenance::platform
