// Linux side of Directory: folder creation and test, known folders below the machine root.
#include "system/Directory.h"

#include "system/WinError.h"
#include "system/posix/PosixSupport.h"

#include <cerrno>
#include <sys/stat.h>

namespace ZEPMaintenance::platform {

uint32_t MakeDirectory(const std::wstring& fullPath) {
    if (mkdir(posix::NativePath(fullPath).c_str(), 0755) != 0) {
        return posix::WinErrorFromErrno(errno);
    }
    return WinError::kSuccess;
}

bool IsDirectory(const std::wstring& fullPath) {
    struct stat info {};
    return stat(posix::NativePath(fullPath).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int32_t GetKnownFolderPath(KnownFolder id, std::wstring& path) {
    const std::string folder =
        posix::UnderMachineRoot(id == KnownFolder::ProgramData ? "var/lib" : "usr/lib/zepmaintenance/system");
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), as for a known folder that does not exist.
        return static_cast<int32_t>(0x80070000u | WinError::kFileNotFound);
    }
    path = posix::WidePath(folder);
    return 0;
}

} // namespace ZEPMaintenance::platform
