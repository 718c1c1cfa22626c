// Test support: the in-memory logger table.
#include "support/CapturedLog.h"

#include "diag/Log.h"

#include <mutex>

namespace ZEPMaintenance::test {

namespace {

std::mutex gLock;
std::vector<CapturedLine> gLines;

struct Handle {
    std::wstring category;
};

int Create(const wchar_t* category, LogHandleRef* out) {
    *out = new Handle{category};
    return 1;
}

void Destroy(LogHandleRef handle) {
    delete static_cast<Handle*>(handle);
}

bool Enabled(LogHandleRef) {
    return true;
}

template <int32_t Level> void Write(LogHandleRef handle, const wchar_t* message) {
    std::lock_guard guard(gLock);
    gLines.push_back({Level, static_cast<Handle*>(handle)->category, message});
}

} // namespace

CapturedLog::CapturedLog() {
    LoggerFunctions functions;
    functions.create = Create;
    functions.destroy = Destroy;
    functions.isFatalEnabled = functions.isErrorEnabled = functions.isWarnEnabled = functions.isInfoEnabled =
        functions.isDebugEnabled = Enabled;
    functions.fatal = Write<LevelFatal>;
    functions.error = Write<LevelError>;
    functions.warn = Write<LevelWarn>;
    functions.info = Write<LevelInfo>;
    functions.debug = Write<LevelDebug>;
    Clear();
    InitLogging(&functions);
}

CapturedLog::~CapturedLog() {
    InitLogging(nullptr);
}

const std::vector<CapturedLine>& CapturedLog::Lines() const {
    return gLines;
}

bool CapturedLog::Has(int32_t level, const std::wstring& message) const {
    std::lock_guard guard(gLock);
    for (const auto& line : gLines) {
        if (line.level == level && line.message == message) {
            return true;
        }
    }
    return false;
}

bool CapturedLog::Contains(const std::wstring& text) const {
    std::lock_guard guard(gLock);
    for (const auto& line : gLines) {
        if (line.message.find(text) != std::wstring::npos) {
            return true;
        }
    }
    return false;
}

std::wstring CapturedLog::Missing(const std::vector<ExpectedLine>& expected) const {
    std::wstring missing;
    for (const ExpectedLine& line : expected) {
        if (!Has(line.level, line.message)) {
            missing += std::to_wstring(line.level) + L" " + line.message + L"\n";
        }
    }
    return missing.empty() ? missing : L"missing:\n" + missing + L"log:\n" + Dump();
}

std::wstring CapturedLog::Dump() const {
    std::lock_guard guard(gLock);
    std::wstring text;
    for (const auto& line : gLines) {
        text += std::to_wstring(line.level) + L" " + line.category + L" - " + line.message + L"\n";
    }
    return text;
}

void CapturedLog::Clear() {
    std::lock_guard guard(gLock);
    gLines.clear();
}

} // namespace ZEPMaintenance::test
