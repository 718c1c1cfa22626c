// Windows side of the small platform primitives: last error, clock, ids, appending files, COM.
#include "system/Platform.h"

#include "system/win/WinHeaders.h"

#include <objbase.h>

namespace ZEPMaintenance::platform {

const wchar_t kPathSeparator = L'\\';
const char kLineEnd[] = "\r\n";

uint32_t GetLastErrorCode() {
    return GetLastError();
}

LastErrorGuard::LastErrorGuard() : saved_(GetLastError()) {}

LastErrorGuard::~LastErrorGuard() {
    SetLastError(saved_);
}

LocalTime GetLocalTimeNow() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

uint32_t CurrentProcessId() {
    return GetCurrentProcessId();
}

uint32_t CurrentThreadId() {
    return GetCurrentThreadId();
}

bool AppendToFile(const std::string& path, std::string_view header, std::string_view text) {
    const HANDLE file =
        CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::string bytes;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart == 0) {
        bytes.assign(header);
    }
    bytes.append(text);
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    CloseHandle(file);
    return ok;
}

// A folder created in the program-data folder inherits its ACL, which lets users create files.
void ShareLogFolder(const std::wstring& /*folder*/) {}

void ComInitialize() {
    CoInitialize(nullptr);
}

void ComUninitialize() {
    CoUninitialize();
}

} // namespace ZEPMaintenance::platform
