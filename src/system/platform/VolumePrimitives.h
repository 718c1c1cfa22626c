// What the engine asks of the file system before it changes anything: which folder a path names, whether
// a way below a folder crosses a link, how many bytes a tree holds and how many are free. Implemented by
// win/VolumeWin.cpp and posix/VolumePosix.cpp.
#pragma once

#include <cstdint>
#include <string>

namespace ZEPMaintenance::platform {

// What tells one folder from every other on the machine: its volume and file index on Windows, its
// device and inode on Linux.
struct ObjectIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const ObjectIdentity&) const = default;
};

// The identity of the folder at fullPath, never through a link or reparse point in its last component;
// ERROR_DIRECTORY for anything but a folder.
[[nodiscard]] uint32_t IdentifyFolder(const std::wstring& fullPath, ObjectIdentity& identity);

// Whether one of the components of relativePath (platform separators) below root is a symbolic link or
// reparse point; a component that does not exist ends the look without one.
[[nodiscard]] uint32_t CrossesLink(const std::wstring& root, const std::wstring& relativePath, bool& crosses);

// The apparent size of everything below the folder (a sparse file counts whole), links not followed.
[[nodiscard]] uint32_t TreeApparentSize(const std::wstring& folder, uint64_t& bytes);

// Renames the folder at fullPath (no trailing separator) to a fresh random name beside it, never over
// anything; asideName receives the new full path.
[[nodiscard]] uint32_t SetAsideFolder(const std::wstring& fullPath, std::wstring& asideName);

// The bytes the calling process may still write on the volume of the folder.
[[nodiscard]] uint32_t FreeBytes(const std::wstring& folder, uint64_t& bytes);

// Puts everything written to the volume of the folder on the disk: the data of its files and every
// name created, renamed or removed on it (Linux: syncfs; Windows: FlushFileBuffers on the volume,
// which needs administrator rights). One call stands for a flush of every file and folder written.
// ERROR_INVALID_FUNCTION where the volume has no such flush (Wine's drives).
[[nodiscard]] uint32_t FlushVolume(const std::wstring& folder);

} // namespace ZEPMaintenance::platform
