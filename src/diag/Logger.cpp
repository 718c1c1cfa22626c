// Logger: category rules and the formatting entry points over the installed back end.
#include "diag/Logger.h"

#include "base/Platform.h"
#include "diag/LogState.h"

namespace ZEPMaintenance {

Logger::Logger(const wchar_t* name) {
    std::wstring base;
    {
        auto& table = log_state::Table();
        std::lock_guard guard(table.lock);
        if (table.installed.create != nullptr) {
            functions_ = table.installed;
            base = table.baseCategory;
        }
    }
    if (functions_.create == nullptr || name == nullptr) {
        return;
    }
    const std::wstring_view given(name);
    if (given.empty() || given == L".") {
        return;
    }
    std::wstring category;
    if (given.front() == L'.') {
        category = given.substr(1);
    } else if (!base.empty()) {
        category = base + L"." + std::wstring(given);
    } else {
        category = given;
    }
    LogHandleRef handle = nullptr;
    if (functions_.create(category.c_str(), &handle) != 0) {
        handle_ = handle;
    }
}

Logger::~Logger() {
    if (handle_ != nullptr && functions_.destroy != nullptr) {
        functions_.destroy(handle_);
    }
}

bool Logger::IsDebugEnabled() const {
    return handle_ != nullptr && functions_.isDebugEnabled != nullptr && functions_.isDebugEnabled(handle_);
}

void Logger::Write(Entry entry, std::wstring_view format, std::initializer_list<format_detail::Arg> args,
                   std::size_t count) const {
    if (handle_ == nullptr || entry == nullptr) {
        return;
    }
    // Callers may log between a failing call and reading its error: formatting must not change it.
    const platform::LastErrorGuard keepLastError;
    std::wstring text;
    if (!FormatWithArgs(text, format, args.begin(), count, kMaxMessageChars) || text.empty()) {
        text = L"Message too long.";
    }
    entry(handle_, text.c_str());
}

void Logger::WriteText(Entry entry, const wchar_t* text) const {
    if (handle_ != nullptr && entry != nullptr) {
        entry(handle_, text != nullptr ? text : L"");
    }
}

} // namespace ZEPMaintenance
