// Small operating-system primitives shared by every module: last error, clock, ids, files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ZEPMaintenance::platform {

// The thread's last system error as a Windows error number (errno mapped on Linux).
uint32_t GetLastErrorCode();

// Keeps the thread's last error (GetLastError, errno) as it was across its scope.
class LastErrorGuard {
public:
    LastErrorGuard();
    ~LastErrorGuard();
    LastErrorGuard(const LastErrorGuard&) = delete;
    LastErrorGuard& operator=(const LastErrorGuard&) = delete;

private:
    unsigned long saved_;
};

struct LocalTime {
    uint16_t year, month, day, hour, minute, second, milliseconds;
};
LocalTime GetLocalTimeNow();

uint32_t CurrentProcessId();
uint32_t CurrentThreadId();

// Separator of filesystem paths and the end of a line in text files written by the program.
extern const wchar_t kPathSeparator;
extern const char kLineEnd[];

// Opens path (narrow, ANSI code page) for appending, writes header first when the file is empty,
// then text, and closes it. False when the file cannot be opened or written, or is not a regular
// file of the caller's own where other users can create files too.
bool AppendToFile(const std::string& path, std::string_view header, std::string_view text);

// Lets every user's runs create their log files in a log folder the program has just created, as
// users may in the program-data folder; a no-op where the folder inherits that already.
void ShareLogFolder(const std::wstring& folder);

// COM for the calling thread; nothing to do where there is no COM.
void ComInitialize();
void ComUninitialize();

} // namespace ZEPMaintenance::platform
