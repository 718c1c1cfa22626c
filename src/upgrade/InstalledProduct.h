// What the administrator installed and what the engine keeps of each update, in the environment's settings
// key, which only administrators write: the product folder, the release installed last, whether an older
// release may replace it, and which backup the update in progress made.
#pragma once

#include "diag/Logger.h"
#include "system/platform/VolumePrimitives.h"
#include "upgrade/EngineLayout.h"

#include <optional>
#include <string>

namespace ZEPMaintenance {

// Values of the environment's settings key.
inline constexpr const wchar_t* kProductPathValue = L"productPath";           // REG_SZ, written by install
inline constexpr const wchar_t* kInstalledVersionValue = L"installedVersion"; // REG_SZ
inline constexpr const wchar_t* kAllowDowngradeValue = L"allowDowngrade";     // REG_SZ "1" allows
inline constexpr const wchar_t* kBackupIdentityValue = L"backupIdentity";     // REG_SZ

// How two release versions compare: dotted decimal numbers, component by component, a missing component
// counting as 0 ("2.0" equals "2.0.0"). None when either is not such a number.
std::optional<int> CompareVersions(const std::wstring& left, const std::wstring& right);

namespace upgrade {

// -pp must name the product folder the administrator installed: the same folder, not the same text.
// Logs a line of its own and raises 100 otherwise, before anything is read or changed.
void RequireInstalledProduct(const EngineLayout& layout, const Logger& logger);

// A manifest older than the release installed last is refused (158) unless the administrator allows it;
// so is one whose version cannot be compared with it.
void RequireNoDowngrade(const EngineLayout& layout, const std::wstring& manifestVersion,
                        const Logger& logger);
void RecordInstalledVersion(const EngineLayout& layout, const std::wstring& version);

// The identity of the backup an update made, kept until its clean-up; a rollback restores only that one.
void RecordBackup(const EngineLayout& layout, const platform::ObjectIdentity& identity);
std::optional<platform::ObjectIdentity> RecordedBackup(const EngineLayout& layout);
void ForgetBackup(const EngineLayout& layout);

} // namespace upgrade

} // namespace ZEPMaintenance
