// Linux side: helpers shared by the primitives that stand in for Windows facilities.
#pragma once

#include "base/posix/Descriptor.h"

#include <cstdint>
#include <string>
#include <sys/stat.h>

namespace ZEPMaintenance::posix {

// Which kinds of object OpenObject accepts.
enum class ObjectKind { File, Folder, FileOrFolder };

// The path without trailing '/' ("/" itself stays). A trailing '/' makes the kernel follow a symbolic
// link in the last component, even with O_NOFOLLOW or AT_SYMLINK_NOFOLLOW.
std::string WithoutTrailingSlash(const std::string& path);

// Opens a regular file or folder without following a symbolic link in the last component and without
// blocking on a FIFO or device. O_NONBLOCK stays set: it has no effect on regular files and folders,
// the only objects it hands out. A trailing '/' asks for a folder. flags (O_RDONLY, O_DIRECTORY, ...)
// are added to O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY. A symbolic link gives
// ERROR_CANT_ACCESS_FILE, another kind of object ERROR_ACCESS_DENIED (a folder where a file is wanted,
// as CreateFileW refuses it) or ERROR_DIRECTORY (anything else where a folder is wanted). status, when
// given, receives the object's fstat.
[[nodiscard]] uint32_t OpenObject(const std::string& path, int flags, ObjectKind kind, UniqueFd& fd,
                                  struct stat* status = nullptr);
// The same for name in the folder open as folder (AT_FDCWD for the working folder).
[[nodiscard]] uint32_t OpenObjectAt(int folder, const std::string& name, int flags, ObjectKind kind,
                                    UniqueFd& fd, struct stat* status = nullptr);

// Opens path, which must lie below the folder root, as OpenObject does, but walks from root one
// component at a time, so that no symbolic link is followed anywhere below root, not only in the last
// component: whoever can write below root cannot send the open elsewhere by swapping a folder for a link
// at any moment. root itself is opened as OpenObject opens a folder; path naming root opens just that. A path
// not below root, or with a
// "." or ".." component below it, gives ERROR_INVALID_NAME; a link on the way ERROR_CANT_ACCESS_FILE.
[[nodiscard]] uint32_t OpenObjectBelow(const std::string& root, const std::string& path, int flags,
                                       ObjectKind kind, UniqueFd& fd, struct stat* status = nullptr);

// Everything the Linux layer persists lives below ZEP_MACHINE_ROOT (default "/"); no trailing slash
// except for "/" itself.
std::string MachineRoot();
// MachineRoot() joined with a relative path such as "var/lib".
std::string UnderMachineRoot(const std::string& relative);

} // namespace ZEPMaintenance::posix
