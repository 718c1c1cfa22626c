// Windows side of the opens below a root folder that the wrappers make in trees others can write.
#include "system/win/ConfinedOpen.h"

#include <vector>

namespace ZEPMaintenance::platform {

namespace {

// Folders on the way: listed (read data), so that their sharing without delete binds other openers.
constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

std::wstring WithoutTrailingSeparators(const std::wstring& path) {
    std::wstring result = path;
    while (result.size() > 1 && (result.back() == L'\\' || result.back() == L'/')) {
        result.pop_back();
    }
    return result;
}

[[nodiscard]] DWORD FinalPath(HANDLE handle, std::wstring& path) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(
            handle, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            return GetLastError();
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            path = WithoutTrailingSeparators(buffer);
            return ERROR_SUCCESS;
        }
        buffer.resize(length + 1);
    }
}

// The folder or object as itself; its kind checked on the handle.
[[nodiscard]] DWORD OpenAsItself(const std::wstring& path, DWORD access, DWORD share, DWORD flags,
                                 bool folder, WinFile& handle, BY_HANDLE_FILE_INFORMATION& info) {
    handle.Reset(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                             flags | FILE_FLAG_OPEN_REPARSE_POINT | (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0),
                             nullptr));
    if (!handle) {
        return GetLastError();
    }
    if (!GetFileInformationByHandle(handle.Get(), &info)) {
        return GetLastError();
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return ERROR_CANT_ACCESS_FILE;
    }
    const bool isFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (folder && !isFolder) {
        return ERROR_DIRECTORY;
    }
    if (!folder && (isFolder || GetFileType(handle.Get()) != FILE_TYPE_DISK)) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

} // namespace

DWORD OpenBelowRoot(const std::wstring& root, const std::wstring& path, DWORD access, DWORD share,
                    DWORD flags, bool folder, WinFile& handle, BY_HANDLE_FILE_INFORMATION* info) {
    const std::wstring top = WithoutTrailingSeparators(root);
    const std::wstring prefix = top + L"\\";
    BY_HANDLE_FILE_INFORMATION own{};
    BY_HANDLE_FILE_INFORMATION& result = info != nullptr ? *info : own;
    if (!top.empty() && WithoutTrailingSeparators(path) == top) {
        return OpenAsItself(top, access, share, flags, folder, handle, result);
    }
    if (top.empty() || path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) {
        return ERROR_INVALID_NAME;
    }
    const std::wstring relative = WithoutTrailingSeparators(path.substr(prefix.size()));
    std::vector<std::wstring> components;
    for (std::size_t start = 0; start <= relative.size();) {
        std::size_t end = relative.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) {
            end = relative.size();
        }
        const std::wstring component = relative.substr(start, end - start);
        if (component.empty() || component == L"." || component == L".." ||
            component.find(L':') != std::wstring::npos) {
            return ERROR_INVALID_NAME;
        }
        components.push_back(component);
        start = end + 1;
    }

    std::vector<WinFile> held;
    held.emplace_back();
    DWORD error = OpenAsItself(top, kFolderAccess, kFolderShare, 0, true, held.back(), result);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    std::wstring rootFinal;
    error = FinalPath(held.back().Get(), rootFinal);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    std::wstring current = top;
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        current += L"\\" + components[i];
        held.emplace_back();
        error = OpenAsItself(current, kFolderAccess, kFolderShare, 0, true, held.back(), result);
        if (error != ERROR_SUCCESS) {
            return error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error;
        }
    }
    WinFile object;
    error = OpenAsItself(current + L"\\" + components.back(), access, share, flags, folder, object, result);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    std::wstring objectFinal;
    error = FinalPath(object.Get(), objectFinal);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    std::wstring expected = rootFinal;
    for (const std::wstring& component : components) {
        expected += L"\\" + component;
    }
    if (CompareStringOrdinal(objectFinal.c_str(), static_cast<int>(objectFinal.size()), expected.c_str(),
                             static_cast<int>(expected.size()), TRUE) != CSTR_EQUAL) {
        return ERROR_CANT_ACCESS_FILE;
    }
    handle = std::move(object);
    return ERROR_SUCCESS;
}

} // namespace ZEPMaintenance::platform
