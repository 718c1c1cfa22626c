// Linux side of the small platform primitives: errno as last error, clock, ids, appending files.
#include "system/Platform.h"

#include "system/WinError.h"
#include "system/posix/PosixSupport.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance::platform {

const wchar_t kPathSeparator = L'/';
const char kLineEnd[] = "\n";

uint32_t GetLastErrorCode() {
    return posix::WinErrorFromErrno(errno);
}

LastErrorGuard::LastErrorGuard() : saved_(static_cast<unsigned long>(errno)) {}

LastErrorGuard::~LastErrorGuard() {
    errno = static_cast<int>(saved_);
}

LocalTime GetLocalTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return LocalTime{static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
                     static_cast<uint16_t>(local.tm_mday),        static_cast<uint16_t>(local.tm_hour),
                     static_cast<uint16_t>(local.tm_min),         static_cast<uint16_t>(local.tm_sec),
                     static_cast<uint16_t>(now.tv_nsec / 1000000)};
}

uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(getpid());
}

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(gettid());
}

bool AppendToFile(const std::string& path, std::string_view header, std::string_view text) {
    // The log folder is shared by every user: a link planted there must not redirect a run as root,
    // and a file planted by someone else is not written to.
    const posix::UniqueFd file(
        open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    struct stat info {};
    if (file.Get() < 0 || fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != geteuid()) {
        return false;
    }
    std::string bytes;
    if (info.st_size == 0) {
        bytes.assign(header);
    }
    bytes.append(text);
    return write(file.Get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

void ShareLogFolder(const std::wstring& folder) {
    // Sticky and writable by all, as /tmp: everybody creates their own files, nobody removes another's.
    if (geteuid() == 0) {
        chmod(posix::NativePath(folder).c_str(), 01777);
    }
}

void ComInitialize() {}
void ComUninitialize() {}

} // namespace ZEPMaintenance::platform
