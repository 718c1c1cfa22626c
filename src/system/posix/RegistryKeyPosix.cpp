// Linux side of WinRegistryKey: the registry calls over the settings store.
#include "system/platform/WinRegistryKeyPrimitives.h"

#include "base/Utf16.h"
#include "base/WinError.h"
#include "system/Permissions.h"
#include "system/posix/RegistryStore.h"
#include "system/posix/UserSid.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace ZEPMaintenance::platform {

struct RegistryKeyState {
    std::shared_ptr<posix::RegistryStore> store;
    int64_t id = 0;
    uint32_t access = 0;
};

void Destroy(RegistryKeyState* state) noexcept {
    delete state;
}

namespace {

bool Allows(const RegistryKeyHandle& key, uint32_t rights) {
    return (key->access & rights) == rights;
}

// Rights beyond reading are root's alone, checked when the key is opened as the registry does.
[[nodiscard]] uint32_t CheckAccess(const posix::RegistryStore& store, uint32_t access) {
    return (access & kKeyWriteRights) != 0 && !store.Writable() ? WinError::kAccessDenied
                                                                : WinError::kSuccess;
}

[[nodiscard]] uint32_t MakeHandle(std::shared_ptr<posix::RegistryStore> store, int64_t id, uint32_t access,
                                  RegistryKeyHandle& key) {
    key.Reset(new RegistryKeyState{std::move(store), id, access});
    return WinError::kSuccess;
}

} // namespace

CallResult OpenRegistryRoot(PredefinedKey root, uint32_t access, RegistryKeyHandle& key) {
    uint32_t result = WinError::kSuccess;
    std::shared_ptr<posix::RegistryStore> store = posix::RegistryStore::ForMachineRoot(result);
    if (result != WinError::kSuccess) {
        return result;
    }
    result = CheckAccess(*store, access);
    if (result != WinError::kSuccess) {
        return result;
    }
    int64_t id = 0;
    switch (root) {
    case PredefinedKey::LocalMachine:
        result = store->HiveKey(posix::RegistryStore::Hive::LocalMachine, id);
        break;
    case PredefinedKey::Users:
        result = store->HiveKey(posix::RegistryStore::Hive::Users, id);
        break;
    case PredefinedKey::CurrentUser:
        result = store->UserHiveKey(posix::SidOfUser(getuid(), posix::OwnerOf::Process).Sid(), id, true);
        break;
    }
    return result != WinError::kSuccess ? result : MakeHandle(std::move(store), id, access, key);
}

CallResult OpenCurrentUserRoot(uint32_t access, RegistryKeyHandle& key) {
    return OpenRegistryRoot(PredefinedKey::CurrentUser, access, key);
}

CallResult OpenRegistryKey(const RegistryKeyHandle& parent, const std::wstring& subKey, uint32_t access,
                           RegistryKeyHandle& key) {
    if (!parent) {
        return WinError::kInvalidHandle;
    }
    if (const uint32_t error = CheckAccess(*parent->store, access); error != WinError::kSuccess) {
        return error;
    }
    int64_t id = 0;
    if (const uint32_t error = parent->store->OpenKey(parent->id, subKey, id); error != WinError::kSuccess) {
        return error;
    }
    return MakeHandle(parent->store, id, access, key);
}

CallResult CreateRegistryKey(const RegistryKeyHandle& parent, const std::wstring& subKey, uint32_t access,
                             const SecurityAttributes* attributes, RegistryKeyHandle& key,
                             uint32_t& disposition) {
    if (!parent) {
        return WinError::kInvalidHandle;
    }
    if (!Allows(parent, kKeyCreateSubKey)) {
        return WinError::kAccessDenied;
    }
    int64_t id = 0;
    bool created = false;
    // The store keeps a new key's DACL in its binary ACL form.
    std::vector<uint8_t> acl;
    if (attributes != nullptr) {
        acl = attributes->GetDacl().ToAclBytes();
    }
    const uint32_t result =
        parent->store->CreateKey(parent->id, subKey, attributes != nullptr ? &acl : nullptr, id, created);
    if (result != WinError::kSuccess) {
        return result;
    }
    disposition = created ? kCreatedNewKey : kOpenedExistingKey;
    return MakeHandle(parent->store, id, access, key);
}

