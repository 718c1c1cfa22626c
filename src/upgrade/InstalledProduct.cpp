// The installed product's record in the settings store, and the checks the worker makes against it.
#include "upgrade/InstalledProduct.h"

#include "diag/IMException.h"
#include "system/WinRegistryKey.h"

#include <cwchar>
#include <vector>

namespace ZEPMaintenance {

namespace {

std::optional<std::wstring> ReadValue(const EngineLayout& layout, const wchar_t* name) {
    WinRegistryKey key;
    if (!key.KeyExists(WinRegistryKey::LocalMachine, layout.SettingsKey())) {
        return std::nullopt;
    }
    key.Open(WinRegistryKey::LocalMachine, layout.SettingsKey(), false);
    if (!key.ValueExists(name)) {
        return std::nullopt;
    }
    return key.GetStringValue(name);
}

void WriteValue(const EngineLayout& layout, const wchar_t* name, const std::wstring& text) {
    WinRegistryKey key;
    if (key.KeyExists(WinRegistryKey::LocalMachine, layout.SettingsKey())) {
        key.Open(WinRegistryKey::LocalMachine, layout.SettingsKey(), true);
    } else {
        key.CreateKey(WinRegistryKey::LocalMachine, layout.SettingsKey());
    }
    key.SetStringValue(name, text);
}

std::optional<std::vector<unsigned long>> VersionNumbers(const std::wstring& text) {
    std::vector<unsigned long> numbers;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(L'.', start);
        const std::wstring part =
            text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (part.empty() || part.size() > 9 || part.find_first_not_of(L"0123456789") != std::wstring::npos) {
            return std::nullopt;
        }
        numbers.push_back(std::wcstoul(part.c_str(), nullptr, 10));
        if (end == std::wstring::npos) {
            return numbers;
        }
        start = end + 1;
    }
}

std::wstring IdentityText(const platform::ObjectIdentity& identity) {
    return std::to_wstring(identity.volume) + L":" + std::to_wstring(identity.index);
}

} // namespace

std::optional<int> CompareVersions(const std::wstring& left, const std::wstring& right) {
    const auto a = VersionNumbers(left);
    const auto b = VersionNumbers(right);
    if (!a || !b) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < std::max(a->size(), b->size()); ++i) {
        const unsigned long x = i < a->size() ? (*a)[i] : 0;
        const unsigned long y = i < b->size() ? (*b)[i] : 0;
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

namespace upgrade {

void RequireInstalledProduct(const EngineLayout& layout, const Logger& logger) {
    const std::optional<std::wstring> installed = ReadValue(layout, kProductPathValue);
    if (!installed || installed->empty()) {
        logger.Error(
            L"ProcessWorkerMode: No installed product is recorded; nothing is touched. (settingsKey: "
            L"%ls, programDirectory: %ls)",
            layout.SettingsKey(), layout.ProductFolder());
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    platform::ObjectIdentity given;
    platform::ObjectIdentity recorded;
    const uint32_t givenError = platform::IdentifyFolder(layout.ProductFolder(), given);
    const uint32_t recordedError = platform::IdentifyFolder(*installed, recorded);
    if (givenError != 0 || recordedError != 0 || !(given == recorded)) {
        logger.Error(
            L"ProcessWorkerMode: The product folder is not the installed product; nothing is touched. "
            L"(programDirectory: %ls, productPath: %ls, lastError: %d)",
            layout.ProductFolder(), *installed, givenError != 0 ? givenError : recordedError);
        ThrowIMException(ErrorCode::kInvalidValue);
    }
}

void RequireNoDowngrade(const EngineLayout& layout, const std::wstring& manifestVersion,
                        const Logger& logger) {
    const std::optional<std::wstring> installed = ReadValue(layout, kInstalledVersionValue);
    if (!installed) {
        return;
    }
    const std::optional<int> order = CompareVersions(manifestVersion, *installed);
    if (order && *order >= 0) {
        return;
    }
    if (ReadValue(layout, kAllowDowngradeValue).value_or(L"") == L"1") {
        logger.Warn(
            L"DoHostUpdate: An older release is installed as the administrator allows. (version: %ls, "
            L"installedVersion: %ls)",
            manifestVersion, *installed);
        return;
    }
    logger.Error(L"DoHostUpdate: The update is not newer than the installed release; nothing is changed. "
                 L"(version: %ls, installedVersion: %ls)",
                 manifestVersion, *installed);
    ThrowIMException(ErrorCode::kDowngradeRefused);
}

void RecordInstalledVersion(const EngineLayout& layout, const std::wstring& version) {
    WriteValue(layout, kInstalledVersionValue, version);
}

void RecordBackup(const EngineLayout& layout, const platform::ObjectIdentity& identity) {
    WriteValue(layout, kBackupIdentityValue, IdentityText(identity));
}

std::optional<platform::ObjectIdentity> RecordedBackup(const EngineLayout& layout) {
    const std::optional<std::wstring> text = ReadValue(layout, kBackupIdentityValue);
    const std::size_t colon = text ? text->find(L':') : std::wstring::npos;
    if (colon == std::wstring::npos) {
        return std::nullopt;
    }
    return platform::ObjectIdentity{std::wcstoull(text->c_str(), nullptr, 10),
                                    std::wcstoull(text->c_str() + colon + 1, nullptr, 10)};
}

void ForgetBackup(const EngineLayout& layout) {
    WinRegistryKey key;
    if (!key.KeyExists(WinRegistryKey::LocalMachine, layout.SettingsKey())) {
        return;
    }
    key.Open(WinRegistryKey::LocalMachine, layout.SettingsKey(), true);
    if (key.ValueExists(kBackupIdentityValue)) {
        key.DeleteValue(kBackupIdentityValue);
    }
}

} // namespace upgrade

} // namespace ZEPMaintenance
