// The file back end behind the logger table, and the process-wide log set-up.
#include "diag/Log.h"

#include "base/CodePage.h"
#include "base/Platform.h"
#include "diag/LogState.h"

#include <clocale>
#include <cstring>
#include <memory>

namespace ZEPMaintenance {

namespace log_state {

TableState& Table() {
    static auto* state = new TableState;
    return *state;
}

FileState& FileTarget() {
    static auto* state = new FileState;
    return *state;
}

std::unique_ptr<Logger>& MainLoggerSlot() {
    static auto* slot = new std::unique_ptr<Logger>(std::make_unique<Logger>(nullptr));
    return *slot;
}

} // namespace log_state

namespace {

constexpr uint32_t kHandleSize = 60;
constexpr uint32_t kHandleMagic = 0x3D5ECCFD;

struct LogHandle {
    uint32_t size = kHandleSize;
    uint32_t magic = kHandleMagic;
    int32_t level = 0;
    std::string filePath;
    std::wstring category;
};

const LogHandle* Checked(LogHandleRef ref) {
    const auto* handle = static_cast<const LogHandle*>(ref);
    if (handle == nullptr || handle->size != kHandleSize || handle->magic != kHandleMagic) {
        return nullptr;
    }
    return handle;
}

const wchar_t* LevelLabel(int32_t level) {
    switch (level) {
    case LevelFatal:
        return L"FATAL";
    case LevelError:
        return L"ERROR";
    case LevelWarn:
        return L"WARN";
    case LevelInfo:
        return L"INFO";
    case LevelDebug:
        return L"DEBUG";
    default:
        return L"???";
    }
}

int BackendCreate(const wchar_t* category, LogHandleRef* out) {
    try {
        auto handle = std::make_unique<LogHandle>();
        {
            auto& target = log_state::FileTarget();
            std::lock_guard guard(target.lock);
            handle->level = target.level;
            handle->filePath = target.filePath;
        }
        handle->category = (category != nullptr && *category != L'\0') ? category : L"null";
        *out = handle.release();
        return 1;
    } catch (...) {
        return 0;
    }
}

void BackendDestroy(LogHandleRef ref) {
    if (Checked(ref) != nullptr) {
        delete static_cast<LogHandle*>(ref);
    }
}

template <int32_t Level> bool BackendIsEnabled(LogHandleRef ref) {
    const LogHandle* handle = Checked(ref);
    return handle != nullptr && handle->level >= Level;
}

// Text that the caller of a run chose (its options) reaches the log: a line break or terminal
// control in it must not forge a line or reach the terminal of whoever reads the log.
std::wstring WithoutControls(std::wstring_view message) {
    std::wstring text;
    text.reserve(message.size());
    for (const wchar_t c : message) {
        const auto code = static_cast<uint32_t>(c);
        if ((code < 0x20 && c != L'\t') || (code >= 0x7F && code < 0xA0)) {
            text += Format(L"\\x%02X", code);
        } else {
            text += c;
        }
    }
    return text;
}

// One line of the file, line end included, UTF-8.
std::string FormatLine(int32_t level, std::wstring_view category, std::wstring_view message) {
    const platform::LocalTime now = platform::GetLocalTimeNow();
    std::wstring line = Format(L"%04hu-%02hu-%02hu %02hu:%02hu:%02hu,%03hu ", now.year, now.month, now.day,
                               now.hour, now.minute, now.second, now.milliseconds);
    line += Format(L"[%lu-%lu] %-5s %s - %s", platform::CurrentProcessId(), platform::CurrentThreadId(),
                   LevelLabel(level), category, WithoutControls(message));
    return WideToMultiByte(line, kUtf8CodePage) + platform::kLineEnd;
}

template <int32_t Level> void BackendWrite(LogHandleRef ref, const wchar_t* message) {
    const LogHandle* handle = Checked(ref);
    if (handle == nullptr || handle->level < Level) {
        return;
    }
    // Saved before the clock is read: reading the time zone may set an error of its own.
    const platform::LastErrorGuard keepLastError;
    // The whole line is built first and appended with one write, so lines of processes that
    // share a file (two runs in the same mode) never interleave.
    const std::string line = FormatLine(Level, handle->category, message != nullptr ? message : L"");
    const auto notice = [](const std::string& asideName) {
        const std::string name = asideName.substr(asideName.find_last_of("/\\") + 1);
        return FormatLine(LevelWarn, L"ZEPMaintenance",
                          Format(L"Log: the object under this file's name was not this run's own log file; "
                                 L"it was set aside as %hs.",
                                 name));
    };
    uint32_t error = 0;
    {
        auto& target = log_state::FileTarget();
        std::lock_guard guard(target.lock);
        error = platform::AppendToLogFile(handle->filePath, "\xEF\xBB\xBF", line, notice);
    }
    if (error != 0) {
        ReportLostLog(handle->filePath,
                      platform::ErrorText(error) + " (error " + std::to_string(error) + ")");
    }
}

} // namespace

LoggerFunctions FileLoggerFunctions() {
    LoggerFunctions functions;
    functions.create = BackendCreate;
    functions.destroy = BackendDestroy;
    functions.isFatalEnabled = BackendIsEnabled<LevelFatal>;
    functions.isErrorEnabled = BackendIsEnabled<LevelError>;
    functions.isWarnEnabled = BackendIsEnabled<LevelWarn>;
    functions.isInfoEnabled = BackendIsEnabled<LevelInfo>;
    functions.isDebugEnabled = BackendIsEnabled<LevelDebug>;
    functions.fatal = BackendWrite<LevelFatal>;
    functions.error = BackendWrite<LevelError>;
    functions.warn = BackendWrite<LevelWarn>;
    functions.info = BackendWrite<LevelInfo>;
    functions.debug = BackendWrite<LevelDebug>;
    return functions;
}

std::wstring LogFileModePart(const std::wstring& modeText) {
    std::wstring part = modeText.substr(0, kMaxLogModeChars);
    for (wchar_t& c : part) {
        const bool kept = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                          c == L'-' || c == L'_' || c == L'.';
        if (!kept) {
            c = L'_';
        }
    }
    return part;
}

void ReportLostLog(const std::string& path, const std::string& reason) {
    {
        auto& target = log_state::FileTarget();
        std::lock_guard guard(target.lock);
        if (target.lossReported) {
            return;
        }
        target.lossReported = true;
    }
    platform::ReportOutsideLog("ZEPMaintenance: cannot write the log file " + path + ": " + reason +
                               ". This run goes on without its log.");
}

void SetLogFile(const std::string& path) {
    {
        auto& target = log_state::FileTarget();
        std::lock_guard guard(target.lock);
        target.level = LevelDebug;
        target.filePath = path;
        target.lossReported = false;
    }
    std::setlocale(LC_ALL, "");
}

bool InitLogging(const LoggerFunctions* functions) {
    {
        auto& table = log_state::Table();
        std::lock_guard guard(table.lock);
        table.installed = functions != nullptr ? *functions : LoggerFunctions{};
        table.baseCategory = L"ZEPMaintenance";
    }
    log_state::MainLoggerSlot() = std::make_unique<Logger>(L".ZEPMaintenance");
    return true;
}

Logger& mainLogger() {
    return *log_state::MainLoggerSlot();
}

} // namespace ZEPMaintenance
