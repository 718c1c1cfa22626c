// The platform primitives under Permissions, implemented by win/PermissionsWin.cpp and
// posix/PermissionsPosix.cpp.
#pragma once

#include "system/CSid.h"
#include "system/Dacl.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance::platform {

// SetNamedSecurityInfoW / GetNamedSecurityInfoW on a file or folder: the API result (a Windows error
// number, 0 on success). The DACL is written protected from inheritance.
uint32_t SetFileDacl(const std::wstring& path, const Dacl& dacl);
uint32_t GetFileDacl(const std::wstring& path, Dacl& dacl);
uint32_t SetFileOwnerSid(const std::wstring& path, const CSid& owner);
uint32_t GetFileOwnerSid(const std::wstring& path, CSid& owner);

} // namespace ZEPMaintenance::platform
