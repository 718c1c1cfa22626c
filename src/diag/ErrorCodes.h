// The program's error-code catalogue: every IMException carries one of these numbers.
#pragma once

#include <cstdint>

namespace ZEPMaintenance::ErrorCode {

inline constexpr int32_t kNoError = 0;
inline constexpr int32_t kInvalidValue = 100;
inline constexpr int32_t kKeyNotFound = 101;
inline constexpr int32_t kConversionFailed = 102;
inline constexpr int32_t kFileNotFound = 103;
inline constexpr int32_t kServiceInstallFailed = 104;
inline constexpr int32_t kServiceNotOpened = 105;
inline constexpr int32_t kServiceStartFailed = 106;
inline constexpr int32_t kServiceOpenFailed = 107;
inline constexpr int32_t kServiceUninstallFailed = 108;
inline constexpr int32_t kSystemCallFailed = 110;
inline constexpr int32_t kShellExecuteFailed = 111;
inline constexpr int32_t kProcessOpenFailed = 112;
inline constexpr int32_t kNoProcessOpened = 113;
inline constexpr int32_t kCryptoProviderFailed = 114;
inline constexpr int32_t kHashFileOpenFailed = 116;
inline constexpr int32_t kHashFailed = 117;
inline constexpr int32_t kRegistryOpenFailed = 118;
inline constexpr int32_t kRegistryDeleteKeyFailed = 119;
inline constexpr int32_t kRegistryCreateKeyFailed = 120;
inline constexpr int32_t kRegistrySetValueFailed = 121;
inline constexpr int32_t kRegistryReadStringFailed = 122;
inline constexpr int32_t kRegistryKeyExists = 123;
inline constexpr int32_t kRegistryNoKeyOpened = 124;
inline constexpr int32_t kRegistryDeleteValueFailed = 125;
inline constexpr int32_t kRegistryEnumKeysFailed = 126;
inline constexpr int32_t kPermissionsLoadFailed = 127;
inline constexpr int32_t kPermissionsSaveFailed = 128;
inline constexpr int32_t kAddAccessEntryFailed = 129;
inline constexpr int32_t kFileVersionFailed = 130;
inline constexpr int32_t kFileDeleteOrCopyFailed = 131;
inline constexpr int32_t kDirectoryDeleteFailed = 133;
inline constexpr int32_t kDirectoryCreateFailed = 134;
inline constexpr int32_t kDirectoryScanFailed = 135;
inline constexpr int32_t kDirectoryCopyFailed = 136;
inline constexpr int32_t kArgumentError = 137;
inline constexpr int32_t kKnownFolderFailed = 138;
inline constexpr int32_t kHostCloseTimeout = 139;
inline constexpr int32_t kManifestNotLoaded = 140;
inline constexpr int32_t kDeleteListNotLoaded = 141;
inline constexpr int32_t kSetupFileNotInManifest = 142;
inline constexpr int32_t kUpgradeFileNotInManifest = 143;
inline constexpr int32_t kProgramFailed = 144;
inline constexpr int32_t kPipeCreateFailed = 147;
inline constexpr int32_t kPipeThreadFailed = 148;
inline constexpr int32_t kPipeConnectFailed = 149;
inline constexpr int32_t kPipeReadFailed = 150;
inline constexpr int32_t kPipeWriteFailed = 151;
inline constexpr int32_t kPreUpgradeActionsFailed = 152;
inline constexpr int32_t kBackupPermissionsMismatch = 153;
inline constexpr int32_t kOwnerReadFailed = 154;
inline constexpr int32_t kOwnerSetFailed = 155;
inline constexpr int32_t kProcessNotFound = 156;
// The engine's own refusals, beyond the catalogue of the first release.
inline constexpr int32_t kNotEnoughSpace = 157;
inline constexpr int32_t kDowngradeRefused = 158;

} // namespace ZEPMaintenance::ErrorCode
