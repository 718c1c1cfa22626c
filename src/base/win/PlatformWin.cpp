// Windows side of the small platform primitives: last error, clock, ids, appending files, COM.
#define _CRT_RAND_S
#include "base/Platform.h"

#include <cstdlib>

#include "base/win/WinHandle.h"

#include <string>
#include <utility>
#include <vector>

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

namespace {

// The SIDs a file of this process's own may be owned by: its user, or the default owner its token
// gives new objects (Administrators for an elevated administrator).
bool IsOwnedByThisProcess(HANDLE file) {
    struct TokenSids {
        std::vector<BYTE> user, owner;
    };
    static const TokenSids sids = [] {
        TokenSids read;
        HANDLE opened = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) {
            const WinHandle token(opened);
            for (auto [kind, buffer] :
                 {std::pair{TokenUser, &read.user}, std::pair{TokenOwner, &read.owner}}) {
                DWORD size = 0;
                GetTokenInformation(token.Get(), kind, nullptr, 0, &size);
                buffer->resize(size);
                if (size == 0 || !GetTokenInformation(token.Get(), kind, buffer->data(), size, &size)) {
                    buffer->clear();
                }
            }
        }
        return read;
    }();
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                         nullptr, nullptr, &descriptor);
    const LocalMemory heldDescriptor(descriptor);
    if (result != ERROR_SUCCESS) {
        return false;
    }
    return owner != nullptr &&
           ((!sids.user.empty() &&
             EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(sids.user.data())->User.Sid)) ||
            (!sids.owner.empty() &&
             EqualSid(owner, reinterpret_cast<const TOKEN_OWNER*>(sids.owner.data())->Owner)));
}

// A regular file on disk with a single name, no reparse point, of this process's own.
bool IsOwnLogFile(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
           info.nNumberOfLinks == 1 && IsOwnedByThisProcess(file);
}

// A free name beside path for an object that is set aside; renamed without replacing anything. A
// link or junction is renamed itself, never its target.
[[nodiscard]] DWORD SetAside(const std::string& path, std::string& asideName) {
    for (int attempt = 0;; ++attempt) {
        asideName = SetAsideName(path, attempt);
        if (MoveFileExA(path.c_str(), asideName.c_str(), 0)) {
            return ERROR_SUCCESS;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) || attempt == 99) {
            return error;
        }
    }
}

// Sets the object at path aside and adds the notice of it to notices.
[[nodiscard]] DWORD SetAsideWithNotice(const std::string& path, std::string& notices,
                                       const std::function<std::string(const std::string&)>& notice) {
    std::string asideName;
    const DWORD error = SetAside(path, asideName);
    if (error == ERROR_SUCCESS) {
        notices += notice(asideName);
    }
    return error;
}

// The log folder, held open without sharing delete so that it cannot be swapped for a junction
// while a file in it is opened. A reparse point under the folder's name is set aside and a real
// folder made in its place.
[[nodiscard]] DWORD OpenLogFolder(const std::string& folder, WinFile& handle, std::string& notices,
                                  const std::function<std::string(const std::string&)>& notice) {
    for (int round = 0; round < 2; ++round) {
        handle.Reset(CreateFileA(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!handle) {
            return GetLastError();
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileInformationByHandle(handle.Get(), &info)) {
            return GetLastError();
        }
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return ERROR_SUCCESS;
        }
        handle.Reset();
        const DWORD setAside = SetAsideWithNotice(folder, notices, notice);
        if (setAside != ERROR_SUCCESS) {
            return setAside;
        }
        if (!CreateDirectoryA(folder.c_str(), nullptr)) {
            return GetLastError();
        }
    }
    return ERROR_CANT_ACCESS_FILE;
}

} // namespace

uint32_t AppendToLogFile(const std::string& path, std::string_view header, std::string_view text,
                         const std::function<std::string(const std::string&)>& notice) {
    std::string notices;
    WinFile folder;
    const DWORD folderError = OpenLogFolder(path.substr(0, path.find_last_of('\\')), folder, notices, notice);
    if (folderError != ERROR_SUCCESS) {
        return folderError;
    }
    DWORD disposition = OPEN_ALWAYS;
    for (int round = 0; round < 3; ++round) {
        WinFile file(CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        const DWORD opened = file ? ERROR_SUCCESS : GetLastError();
        BY_HANDLE_FILE_INFORMATION info{};
        if (file && IsOwnLogFile(file.Get(), info)) {
            std::string bytes(info.nFileSizeHigh == 0 && info.nFileSizeLow == 0 ? header
                                                                                : std::string_view());
            bytes += notices;
            bytes.append(text);
            DWORD written = 0;
            if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
                return GetLastError();
            }
            return written == bytes.size() ? ERROR_SUCCESS : ERROR_DISK_FULL;
        }
        // Nothing under the name, yet no file: the folder is not ours to write.
        if (!file && GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            return opened;
        }
        file.Reset();
        const DWORD setAside = SetAsideWithNotice(path, notices, notice);
        if (setAside != ERROR_SUCCESS) {
            return setAside;
        }
        disposition = CREATE_NEW;
    }
    return ERROR_ACCESS_DENIED;
}

void ReportOutsideLog(const std::string& text) {
    OutputDebugStringA((text + "\n").c_str());
}

std::string ErrorText(uint32_t error) {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    const LocalMemory heldBuffer(buffer);
    std::string text = length != 0 && buffer != nullptr ? std::string(buffer, length) : std::string();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "Unknown error " + std::to_string(error) : text;
}

// A folder created in the program-data folder inherits its ACL, which lets users create files.
void ShareLogFolder(const std::wstring& /*folder*/) {}

void RandomBytes(unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        unsigned int value = 0;
        // rand_s draws from the system's cryptographic source; it fails only on a broken system.
        if (rand_s(&value) != 0) {
            std::abort();
        }
        bytes[i] = static_cast<unsigned char>(value);
    }
}

void ComInitialize() {
    CoInitialize(nullptr);
}

void ComUninitialize() {
    CoUninitialize();
}

} // namespace ZEPMaintenance::platform
