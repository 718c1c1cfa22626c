// One open registry key: opening, creating, deleting and testing keys, reading and writing values.
#pragma once

#include "base/UniqueHandle.h"
#include "diag/Logger.h"
#include "system/CSid.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance {

class Permissions;
class SecurityAttributes;

namespace platform {

// An open key of the registry: each platform defines what its state holds, released with the state.
struct RegistryKeyState;
void Destroy(RegistryKeyState* state) noexcept;
using RegistryKeyHandle = PlatformHandle<RegistryKeyState*>;

// Value types, as SetValue takes them.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

} // namespace platform

// A value as enumeration names it.
struct RegistryValueInfo {
    std::wstring name;
    uint32_t type = 0;

    bool operator==(const RegistryValueInfo&) const = default;
};

// Neither copied nor moved; the open key is released with the object.
class WinRegistryKey {
public:
    enum Root : int32_t { CurrentUser = 0, LocalMachine = 1, Users = 2, CurrentUserHive = 3 };

    // Below a predefined root.
    void Open(int32_t rootKey, const std::wstring& subKey, bool write);
    void CreateKey(int32_t rootKey, const std::wstring& subKey);
    void DeleteKey(int32_t rootKey, const std::wstring& subKey);
    bool KeyExists(int32_t rootKey, const std::wstring& subKey);

    // Below HKEY_USERS\<string SID>. Given permissions become the new key's DACL.
    void Open(const CSid& userSid, const std::wstring& subKey);
    void CreateKey(const CSid& userSid, const std::wstring& subKey, const Permissions* permissions = nullptr);
    void DeleteKey(const CSid& userSid, const std::wstring& subKey);
    bool KeyExists(const CSid& userSid, const std::wstring& subKey);

    // Values of the open key; the empty name is the key's default value.
    std::wstring GetStringValue(const std::wstring& valueName);
    void SetValue(const std::wstring& valueName, uint32_t type, const void* data, uint32_t byteCount);
    void SetStringValue(const std::wstring& valueName, const std::wstring& text);
    void DeleteValue(const std::wstring& valueName);
    // False only when the key certainly has no value of that name (ERROR_FILE_NOT_FOUND); any other
    // answer counts as present, so that the read or delete that follows reports it.
    bool ValueExists(const std::wstring& valueName);
    std::vector<std::wstring> GetSubKeyNames();
    // The key's values, names and types, in enumeration order.
    std::vector<RegistryValueInfo> GetValues();
    void Close();

    bool IsOpen() const { return key.IsValid(); }
    int32_t GetRoot() const { return root; }
    int32_t GetLastError() const { return lastError; }
    const std::wstring& GetSubKey() const { return subKeyPath; }

private:
    platform::RegistryKeyHandle GetRootKey(int32_t rootKey, uint32_t access);
    void OpenBelow(int32_t rootKey, int32_t recordedRoot, const std::wstring& subKey, uint32_t access);
    void CreateBelow(int32_t rootKey, int32_t recordedRoot, const std::wstring& subKey,
                     const Permissions* permissions);
    void DeleteBelow(int32_t rootKey, const std::wstring& subKey);
    bool ExistsBelow(int32_t rootKey, const std::wstring& subKey);

    platform::RegistryKeyHandle key;
    int32_t root = LocalMachine;
    int32_t lastError = 0;
    std::wstring subKeyPath;
    Logger logger{L"WinRegistryKey"};
};

} // namespace ZEPMaintenance
