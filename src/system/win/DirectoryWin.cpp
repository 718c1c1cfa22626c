// Windows side of Directory: folder creation and test, known folders, shell delete and searches.
#include "system/platform/DirectoryPrimitives.h"

#include "base/win/WinHandle.h"
#include "base/win/WinHeaders.h"
#include "system/win/ConfinedOpen.h"

#include <knownfolders.h>
#include <memory>
#include <vector>

namespace ZEPMaintenance::platform {

namespace {

HANDLE Native(DirectorySearch search) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(search));
}
} // namespace

uint32_t MakeDirectory(const std::wstring& fullPath) {
    return CreateDirectoryW(fullPath.c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
}

bool IsDirectory(const std::wstring& fullPath) {
    const DWORD attributes = GetFileAttributesW(fullPath.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int32_t GetKnownFolderPath(KnownFolder id, std::wstring& path) {
    PWSTR text = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(
        id == KnownFolder::ProgramData ? FOLDERID_ProgramData : FOLDERID_System, 0, nullptr, &text);
    // The path is the caller's to free, even when the call fails.
    const UniquePointer<void*, CoTaskMemFree> heldText(text);
    if (SUCCEEDED(hr)) {
        path = text;
    }
    return static_cast<int32_t>(hr);
}

int32_t DeleteFolderTree(const std::wstring& folder, bool permanently) {
    // The shell takes a list of names, each ended by a NUL, the list ended by one more.
    std::wstring from = folder;
    from.push_back(L'\0');
    from.push_back(L'\0');
    SHFILEOPSTRUCTW operation{};
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.pTo = nullptr;
    operation.fFlags =
        static_cast<FILEOP_FLAGS>(FOF_SILENT | FOF_NOCONFIRMATION | (permanently ? 0 : FOF_ALLOWUNDO));
    return SHFileOperationW(&operation);
}

void Destroy(DirectorySearch search) noexcept {
    FindClose(Native(search));
}

namespace {
void Fill(const WIN32_FIND_DATAW& data, FindEntry& entry) {
    entry.name = data.cFileName;
    entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
} // namespace

uint32_t FindFirstEntry(const std::wstring& pattern, FindHandle& search, FindEntry& entry) {
    WIN32_FIND_DATAW data{};
    const HANDLE handle = FindFirstFileW(pattern.c_str(), &data);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    search.Reset(static_cast<DirectorySearch>(reinterpret_cast<intptr_t>(handle)));
    Fill(data, entry);
    return ERROR_SUCCESS;
}

uint32_t FindNextEntry(FindHandle& search, FindEntry& entry) {
    WIN32_FIND_DATAW data{};
    if (!FindNextFileW(Native(search.Get()), &data)) {
        return GetLastError();
    }
    Fill(data, entry);
    return ERROR_SUCCESS;
}

void Destroy(HeldFolder folder) noexcept {
    CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(folder)));
}

// Without FILE_SHARE_DELETE nobody can rename or delete the folder while it is held, so its path goes on
// naming the folder that was opened and checked.
uint32_t HoldFolder(const std::wstring& fullPath, HeldFolderHandle& folder, std::wstring& heldPath) {
    // A name with a trailing backslash that is a file fails as an invalid name; without it, as what it is.
    std::wstring name = fullPath;
    if (name.size() > 3 && name.back() == L'\\') {
        name.pop_back();
    }
    WinFile opened(CreateFileW(name.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!opened) {
        return GetLastError();
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(opened.Get(), &info)) {
        return GetLastError();
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return ERROR_CANT_ACCESS_FILE;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ERROR_DIRECTORY;
    }
    heldPath = fullPath;
    if (heldPath.empty() || heldPath.back() != L'\\') {
        heldPath.push_back(L'\\');
    }
    folder.Reset(static_cast<HeldFolder>(reinterpret_cast<intptr_t>(opened.Release())));
    return ERROR_SUCCESS;
}

struct ConfinedSearchState {
    WinFile folder;
    // FILE_ID_BOTH_DIR_INFO records are 8-byte aligned.
    std::vector<LONGLONG> buffer = std::vector<LONGLONG>(8192);
    std::size_t offset = 0;
    bool pending = false;
    bool restart = true;
};

void Destroy(ConfinedSearchState* state) noexcept {
    delete state;
}

namespace {

// The next record of the listing through the folder's own handle, fetched a buffer at a time.
[[nodiscard]] uint32_t NextRecord(ConfinedSearchState& state, FindEntry& entry) {
    if (!state.pending) {
        const DWORD size = static_cast<DWORD>(state.buffer.size() * sizeof(LONGLONG));
        if (!GetFileInformationByHandleEx(
                state.folder.Get(), state.restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo,
                state.buffer.data(), size)) {
            return GetLastError();
        }
        state.restart = false;
        state.pending = true;
        state.offset = 0;
    }
    const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(
        reinterpret_cast<const char*>(state.buffer.data()) + state.offset);
    entry.name.assign(record->FileName, record->FileNameLength / sizeof(WCHAR));
    entry.isDirectory = (record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.isLink = (record->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry.isSpecial = false;
    if (record->NextEntryOffset == 0) {
        state.pending = false;
    } else {
        state.offset += record->NextEntryOffset;
    }
    return ERROR_SUCCESS;
}

} // namespace

uint32_t FindFirstEntryBelow(const std::wstring& root, const std::wstring& folder, ConfinedSearch& search,
                             FindEntry& entry) {
    auto state = std::make_unique<ConfinedSearchState>();
    const DWORD error = OpenBelowRoot(root, folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, 0, true, state->folder);
    if (error != ERROR_SUCCESS) {
        return error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error;
    }
    search.Reset(state.release());
    const uint32_t first = NextRecord(*search.Get(), entry);
    return first == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : first;
}

uint32_t FindNextEntryBelow(ConfinedSearch& search, FindEntry& entry) {
    return NextRecord(*search.Get(), entry);
}

} // namespace ZEPMaintenance::platform
