// The platform primitives under WinRegistryKey, implemented by win/RegistryKeyWin.cpp and
// posix/RegistryKeyPosix.cpp.
#pragma once

#include "system/WinRegistryKey.h"
#include "system/platform/CallResult.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

class SecurityAttributes;

namespace platform {

enum class PredefinedKey { CurrentUser, LocalMachine, Users };

inline constexpr uint32_t kKeyQueryValue = 0x0001;
inline constexpr uint32_t kKeySetValue = 0x0002;
inline constexpr uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr uint32_t kKeyRead = 0x20019;
inline constexpr uint32_t kKeyReadWrite = 0x2001B;
inline constexpr uint32_t kKeyCreate = 0x2001F;
// Rights beyond reading: the Linux store grants them to root only.
inline constexpr uint32_t kKeyWriteRights = 0x0002 | 0x0004 | 0x0020 | 0x00010000 | 0x00040000 | 0x00080000;

inline constexpr uint32_t kCreatedNewKey = 1;
inline constexpr uint32_t kOpenedExistingKey = 2;

// Each returns the registry function's Windows error number (0 on success) and the last error after it.
// RegOpenKeyExW(predefined key, "", 0, access).
[[nodiscard]] CallResult OpenRegistryRoot(PredefinedKey root, uint32_t access, RegistryKeyHandle& key);
// RegOpenCurrentUser(access).
[[nodiscard]] CallResult OpenCurrentUserRoot(uint32_t access, RegistryKeyHandle& key);
// RegOpenKeyExW(parent, subKey, 0, access).
[[nodiscard]] CallResult OpenRegistryKey(const RegistryKeyHandle& parent, const std::wstring& subKey,
                                         uint32_t access, RegistryKeyHandle& key);
// RegCreateKeyExW(parent, subKey, 0, no class, REG_OPTION_NON_VOLATILE, access, attributes or none).
[[nodiscard]] CallResult CreateRegistryKey(const RegistryKeyHandle& parent, const std::wstring& subKey,
                                           uint32_t access, const SecurityAttributes* attributes,
                                           RegistryKeyHandle& key, uint32_t& disposition);
// RegDeleteKeyExW(parent, subKey, view, 0).
[[nodiscard]] CallResult DeleteRegistryKey(const RegistryKeyHandle& parent, const std::wstring& subKey,
                                           uint32_t view);
// RegQueryValueExW: without data only type and size are asked for; a buffer of *size bytes that is
// too small gives ERROR_MORE_DATA and the size needed.
[[nodiscard]] CallResult QueryRegistryValue(const RegistryKeyHandle& key, const std::wstring& name,
                                            uint32_t* type, uint8_t* data, uint32_t* size);
// RegSetValueExW(key, name, 0, type, data, size).
[[nodiscard]] CallResult SetRegistryValue(const RegistryKeyHandle& key, const std::wstring& name,
                                          uint32_t type, const uint8_t* data, uint32_t size);
// RegDeleteValueW.
[[nodiscard]] CallResult DeleteRegistryValue(const RegistryKeyHandle& key, const std::wstring& name);
// RegQueryInfoKeyW: number of sub-keys and the length of the longest sub-key name, in characters.
[[nodiscard]] CallResult QueryRegistryKeyInfo(const RegistryKeyHandle& key, uint32_t& subKeyCount,
                                              uint32_t& maxSubKeyLength);
// RegEnumKeyExW: *length is the buffer size in characters on entry and the name's length on return.
[[nodiscard]] CallResult EnumRegistryKey(const RegistryKeyHandle& key, uint32_t index, wchar_t* name,
                                         uint32_t* length);

// RegEnumValueW without data: *length is the buffer size in characters on entry and the name's length
// on return; ERROR_NO_MORE_ITEMS past the last value.
[[nodiscard]] CallResult EnumRegistryValue(const RegistryKeyHandle& key, uint32_t index, wchar_t* name,
                                           uint32_t* length, uint32_t& type);

} // namespace platform

} // namespace ZEPMaintenance
