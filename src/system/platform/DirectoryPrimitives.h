// The platform primitives under Directory, implemented by win/DirectoryWin.cpp and
// posix/DirectoryPosix.cpp.
#pragma once

#include "base/UniqueHandle.h"
#include "system/KnownFolder.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance::platform {

// SHGetKnownFolderPath: an HRESULT, negative on failure; path without trailing separator.
[[nodiscard]] int32_t GetKnownFolderPath(KnownFolder id, std::wstring& path);

// CreateDirectoryW and GetFileAttributesW as Windows error number / directory test.
[[nodiscard]] uint32_t MakeDirectory(const std::wstring& fullPath);
bool IsDirectory(const std::wstring& fullPath);

// SHFileOperationW(FO_DELETE) of one folder, silent and without confirmation: its result, 0 on success.
// The recycle bin is used when permanently is false and the platform has one.
[[nodiscard]] int32_t DeleteFolderTree(const std::wstring& folder, bool permanently);

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
    // A symbolic link, or on Windows any reparse point (junctions among them): listed, never followed.
    bool isLink = false;
};

// FindFirstFileW(pattern) and FindNextFileW: Windows error numbers, ERROR_NO_MORE_FILES at the end.
// On Linux a symbolic link is listed as a file, so that no walk follows it out of the tree, and is
// copied as a link.
[[nodiscard]] uint32_t FindFirstEntry(const std::wstring& pattern, FindHandle& search, FindEntry& entry);
[[nodiscard]] uint32_t FindNextEntry(FindHandle& search, FindEntry& entry);

// A folder held open while what lies below it is checked and then used: a descriptor on Linux, a handle
// on Windows. Each side gives the value its meaning and closes it.
enum class HeldFolder : intptr_t { kNone = -1 };
void Destroy(HeldFolder folder) noexcept;
using HeldFolderHandle = PlatformHandle<HeldFolder, HeldFolder::kNone>;

// Opens the folder at fullPath, never through a link or reparse point in its last component, and gives
// the full path (with trailing separator) by which everything below it is to be reached while it is
// held. On Linux that path leads through the descriptor (/proc/self/fd/N/./), so it reaches the folder
// that was opened whatever is later renamed or planted under its name. On Windows it is fullPath
// itself: the handle, held without delete sharing, keeps the folder from being renamed or deleted.
// ERROR_DIRECTORY for anything but a folder, ERROR_CANT_ACCESS_FILE for a link.
[[nodiscard]] uint32_t HoldFolder(const std::wstring& fullPath, HeldFolderHandle& folder,
                                  std::wstring& heldPath);

// A search of a folder reached from a root without following a link on the way (posix OpenObjectBelow,
// win OpenBelowRoot): the folder is listed through what was opened, never looked up by name again. Each
// side defines what its state holds and releases it.
struct ConfinedSearchState;
void Destroy(ConfinedSearchState* state) noexcept;
using ConfinedSearch = PlatformHandle<ConfinedSearchState*>;

// As FindFirstEntry and FindNextEntry, for folder, which is root itself or lies below it.
[[nodiscard]] uint32_t FindFirstEntryBelow(const std::wstring& root, const std::wstring& folder,
                                           ConfinedSearch& search, FindEntry& entry);
[[nodiscard]] uint32_t FindNextEntryBelow(ConfinedSearch& search, FindEntry& entry);

} // namespace ZEPMaintenance::platform
