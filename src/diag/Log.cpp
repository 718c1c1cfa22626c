// The file back end behind the logger table, and the process-wide log set-up.
#include "diag/Log.h"

#include "diag/LogState.h"
#include "system/Directory.h"
#include "system/File.h"
#include "system/Platform.h"
#include "system/Text.h"

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

template <int32_t Level> void BackendWrite(LogHandleRef ref, const wchar_t* message) {
    const LogHandle* handle = Checked(ref);
    if (handle == nullptr || handle->level < Level) {
        return;
    }
    // Saved before the clock is read: reading the time zone may set an error of its own.
    const platform::LastErrorGuard keepLastError;
    const wchar_t* label = LevelLabel(Level);
    const platform::LocalTime now = platform::GetLocalTimeNow();

    // The whole line is built first and appended with one write, so lines of processes that
    // share a file (two runs in the same mode) never interleave.
    std::wstring line = Format(L"%04hu-%02hu-%02hu %02hu:%02hu:%02hu,%03hu ", now.year, now.month, now.day,
                               now.hour, now.minute, now.second, now.milliseconds);
    line += Format(L"[%lu-%lu] %-5s %s - %s", platform::CurrentProcessId(), platform::CurrentThreadId(),
                   label, handle->category, message != nullptr ? message : L"");
    std::string bytes = WideToMultiByte(line, kUtf8CodePage);
    bytes += platform::kLineEnd;
    {
        auto& target = log_state::FileTarget();
        std::lock_guard guard(target.lock);
        platform::AppendToFile(handle->filePath, "\xEF\xBB\xBF", bytes);
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

File GetLogFilePath(const std::wstring& modeText) {
    Directory programData;
    programData.SetSpecialFolder(KnownFolder::ProgramData);
    Directory folder(programData.GetFullPath(), L"Z.EP Maintenance2");
    if (!folder.Exists()) {
        folder.Create();
        platform::ShareLogFolder(folder.GetFullPath());
    }
    return File(folder.GetFullPath(), L"ZEPMaintenance2-" + modeText + L".log");
}

void SetLogFile(const std::string& path) {
    {
        auto& target = log_state::FileTarget();
        std::lock_guard guard(target.lock);
        target.level = LevelDebug;
        target.filePath = path;
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
