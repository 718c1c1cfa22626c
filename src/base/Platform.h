// Small operating-system primitives shared by every module: last error, clock, ids, files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace ZEPMaintenance::platform {

// The thread's last system error as a Windows error number (errno mapped on Linux). The wrappers never
// read it: each primitive hands back the errors of its own call. It is what logging keeps intact.
[[nodiscard]] uint32_t GetLastErrorCode();

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

// Appends text to the log file at path (narrow, ANSI code page); returns a Windows error number. Windows
// closes the file again; Linux keeps it open for the next line while the name still leads to it. Other users
// can create objects in the log folder, so the file is opened without following a link and without blocking,
// and written only when it is a regular file with a single name, owned by the writing user. Anything else
// under the name (a link, FIFO, device, folder, a file with a second name or of another owner) is renamed
// aside in the same folder, its content kept for the administrator, and a fresh file takes its place; notice
// is given the name it got and returns the text written before text. header goes first into a new or empty
// file.
[[nodiscard]] uint32_t
AppendToLogFile(const std::string& path, std::string_view header, std::string_view text,
                const std::function<std::string(const std::string& setAsideName)>& notice);

// The name an object found under path is renamed to when it is set aside: path with the local time and
// a random part appended, fresh at each attempt, so that no one who can plant objects beside path can
// plant every name a run might use. attempt is kept for the callers' retry loops.
std::string SetAsideName(const std::string& path, int attempt);

// count bytes from the system's cryptographic random source, and the same as hexadecimal text.
void RandomBytes(unsigned char* bytes, std::size_t count);
std::string RandomHex(std::size_t count);

// Tells whoever started the process, without blocking: standard error on Linux, the debugger
// output on Windows (a GUI program has no console).
void ReportOutsideLog(const std::string& text);

// The system's short text for a Windows error number.
std::string ErrorText(uint32_t error);

// Lets every user's runs create their log files in a log folder the program has just created, as
// users may in the program-data folder; a no-op where the folder inherits that already.
void ShareLogFolder(const std::wstring& folder);

// COM for the calling thread; nothing to do where there is no COM.
void ComInitialize();
void ComUninitialize();

} // namespace ZEPMaintenance::platform
