// The platform primitives under File, implemented by win/FileWin.cpp and posix/FilePosix.cpp.
#pragma once

#include "system/File.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance::platform {

// Opening as a C runtime input stream (read, text mode, sharing read and write) and closing at once.
bool CanOpenForReading(const std::wstring& fullPath);
// DeleteFileW; CopyFileW(source, target, FALSE).
[[nodiscard]] uint32_t RemoveFile(const std::wstring& fullPath);
[[nodiscard]] uint32_t CopyFileOverwriting(const std::wstring& source, const std::wstring& target);
// GetFileVersionInfoSizeW (0 when there is no version resource; the error is the last error),
// GetFileVersionInfoW into a buffer of that size, and VerQueryValueW(buffer, "\\") for the fixed
// file information's dwFileVersionMS and dwFileVersionLS (false without that block).
uint32_t GetVersionInfoSize(const std::wstring& fullPath);
[[nodiscard]] uint32_t GetVersionInfo(const std::wstring& fullPath, std::vector<uint8_t>& buffer);
bool QueryFixedFileVersion(const std::vector<uint8_t>& buffer, uint32_t& versionMs, uint32_t& versionLs);

// The steps of File::CopyWithHash, on the state of HashedCopyHandle.
// Opens source for reading: CreateFileW(GENERIC_READ, sharing read only, sequential scan) on Windows.
// With a root, source must lie below it and is reached without following a link or reparse point on
// the way (ERROR_CANT_ACCESS_FILE), and must be a regular file with a single name (ERROR_CANT_ACCESS_FILE
// otherwise): the tree below root may be written by someone else.
[[nodiscard]] uint32_t OpenCopySource(const std::wstring& root, const std::wstring& source,
                                      HashedCopyHandle& copy);
// Creates the new file beside target, in target's folder, under a fresh name, exclusively and not
// through a link (CreateFileW CREATE_NEW; openat O_CREAT | O_EXCL | O_NOFOLLOW, mode 0600); copyName
// receives that name.
[[nodiscard]] uint32_t CreateCopyBeside(const std::wstring& target, HashedCopyHandle& copy,
                                        std::wstring& copyName);
// ReadFile from the source: count is 0 at its end.
[[nodiscard]] uint32_t ReadCopySource(HashedCopyHandle& copy, uint8_t* buffer, uint32_t size,
                                      uint32_t& count);
// WriteFile of all count bytes to the new file.
[[nodiscard]] uint32_t WriteCopy(HashedCopyHandle& copy, const uint8_t* buffer, uint32_t count);
// Gives the new file what CopyFileOverwriting gives a copy (see docs/copy-stage.md); the source is
// closed. Linux leaves the flush to the volume's flush after the copy stage; Windows flushes the file,
// since not every volume there can be flushed as a whole.
[[nodiscard]] uint32_t FinishCopy(HashedCopyHandle& copy);
// Renames the new file over the target (MoveFileExW REPLACE_EXISTING | WRITE_THROUGH, renameat).
// Where the file system shares blocks (Linux: FICLONE), CreateCopyBeside makes the new file share the
// source's; the reads then come from the new file and the writes do nothing.
[[nodiscard]] uint32_t PlaceCopy(HashedCopyHandle& copy);

} // namespace ZEPMaintenance::platform
