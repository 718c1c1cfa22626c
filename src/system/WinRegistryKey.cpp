// WinRegistryKey: the checks, log lines and codes of every registry operation.
#include "system/WinRegistryKey.h"

#include "base/Utf16.h"
#include "base/WinError.h"
#include "diag/IMException.h"
#include "system/Permissions.h"
#include "system/platform/WinRegistryKeyPrimitives.h"

namespace ZEPMaintenance {

platform::RegistryKeyHandle WinRegistryKey::GetRootKey(int32_t rootKey, uint32_t access) {
    platform::RegistryKeyHandle handle;
    if (rootKey < CurrentUser || rootKey > CurrentUserHive) {
        logger.Error(L"GetRootKey: bad root param. (root: %d)", rootKey);
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    if (rootKey == CurrentUserHive) {
        const platform::CallResult result = platform::OpenCurrentUserRoot(access, handle);
        if (!result.Succeeded()) {
            logger.Error(L"GetRootKey: RegOpenCurrent failed. (returnedError: %d, lastError: %d)",
                         result.returned, result.lastError);
            ThrowIMException(ErrorCode::kRegistryOpenFailed);
        }
        return handle;
    }
    static constexpr platform::PredefinedKey kPredefined[] = {platform::PredefinedKey::CurrentUser,
                                                              platform::PredefinedKey::LocalMachine,
                                                              platform::PredefinedKey::Users};
    const platform::CallResult result = platform::OpenRegistryRoot(kPredefined[rootKey], access, handle);
    if (!result.Succeeded()) {
        logger.Error(L"GetRootKey: RegOpenKeyEx failed. (returnedError: %d, lastError: %d)", result.returned,
                     result.lastError);
        ThrowIMException(ErrorCode::kRegistryOpenFailed);
    }
    return handle;
}

void WinRegistryKey::OpenBelow(int32_t rootKey, int32_t recordedRoot, const std::wstring& subKey,
                               uint32_t access) {
    Close();
    const platform::RegistryKeyHandle rootHandle = GetRootKey(rootKey, access);
    const platform::CallResult result = platform::OpenRegistryKey(rootHandle, subKey, access, key);
    if (!result.Succeeded()) {
        key.Reset();
        lastError = static_cast<int32_t>(result.returned);
        logger.Error(L"Open: RegOpenKeyEx failed. (returnedError: %d, lastError: %d)", result.returned,
                     result.lastError);
        ThrowIMException(ErrorCode::kRegistryOpenFailed);
    }
    root = recordedRoot;
    lastError = 0;
    subKeyPath = subKey;
    logger.Debug(L"Open: Registry key opened. (root: %d, subkey: %ls, access: %u)", rootKey, subKey, access);
}

void WinRegistryKey::CreateBelow(int32_t rootKey, int32_t recordedRoot, const std::wstring& subKey,
                                 const Permissions* permissions) {
    Close();
    uint32_t disposition = 0;
    platform::CallResult result = WinError::kSuccess;
    const std::unique_ptr<SecurityAttributes> attributes =
        permissions != nullptr ? permissions->GetSecurityAttributes() : nullptr;
    {
        // The root handle is released right after the call.
        const platform::RegistryKeyHandle rootHandle = GetRootKey(rootKey, platform::kKeyCreate);
        result = platform::CreateRegistryKey(rootHandle, subKey, platform::kKeyCreate, attributes.get(), key,
                                             disposition);
    }
    if (!result.Succeeded()) {
        key.Reset();
        lastError = static_cast<int32_t>(result.returned);
        logger.Error(
            L"CreateKey: RegCreateKeyEx failed. (root: %d, subkey: %ls, returnedError: %d, lastError: %d)",
            recordedRoot, subKey, result.returned, result.lastError);
        ThrowIMException(ErrorCode::kRegistryCreateKeyFailed);
    }
    if (disposition != platform::kCreatedNewKey) {
        logger.Error(L"CreateKey: Registry key already exists. (root: %d, subkey: %ls, returnedError: %d, "
                     L"lastError: %d)",
                     recordedRoot, subKey, result.returned, result.lastError);
        ThrowIMException(ErrorCode::kRegistryKeyExists);
    }
    root = recordedRoot;
    lastError = 0;
    subKeyPath = subKey;
    logger.Debug(L"CreateKey: Registry key created. (root: %d, subkey: %ls)", recordedRoot, subKey);
}

void WinRegistryKey::DeleteBelow(int32_t rootKey, const std::wstring& subKey) {
    const platform::RegistryKeyHandle rootHandle = GetRootKey(rootKey, platform::kKeyReadWrite);
    const platform::CallResult result =
        platform::DeleteRegistryKey(rootHandle, subKey, platform::kKeyReadWrite);
    if (!result.Succeeded()) {
        logger.Error(L"DeleteKey: RegDeleteKeyEx failed. (returnedError: %d, lastError: %d)", result.returned,
                     result.lastError);
        ThrowIMException(ErrorCode::kRegistryDeleteKeyFailed);
    }
    logger.Debug(L"DeleteKey: Registry key deleted. (root: %d, subkey: %ls)", rootKey, subKey);
}

bool WinRegistryKey::ExistsBelow(int32_t rootKey, const std::wstring& subKey) {
    Close();
    const platform::RegistryKeyHandle rootHandle = GetRootKey(rootKey, platform::kKeyRead);
    platform::RegistryKeyHandle probe;
    const platform::CallResult result =
        platform::OpenRegistryKey(rootHandle, subKey, platform::kKeyRead, probe);
    logger.Debug(L"KeyExists: Registry key checked. (root: %d, subkey: %ls, returnedError: %d)", rootKey,
                 subKey, result.returned);
    return result.Succeeded();
}

void WinRegistryKey::Open(int32_t rootKey, const std::wstring& subKey, bool write) {
    OpenBelow(rootKey, LocalMachine, subKey, write ? platform::kKeyReadWrite : platform::kKeyRead);
}

void WinRegistryKey::CreateKey(int32_t rootKey, const std::wstring& subKey) {
    CreateBelow(rootKey, LocalMachine, subKey, nullptr);
}

void WinRegistryKey::DeleteKey(int32_t rootKey, const std::wstring& subKey) {
    DeleteBelow(rootKey, subKey);
}

bool WinRegistryKey::KeyExists(int32_t rootKey, const std::wstring& subKey) {
    return ExistsBelow(rootKey, subKey);
}

void WinRegistryKey::Open(const CSid& userSid, const std::wstring& subKey) {
    OpenBelow(Users, Users, userSid.Sid() + L"\\" + subKey, platform::kKeyReadWrite);
}

void WinRegistryKey::CreateKey(const CSid& userSid, const std::wstring& subKey,
                               const Permissions* permissions) {
    CreateBelow(Users, Users, userSid.Sid() + L"\\" + subKey, permissions);
}

void WinRegistryKey::DeleteKey(const CSid& userSid, const std::wstring& subKey) {
    DeleteBelow(Users, userSid.Sid() + L"\\" + subKey);
}

bool WinRegistryKey::KeyExists(const CSid& userSid, const std::wstring& subKey) {
    return ExistsBelow(Users, userSid.Sid() + L"\\" + subKey);
}

std::wstring WinRegistryKey::GetStringValue(const std::wstring& valueName) {
    if (!key) {
        logger.ErrorText(L"GetStringValue: No registry key opened.");
        ThrowIMException(ErrorCode::kRegistryNoKeyOpened);
    }
    uint32_t type = 0;
    uint32_t size = 0;
    platform::CallResult result = platform::QueryRegistryValue(key, valueName, &type, nullptr, &size);
    if (!result.Succeeded()) {
        if (result.returned == WinError::kFileNotFound) {
            logger.Error(
                L"GetStringValue: RegQueryValueEx (first call) failed. ValueName not found. (valueName: "
                L"%ls, returnedError: %d, lastError: %d)",
                valueName, result.returned, result.lastError);
        } else if (type == platform::kRegSz) {
            logger.Error(
                L"GetStringValue: RegQueryValueEx (first call) failed. (valueName: %ls, returnedError: "
                L"%d, lastError: %d)",
                valueName, result.returned, result.lastError);
        } else {
            logger.Error(L"GetStringValue: RegQueryValueEx (first call) failed. ValueType is not string. "
                         L"(valueName: %ls, valueType: %d, returnedError: %d, lastError: %d)",
                         valueName, type, result.returned, result.lastError);
        }
        ThrowIMException(ErrorCode::kRegistryReadStringFailed);
    }
    // Two spare bytes stay zero, so a value stored without its terminating NUL still ends.
    std::vector<uint8_t> buffer(static_cast<std::size_t>(size) + 2, 0);
    result = platform::QueryRegistryValue(key, valueName, &type, buffer.data(), &size);
    if (!result.Succeeded()) {
        logger.Error(
            L"GetStringValue: RegQueryValueEx (second call) failed. (valueName: %ls, returnedError: %d, "
            L"lastError: %d)",
            valueName, result.returned, result.lastError);
        ThrowIMException(ErrorCode::kRegistryReadStringFailed);
    }
    const std::size_t units = (buffer.size() - 1) / 2;
    std::wstring text = WideFromUtf16Le(buffer.data(), units);
    text.resize(std::wstring(text.c_str()).size());
    logger.Debug(L"GetStringValue: Value read. (valueName: %ls, value: %ls)", valueName, text);
    return text;
}

void WinRegistryKey::SetValue(const std::wstring& valueName, uint32_t type, const void* data,
                              uint32_t byteCount) {
    if (!key) {
        logger.ErrorText(L"SetValue: No registry key opened.");
        ThrowIMException(ErrorCode::kRegistryNoKeyOpened);
    }
    const platform::CallResult result =
        platform::SetRegistryValue(key, valueName, type, static_cast<const uint8_t*>(data), byteCount);
    if (!result.Succeeded()) {
        logger.Error(L"SetValue: RegSetValueEx failed. (valueName: %ls, valueType: %d, returnedError: %d, "
                     L"lastError: %d)",
                     valueName, type, result.returned, result.lastError);
        ThrowIMException(ErrorCode::kRegistrySetValueFailed);
    }
    logger.Debug(L"SetValue: Value set. (valueName: %ls, valueType: %d, size: %u)", valueName, type,
                 byteCount);
}

void WinRegistryKey::SetStringValue(const std::wstring& valueName, const std::wstring& text) {
    // REG_SZ bytes are UTF-16LE with the terminating NUL included.
    const std::vector<uint8_t> bytes = Utf16LeFromWide(text, true);
    SetValue(valueName, platform::kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void WinRegistryKey::DeleteValue(const std::wstring& valueName) {
    if (!key) {
        logger.ErrorText(L"DeleteValue: No registry key opened.");
        ThrowIMException(ErrorCode::kRegistryDeleteValueFailed);
    }
    const platform::CallResult result = platform::DeleteRegistryValue(key, valueName);
    if (!result.Succeeded()) {
        logger.Error(
            L"DeleteValue: RegDeleteValueW failed. (valueName: %ls, returnedError: %d, lastError: %d)",
            valueName, result.returned, result.lastError);
        ThrowIMException(ErrorCode::kRegistryDeleteValueFailed);
    }
    logger.Debug(L"DeleteValue: Value deleted. (valueName: %ls)", valueName);
}

bool WinRegistryKey::ValueExists(const std::wstring& valueName) {
    if (!key) {
        logger.ErrorText(L"ValueExists: No registry key opened.");
        ThrowIMException(ErrorCode::kRegistryNoKeyOpened);
    }
    uint32_t type = 0;
    uint32_t size = 0;
    const platform::CallResult result = platform::QueryRegistryValue(key, valueName, &type, nullptr, &size);
    const bool exists = result.returned != WinError::kFileNotFound;
    logger.Debug(L"ValueExists: Value checked. (valueName: %ls, returnedError: %d, exists: %ls)", valueName,
                 result.returned, exists ? L"true" : L"false");
    return exists;
}

std::vector<std::wstring> WinRegistryKey::GetSubKeyNames() {
    if (!key) {
        logger.ErrorText(L"GetSubKeyNames: No registry key opened.");
        ThrowIMException(ErrorCode::kRegistryNoKeyOpened);
    }
    uint32_t count = 0;
    uint32_t longest = 0;
    platform::CallResult result = platform::QueryRegistryKeyInfo(key, count, longest);
    if (!result.Succeeded()) {
        logger.Error(L"GetSubKeyNames: RegQueryInfoKey failed. (returnedError: %d, lastError: %d)",
                     result.returned, result.lastError);
        ThrowIMException(ErrorCode::kRegistryEnumKeysFailed);
    }
    std::vector<std::wstring> names;
    std::vector<wchar_t> buffer(static_cast<std::size_t>(longest) + 1);
    for (uint32_t index = 0; index < count; ++index) {
        uint32_t length = longest + 1;
        result = platform::EnumRegistryKey(key, index, buffer.data(), &length);
        if (!result.Succeeded()) {
            logger.Error(L"GetSubKeyNames: RegEnumKeyEx failed. (returnedError: %d, lastError: %d)",
                         result.returned, result.lastError);
            ThrowIMException(ErrorCode::kRegistryEnumKeysFailed);
        }
        names.emplace_back(buffer.data(), length);
    }
    logger.Debug(L"GetSubKeyNames: Sub-keys listed. (subkey: %ls, count: %u)", subKeyPath, count);
    return names;
}

std::vector<RegistryValueInfo> WinRegistryKey::GetValues() {
    if (!key) {
        logger.ErrorText(L"GetValues: No registry key opened.");
        ThrowIMException(ErrorCode::kRegistryNoKeyOpened);
    }
    // Value names are at most 16383 characters long.
    std::vector<wchar_t> buffer(16384);
    std::vector<RegistryValueInfo> values;
    for (uint32_t index = 0;; ++index) {
        uint32_t length = static_cast<uint32_t>(buffer.size());
        uint32_t type = 0;
        const platform::CallResult result =
            platform::EnumRegistryValue(key, index, buffer.data(), &length, type);
        if (result.returned == WinError::kNoMoreItems) {
            break;
        }
        if (!result.Succeeded()) {
            logger.Error(L"GetValues: RegEnumValue failed. (returnedError: %d, lastError: %d)",
                         result.returned, result.lastError);
            ThrowIMException(ErrorCode::kRegistryEnumKeysFailed);
        }
        values.push_back({std::wstring(buffer.data(), length), type});
    }
    logger.Debug(L"GetValues: Values listed. (subkey: %ls, count: %u)", subKeyPath,
                 static_cast<uint32_t>(values.size()));
    return values;
}

void WinRegistryKey::Close() {
    key.Reset();
}

} // namespace ZEPMaintenance
