// Per-object logger over the process-wide table of twelve back-end functions.
#pragma once

#include "diag/Format.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

enum LogLevel : int32_t { LevelFatal = 1, LevelError = 2, LevelWarn = 3, LevelInfo = 4, LevelDebug = 5 };

using LogHandleRef = void*;

// The back end's contract, in the fixed order of its twelve entries; any entry may be empty.
struct LoggerFunctions {
    int (*create)(const wchar_t* category, LogHandleRef* handle) = nullptr;
    void (*destroy)(LogHandleRef handle) = nullptr;
    bool (*isFatalEnabled)(LogHandleRef handle) = nullptr;
    bool (*isErrorEnabled)(LogHandleRef handle) = nullptr;
    bool (*isWarnEnabled)(LogHandleRef handle) = nullptr;
    bool (*isInfoEnabled)(LogHandleRef handle) = nullptr;
    bool (*isDebugEnabled)(LogHandleRef handle) = nullptr;
    void (*fatal)(LogHandleRef handle, const wchar_t* message) = nullptr;
    void (*error)(LogHandleRef handle, const wchar_t* message) = nullptr;
    void (*warn)(LogHandleRef handle, const wchar_t* message) = nullptr;
    void (*info)(LogHandleRef handle, const wchar_t* message) = nullptr;
    void (*debug)(LogHandleRef handle, const wchar_t* message) = nullptr;
};

// A message is at most this many characters; a longer one is logged as "Message too long.".
inline constexpr std::size_t kMaxMessageChars = 1023;

class Logger {
public:
    // The table installed now is copied; a logger made before InitLogging stays silent for good.
    explicit Logger(const wchar_t* name);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    bool IsActive() const { return handle_ != nullptr; }
    bool IsDebugEnabled() const;

    template <class... Args>
    void Error(FormatString<std::type_identity_t<Args>...> format, const Args&... args) const {
        Write(functions_.error, format.text, {format_detail::MakeArg(args)..., format_detail::Arg{}},
              sizeof...(Args));
    }
    template <class... Args>
    void Warn(FormatString<std::type_identity_t<Args>...> format, const Args&... args) const {
        Write(functions_.warn, format.text, {format_detail::MakeArg(args)..., format_detail::Arg{}},
              sizeof...(Args));
    }
    template <class... Args>
    void Info(FormatString<std::type_identity_t<Args>...> format, const Args&... args) const {
        Write(functions_.info, format.text, {format_detail::MakeArg(args)..., format_detail::Arg{}},
              sizeof...(Args));
    }
    template <class... Args>
    void Debug(FormatString<std::type_identity_t<Args>...> format, const Args&... args) const {
        Write(functions_.debug, format.text, {format_detail::MakeArg(args)..., format_detail::Arg{}},
              sizeof...(Args));
    }

    // Fixed texts, passed on without formatting (trace words such as "IsClosed").
    void ErrorText(const wchar_t* text) const { WriteText(functions_.error, text); }
    void InfoText(const wchar_t* text) const { WriteText(functions_.info, text); }
    void DebugText(const wchar_t* text) const { WriteText(functions_.debug, text); }

private:
    using Entry = void (*)(LogHandleRef, const wchar_t*);
    void Write(Entry entry, std::wstring_view format, std::initializer_list<format_detail::Arg> args,
               std::size_t count) const;
    void WriteText(Entry entry, const wchar_t* text) const;

    LogHandleRef handle_ = nullptr;
    LoggerFunctions functions_;
};

} // namespace ZEPMaintenance
