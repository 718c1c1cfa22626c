// Windows side of Directory: folder creation and test, known folders.
#include "system/Directory.h"

#include "system/win/WinHeaders.h"

#include <knownfolders.h>

namespace ZEPMaintenance::platform {

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
    if (SUCCEEDED(hr)) {
        path = text;
    }
    CoTaskMemFree(text);
    return static_cast<int32_t>(hr);
}

} // namespace ZEPMaintenance::platform