CallResult DeleteRegistryKey(const RegistryKeyHandle& parent, const std::wstring& subKey, uint32_t /*view*/) {
    if (!parent) {
        return WinError::kInvalidHandle;
    }
    return parent->store->DeleteKey(parent->id, subKey);
}

CallResult QueryRegistryValue(const RegistryKeyHandle& key, const std::wstring& name, uint32_t* type,
                              uint8_t* data, uint32_t* size) {
    if (!key) {
        return WinError::kInvalidHandle;
    }
    if (!Allows(key, kKeyQueryValue)) {
        return WinError::kAccessDenied;
    }
    if (data != nullptr && size == nullptr) {
        return WinError::kInvalidParameter;
    }
    posix::RegistryValue value;
    const uint32_t result = key->store->QueryValue(key->id, name, value);
    if (result != WinError::kSuccess) {
        return result;
    }
    if (type != nullptr) {
        *type = value.type;
    }
    const auto needed = static_cast<uint32_t>(value.data.size());
    if (data != nullptr) {
        if (*size < needed) {
            *size = needed;
            return WinError::kMoreData;
        }
        std::copy(value.data.begin(), value.data.end(), data);
    }
    if (size != nullptr) {
        *size = needed;
    }
    return WinError::kSuccess;
}

CallResult SetRegistryValue(const RegistryKeyHandle& key, const std::wstring& name, uint32_t type,
                            const uint8_t* data, uint32_t size) {
    if (!key) {
        return WinError::kInvalidHandle;
    }
    if (!Allows(key, kKeySetValue)) {
        return WinError::kAccessDenied;
    }
    return key->store->SetValue(key->id, name, type, data, size);
}

CallResult DeleteRegistryValue(const RegistryKeyHandle& key, const std::wstring& name) {
    if (!key) {
        return WinError::kInvalidHandle;
    }
    if (!Allows(key, kKeySetValue)) {
        return WinError::kAccessDenied;
    }
    return key->store->DeleteValue(key->id, name);
}

CallResult QueryRegistryKeyInfo(const RegistryKeyHandle& key, uint32_t& subKeyCount,
                                uint32_t& maxSubKeyLength) {
    if (!key) {
        return WinError::kInvalidHandle;
    }
    if (!Allows(key, kKeyQueryValue)) {
        return WinError::kAccessDenied;
    }
    return key->store->SubKeyCount(key->id, subKeyCount, maxSubKeyLength);
}

CallResult EnumRegistryKey(const RegistryKeyHandle& key, uint32_t index, wchar_t* name, uint32_t* length) {
    if (!key) {
        return WinError::kInvalidHandle;
    }
    if (!Allows(key, kKeyEnumerateSubKeys)) {
        return WinError::kAccessDenied;
    }
    std::wstring text;
    const uint32_t result = key->store->SubKeyAt(key->id, index, text);
    if (result != WinError::kSuccess) {
        return result;
    }
    // The buffer's length is counted as the registry counts it, in UTF-16 units.
    if (Utf16Length(text) + 1 > *length) {
        return WinError::kMoreData;
    }
    std::memcpy(name, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    *length = static_cast<uint32_t>(text.size());
    return WinError::kSuccess;
}

CallResult EnumRegistryValue(const RegistryKeyHandle& key, uint32_t index, wchar_t* name, uint32_t* length,
                             uint32_t& type) {
    if (!key) {
        return WinError::kInvalidHandle;
    }
    if (!Allows(key, kKeyQueryValue)) {
        return WinError::kAccessDenied;
    }
    std::vector<posix::RegistryValue> values;
    const uint32_t result = key->store->ListValues(key->id, values);
    if (result != WinError::kSuccess) {
        return result;
    }
    if (index >= values.size()) {
        return WinError::kNoMoreItems;
    }
    const std::wstring& text = values[index].name;
    if (Utf16Length(text) + 1 > *length) {
        return WinError::kMoreData;
    }
    std::memcpy(name, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    *length = static_cast<uint32_t>(text.size());
    type = values[index].type;
    return WinError::kSuccess;
}

} // namespace ZEPMaintenance::platform
