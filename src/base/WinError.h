// Windows error numbers, which every primitive reports on both platforms.
#pragma once

#include <cstdint>

namespace ZEPMaintenance::WinError {

inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kInvalidFunction = 1;
inline constexpr uint32_t kFileNotFound = 2;
inline constexpr uint32_t kPathNotFound = 3;
inline constexpr uint32_t kTooManyOpenFiles = 4;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kInvalidHandle = 6;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kBadFormat = 11;
inline constexpr uint32_t kInvalidData = 13;
inline constexpr uint32_t kNoMoreFiles = 18;
inline constexpr uint32_t kWriteProtect = 19;
inline constexpr uint32_t kSharingViolation = 32;
inline constexpr uint32_t kHandleEof = 38;
inline constexpr uint32_t kNotSupported = 50;
inline constexpr uint32_t kFileExists = 80;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kBrokenPipe = 109;
inline constexpr uint32_t kDiskFull = 112;
inline constexpr uint32_t kInsufficientBuffer = 122;
inline constexpr uint32_t kInvalidName = 123;
inline constexpr uint32_t kDirNotEmpty = 145;
inline constexpr uint32_t kBadPathname = 161;
inline constexpr uint32_t kBusy = 170;
inline constexpr uint32_t kAlreadyExists = 183;
inline constexpr uint32_t kBadExeFormat = 193;
inline constexpr uint32_t kFilenameExcedRange = 206;
inline constexpr uint32_t kBadPipe = 230;
inline constexpr uint32_t kPipeBusy = 231;
inline constexpr uint32_t kNoData = 232;
inline constexpr uint32_t kPipeNotConnected = 233;
inline constexpr uint32_t kMoreData = 234;
inline constexpr uint32_t kWaitTimeout = 258;
inline constexpr uint32_t kNoMoreItems = 259;
inline constexpr uint32_t kDirectory = 267;
inline constexpr uint32_t kNotOwner = 288;
inline constexpr uint32_t kPipeConnected = 535;
inline constexpr uint32_t kBadDb = 1009;
inline constexpr uint32_t kRegistryCorrupt = 1015;
inline constexpr uint32_t kRegistryIoFailed = 1016;
inline constexpr uint32_t kKeyDeleted = 1018;
inline constexpr uint32_t kNoAssociation = 1155;
inline constexpr uint32_t kFileTooLarge = 223;
inline constexpr uint32_t kCancelled = 1223;
inline constexpr uint32_t kServiceRequestTimeout = 1053;
inline constexpr uint32_t kServiceAlreadyRunning = 1056;
inline constexpr uint32_t kServiceDisabled = 1058;
inline constexpr uint32_t kServiceDoesNotExist = 1060;
inline constexpr uint32_t kServiceCannotAcceptControl = 1061;
inline constexpr uint32_t kServiceNotActive = 1062;
inline constexpr uint32_t kFailedServiceControllerConnect = 1063;
inline constexpr uint32_t kProcessAborted = 1067;
inline constexpr uint32_t kServiceMarkedForDelete = 1072;
inline constexpr uint32_t kServiceExists = 1073;
inline constexpr uint32_t kInvalidOwner = 1307;
inline constexpr uint32_t kInvalidSecurityDescriptor = 1338;
inline constexpr uint32_t kPrivilegeNotHeld = 1314;
inline constexpr uint32_t kNoneMapped = 1332;
inline constexpr uint32_t kInvalidSid = 1337;
inline constexpr uint32_t kResourceDataNotFound = 1812;
inline constexpr uint32_t kResourceTypeNotFound = 1813;
inline constexpr uint32_t kCantAccessFile = 1920;

} // namespace ZEPMaintenance::WinError
