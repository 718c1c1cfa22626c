// Windows side of ReadDataFile: CreateFileW without following a reparse point, read to its end.
#include "upgrade/DataFilePrimitives.h"

#include "base/win/WinHandle.h"
#include "base/win/WinHeaders.h"

namespace ZEPMaintenance::platform {

uint32_t ReadDataFile(const std::wstring& path, std::size_t limit, std::string& bytes) {
    bytes.clear();
    // CreateFileW fails with INVALID_HANDLE_VALUE, not a null handle: the owner must know it as invalid.
    const WinFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        return GetLastError();
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file.Get(), &information)) {
        return GetLastError();
    }
    // A link or junction in the data folder is another user's, and nothing to read through.
    if ((information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        GetFileType(file.Get()) != FILE_TYPE_DISK) {
        return ERROR_ACCESS_DENIED;
    }
    const uint64_t size = (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    if (size > limit) {
        return ERROR_FILE_TOO_LARGE;
    }
    std::string content(static_cast<std::size_t>(size) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == content.size()) {
            if (content.size() > limit) {
                return ERROR_FILE_TOO_LARGE;
            }
            content.resize(content.size() * 2);
        }
        DWORD read = 0;
        if (!ReadFile(file.Get(), content.data() + used, static_cast<DWORD>(content.size() - used), &read,
                      nullptr)) {
            return GetLastError();
        }
        if (read == 0) {
            break;
        }
        used += read;
    }
    if (used > limit) {
        return ERROR_FILE_TOO_LARGE;
    }
    content.resize(used);
    bytes = std::move(content);
    return ERROR_SUCCESS;
}

} // namespace ZEPMaintenance::platform
