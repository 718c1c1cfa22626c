// Windows side: opening files and folders below a root folder without following a reparse point.
#pragma once

#include "base/win/WinHandle.h"

#include <string>

namespace ZEPMaintenance::platform {

// Opens path, which must lie below the folder root, with the given access, sharing and flags. Every
// folder from root down is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT), refused when it is a
// reparse point (a junction or symbolic link) and held without sharing delete, so that it can be neither
// renamed nor replaced until the object itself is open; the object is opened as itself too. Last, the
// object's final path must be root's final path followed by the names below root: an open that went
// anywhere else on the way (a folder above root swapped meanwhile) is refused. folder asks for a folder,
// otherwise a file on disk is wanted. A path not below root, or with an empty, ".", ".." or stream
// component, gives ERROR_INVALID_NAME; a reparse point on the way or a final path elsewhere
// ERROR_CANT_ACCESS_FILE; the wrong kind of object ERROR_ACCESS_DENIED or ERROR_DIRECTORY. path naming
// root itself opens just root, as itself.
[[nodiscard]] DWORD OpenBelowRoot(const std::wstring& root, const std::wstring& path, DWORD access,
                                  DWORD share, DWORD flags, bool folder, WinFile& handle,
                                  BY_HANDLE_FILE_INFORMATION* info = nullptr);

} // namespace ZEPMaintenance::platform
