// Windows side of WinRegistryKey: the registry calls.
#include "system/platform/WinRegistryKeyPrimitives.h"

#include "base/win/WinHeaders.h"
#include "system/Permissions.h"
#include "system/win/LastError.h"

namespace ZEPMaintenance::platform {

struct RegistryKeyState {
    UniquePointer<HKEY, RegCloseKey> key;
};

void Destroy(RegistryKeyState* state) noexcept {
    delete state;
}

namespace {

// The registry call's result with the last error it left, read before anything else runs.
[[nodiscard]] CallResult AfterCall(LSTATUS result) {
    return WithLastError(static_cast<uint32_t>(result));
}

// The handle is taken by reference: it is read only after the call that fills it has run.
[[nodiscard]] CallResult Keep(LSTATUS status, const HKEY& opened, RegistryKeyHandle& key) {
    const CallResult result = AfterCall(status);
    if (result.Succeeded()) {
        key.Reset(new RegistryKeyState{UniquePointer<HKEY, RegCloseKey>(opened)});
    }
    return result;
}

} // namespace

CallResult OpenRegistryRoot(PredefinedKey root, uint32_t access, RegistryKeyHandle& key) {
    const HKEY predefined = root == PredefinedKey::CurrentUser    ? HKEY_CURRENT_USER
                            : root == PredefinedKey::LocalMachine ? HKEY_LOCAL_MACHINE
                                                                  : HKEY_USERS;
    HKEY opened = nullptr;
    return Keep(RegOpenKeyExW(predefined, L"", 0, access, &opened), opened, key);
}

CallResult OpenCurrentUserRoot(uint32_t access, RegistryKeyHandle& key) {
    HKEY opened = nullptr;
    return Keep(RegOpenCurrentUser(access, &opened), opened, key);
}

CallResult OpenRegistryKey(const RegistryKeyHandle& parent, const std::wstring& subKey, uint32_t access,
                           RegistryKeyHandle& key) {
    HKEY opened = nullptr;
    return Keep(RegOpenKeyExW(parent->key.Get(), subKey.c_str(), 0, access, &opened), opened, key);
}

CallResult CreateRegistryKey(const RegistryKeyHandle& parent, const std::wstring& subKey, uint32_t access,
                             const SecurityAttributes* attributes, RegistryKeyHandle& key,
                             uint32_t& disposition) {
    HKEY created = nullptr;
    DWORD result = 0;
    auto* security = attributes != nullptr ? static_cast<SECURITY_ATTRIBUTES*>(attributes->Get()) : nullptr;
    const CallResult status =
        Keep(RegCreateKeyExW(parent->key.Get(), subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                             security, &created, &result),
             created, key);
    disposition = result;
    return status;
}

CallResult DeleteRegistryKey(const RegistryKeyHandle& parent, const std::wstring& subKey, uint32_t view) {
    return AfterCall(RegDeleteKeyExW(parent->key.Get(), subKey.c_str(), view, 0));
}

CallResult QueryRegistryValue(const RegistryKeyHandle& key, const std::wstring& name, uint32_t* type,
                              uint8_t* data, uint32_t* size) {
    DWORD valueType = 0;
    DWORD byteCount = size != nullptr ? *size : 0;
    const CallResult result = AfterCall(RegQueryValueExW(key->key.Get(), name.c_str(), nullptr, &valueType,
                                                         data, size != nullptr ? &byteCount : nullptr));
    if (type != nullptr) {
        *type = valueType;
    }
    if (size != nullptr) {
        *size = byteCount;
    }
    return result;
}

CallResult SetRegistryValue(const RegistryKeyHandle& key, const std::wstring& name, uint32_t type,
                            const uint8_t* data, uint32_t size) {
    return AfterCall(RegSetValueExW(key->key.Get(), name.c_str(), 0, type, data, size));
}

CallResult DeleteRegistryValue(const RegistryKeyHandle& key, const std::wstring& name) {
    return AfterCall(RegDeleteValueW(key->key.Get(), name.c_str()));
}

CallResult QueryRegistryKeyInfo(const RegistryKeyHandle& key, uint32_t& subKeyCount,
                                uint32_t& maxSubKeyLength) {
    DWORD count = 0;
    DWORD longest = 0;
    const CallResult result =
        AfterCall(RegQueryInfoKeyW(key->key.Get(), nullptr, nullptr, nullptr, &count, &longest, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr));
    subKeyCount = count;
    maxSubKeyLength = longest;
    return result;
}

CallResult EnumRegistryKey(const RegistryKeyHandle& key, uint32_t index, wchar_t* name, uint32_t* length) {
    DWORD characters = *length;
    const CallResult result = AfterCall(
        RegEnumKeyExW(key->key.Get(), index, name, &characters, nullptr, nullptr, nullptr, nullptr));
    *length = characters;
    return result;
}

CallResult EnumRegistryValue(const RegistryKeyHandle& key, uint32_t index, wchar_t* name, uint32_t* length,
                             uint32_t& type) {
    DWORD characters = *length;
    DWORD valueType = 0;
    const CallResult result = AfterCall(
        RegEnumValueW(key->key.Get(), index, name, &characters, nullptr, &valueType, nullptr, nullptr));
    *length = characters;
    type = valueType;
    return result;
}

} // namespace ZEPMaintenance::platform
