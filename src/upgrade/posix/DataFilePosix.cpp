// Linux side of ReadDataFile: opened without following a link or blocking, read to its end.
#include "upgrade/DataFilePrimitives.h"

#include "base/WinError.h"
#include "system/posix/PosixSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance::platform {

namespace {}

uint32_t ReadDataFile(const std::wstring& path, std::size_t limit, std::string& bytes) {
    bytes.clear();
    posix::UniqueFd file;
    struct stat status {};
    const uint32_t error =
        posix::OpenObject(posix::NativePath(path), O_RDONLY, posix::ObjectKind::File, file, &status);
    if (error != WinError::kSuccess) {
        return error;
    }
    if (static_cast<uint64_t>(status.st_size) > limit) {
        return WinError::kFileTooLarge;
    }
    // The size is only a hint: the writer may still be at it, so the read goes on to the end, bounded.
    std::string content(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == content.size()) {
            if (content.size() > limit) {
                return WinError::kFileTooLarge;
            }
            content.resize(content.size() * 2);
        }
        const ssize_t count = posix::RetryAfterSignal(ssize_t{-1}, ::read, file.Get(), content.data() + used,
                                                      content.size() - used);
        if (count < 0) {
            return posix::LastWinError();
        }
        if (count == 0) {
            break;
        }
        used += static_cast<std::size_t>(count);
    }
    if (used > limit) {
        return WinError::kFileTooLarge;
    }
    content.resize(used);
    bytes = std::move(content);
    return WinError::kSuccess;
}

} // namespace ZEPMaintenance::platform
