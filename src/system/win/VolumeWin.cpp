// Windows side of the volume primitives: file information by handle, attributes, the directory search
// and the free space of a volume.
#include "system/platform/VolumePrimitives.h"

#include "base/Platform.h"
#include "base/win/WinHandle.h"
#include "base/win/WinHeaders.h"

namespace ZEPMaintenance::platform {

uint32_t IdentifyFolder(const std::wstring& fullPath, ObjectIdentity& identity) {
    const WinFile folder(CreateFileW(
        fullPath.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) {
        return GetLastError();
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(folder.Get(), &information)) {
        return GetLastError();
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ERROR_DIRECTORY;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return ERROR_CANT_ACCESS_FILE;
    }
    identity =
        ObjectIdentity{information.dwVolumeSerialNumber,
                       (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
    return ERROR_SUCCESS;
}

uint32_t CrossesLink(const std::wstring& root, const std::wstring& relativePath, bool& crosses) {
    crosses = false;
    std::wstring path = root;
    for (std::size_t start = 0; start < relativePath.size();) {
        std::size_t end = relativePath.find(L'\\', start);
        end = end == std::wstring::npos ? relativePath.size() : end;
        const std::wstring component = relativePath.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == L".") {
            continue;
        }
        if (!path.empty() && path.back() != L'\\') {
            path += L'\\';
        }
        path += component;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            crosses = true;
            return ERROR_SUCCESS;
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return ERROR_SUCCESS;
        }
    }
    return ERROR_SUCCESS;
}

uint32_t TreeApparentSize(const std::wstring& folder, uint64_t& bytes) {
    bytes = 0;
    std::wstring base = folder;
    if (!base.empty() && base.back() != L'\\') {
        base += L'\\';
    }
    WIN32_FIND_DATAW data{};
    HANDLE search = FindFirstFileW((base + L"*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    uint32_t result = ERROR_SUCCESS;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        bytes += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        const bool folderEntry = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool reparse = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (folderEntry && !reparse) {
            uint64_t below = 0;
            result = TreeApparentSize(base + name, below);
            bytes += below;
        }
    } while (result == ERROR_SUCCESS && FindNextFileW(search, &data));
    const DWORD ended = result == ERROR_SUCCESS ? GetLastError() : ERROR_SUCCESS;
    FindClose(search);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    return ended == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : ended;
}

uint32_t SetAsideFolder(const std::wstring& fullPath, std::wstring& asideName) {
    const std::string random = RandomHex(8);
    asideName = fullPath + L".aside-" + std::wstring(random.begin(), random.end());
    return MoveFileExW(fullPath.c_str(), asideName.c_str(), MOVEFILE_WRITE_THROUGH) ? ERROR_SUCCESS
                                                                                    : GetLastError();
}

uint32_t FreeBytes(const std::wstring& folder, uint64_t& bytes) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
        return GetLastError();
    }
    bytes = available.QuadPart;
    return ERROR_SUCCESS;
}

uint32_t FlushVolume(const std::wstring& folder) {
    wchar_t root[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(folder.c_str(), root, MAX_PATH)) {
        return GetLastError();
    }
    // "C:\" names the volume as "\\.\C:"; a mounted folder as its volume GUID path.
    std::wstring device = root;
    if (device.size() == 3 && device[1] == L':') {
        device = L"\\\\.\\" + device.substr(0, 2);
    } else {
        wchar_t name[MAX_PATH + 1] = {};
        if (!GetVolumeNameForVolumeMountPointW(root, name, MAX_PATH)) {
            return GetLastError();
        }
        device = name;
    }
    if (!device.empty() && device.back() == L'\\') {
        device.pop_back();
    }
    const WinFile volume(CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!volume) {
        return GetLastError();
    }
    return FlushFileBuffers(volume.Get()) ? ERROR_SUCCESS : GetLastError();
}

} // namespace ZEPMaintenance::platform
