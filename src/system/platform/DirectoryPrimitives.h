// The platform primitives under Directory, implemented by win/DirectoryWin.cpp and
// posix/DirectoryPosix.cpp.
#pragma once

#include "system/KnownFolder.h"
#include "system/UniqueHandle.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance::platform {

// SHGetKnownFolderPath: an HRESULT, negative on failure; path without trailing separator.
int32_t GetKnownFolderPath(KnownFolder id, std::wstring& path);

// CreateDirectoryW and GetFileAttributesW as Windows error number / directory test.
uint32_t MakeDirectory(const std::wstring& fullPath);
bool IsDirectory(const std::wstring& fullPath);

// SHFileOperationW(FO_DELETE) of one folder, silent and without confirmation: its result, 0 on success.
// The recycle bin is used when permanently is false and the platform has one.
int32_t DeleteFolderTree(const std::wstring& folder, bool permanently);

// A directory search: FindFirstFileW's handle on Windows, a directory stream on Linux. Each side gives
// the value its meaning and closes it.
enum class DirectorySearch : intptr_t { kNone = 0 };
void Destroy(DirectorySearch search) noexcept;
using FindHandle = PlatformHandle<DirectorySearch>;

struct FindEntry {
    std::wstring name;
    bool isDirectory = false;
    // A FIFO, socket or device: neither a file, a folder nor a symbolic link (Linux only).
    bool isSpecial = false;
};

// FindFirstFileW(pattern) and FindNextFileW: Windows error numbers, ERROR_NO_MORE_FILES at the end.
// On Linux a symbolic link is listed as a file, so that no walk follows it out of the tree, and is
// copied as a link.
uint32_t FindFirstEntry(const std::wstring& pattern, FindHandle& search, FindEntry& entry);
uint32_t FindNextEntry(FindHandle& search, FindEntry& entry);

} // namespace ZEPMaintenance::platform
