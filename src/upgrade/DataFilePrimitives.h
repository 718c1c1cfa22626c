// The platform primitive that reads a small file of the data folder, implemented by win/DataFileWin.cpp
// and posix/DataFilePosix.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ZEPMaintenance::platform {

// The whole content of a regular file that an unelevated user may have written, as bytes: a link in its
// place is not followed and a FIFO or device never waited on. A file of more than limit bytes gives
// ERROR_FILE_TOO_LARGE (223) before anything is kept. Returns a Windows error number.
[[nodiscard]] uint32_t ReadDataFile(const std::wstring& path, std::size_t limit, std::string& bytes);

} // namespace ZEPMaintenance::platform
