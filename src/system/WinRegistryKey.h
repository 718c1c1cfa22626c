// One open registry key: opening, creating, deleting and testing keys, reading and writing values.
#pragma once

#include "diag/Logger.h"
#include "system/CSid.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ZEPMaintenance {

class Permissions;
class SecurityAttributes;

namespace platform {

// An open key of the registry; each platform defines what it holds and how it is released.
struct RegistryKeyState;
struct RegistryKeyStateDeleter {
    void operator()(RegistryKeyState* state) const;
};
using RegistryKeyHandle = std::unique_ptr<RegistryKeyState, RegistryKeyStateDeleter>;

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

inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

inline constexpr uint32_t kCreatedNewKey = 1;
inline constexpr uint32_t kOpenedExistingKey = 2;

// Each returns the registry function's Windows error number, 0 on success.
// RegOpenKeyExW(predefined key, "", 0, access).
uint32_t OpenRegistryRoot(PredefinedKey root, uint32_t access, RegistryKeyHandle& key);
// RegOpenCurrentUser(access).
uint32_t OpenCurrentUserRoot(uint32_t access, RegistryKeyHandle& key);
// RegOpenKeyExW(parent, subKey, 0, access).
uint32_t OpenRegistryKey(const RegistryKeyHandle& parent, const std::wstring& subKey, uint32_t access,
                         RegistryKeyHandle& key);
// RegCreateKeyExW(parent, subKey, 0, no class, REG_OPTION_NON_VOLATILE, access, attributes or none).
uint32_t CreateRegistryKey(const RegistryKeyHandle& parent, const std::wstring& subKey, uint32_t access,
                           const SecurityAttributes* attributes, RegistryKeyHandle& key,
                           uint32_t& disposition);
// RegDeleteKeyExW(parent, subKey, view, 0).
uint32_t DeleteRegistryKey(const RegistryKeyHandle& parent, const std::wstring& subKey, uint32_t view);
// RegQueryValueExW: without data only type and size are asked for; a buffer of *size bytes that is
// too small gives ERROR_MORE_DATA and the size needed.
uint32_t QueryRegistryValue(const RegistryKeyHandle& key, const std::wstring& name, uint32_t* type,
                            uint8_t* data, uint32_t* size);
// RegSetValueExW(key, name, 0, type, data, size).
uint32_t SetRegistryValue(const RegistryKeyHandle& key, const std::wstring& name, uint32_t type,
                          const uint8_t* data, uint32_t size);
// RegDeleteValueW.
uint32_t DeleteRegistryValue(const RegistryKeyHandle& key, const std::wstring& name);
// RegQueryInfoKeyW: number of sub-keys and the length of the longest sub-key name, in characters.
uint32_t QueryRegistryKeyInfo(const RegistryKeyHandle& key, uint32_t& subKeyCount, uint32_t& maxSubKeyLength);
// RegEnumKeyExW: *length is the buffer size in characters on entry and the name's length on return.
uint32_t EnumRegistryKey(const RegistryKeyHandle& key, uint32_t index, wchar_t* name, uint32_t* length);

} // namespace platform

class WinRegistryKey {
public:
    enum Root : int32_t { CurrentUser = 0, LocalMachine = 1, Users = 2, CurrentUserHive = 3 };

    WinRegistryKey();
    ~WinRegistryKey();
    WinRegistryKey(const WinRegistryKey&) = delete;
    WinRegistryKey& operator=(const WinRegistryKey&) = delete;

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
    std::vector<std::wstring> GetSubKeyNames();
    void Close();

    bool IsOpen() const { return key != nullptr; }
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
