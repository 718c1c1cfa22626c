// The platform primitives under Permissions, implemented by win/PermissionsWin.cpp and
// posix/PermissionsPosix.cpp.
#pragma once

#include "system/CSid.h"
#include "system/Dacl.h"
#include "system/platform/CallResult.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance::platform {

// SetNamedSecurityInfoW / GetNamedSecurityInfoW on a file or folder: the API result (a Windows error
// number, 0 on success) and the last error after it. The DACL is written protected from inheritance.
[[nodiscard]] CallResult SetFileDacl(const std::wstring& path, const Dacl& dacl);
[[nodiscard]] CallResult GetFileDacl(const std::wstring& path, Dacl& dacl);
[[nodiscard]] CallResult SetFileOwnerSid(const std::wstring& path, const CSid& owner);
[[nodiscard]] CallResult GetFileOwnerSid(const std::wstring& path, CSid& owner);

} // namespace ZEPMaintenance::platform
