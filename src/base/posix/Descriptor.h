// Linux side of what every module stands on: errno as Windows error numbers, the descriptor owner, the
// retry after a signal, and file names as bytes.
#pragma once

#include "base/UniqueHandle.h"

#include <cerrno>
#include <cstdint>
#include <string>

namespace ZEPMaintenance::posix {

// The Windows error number for an errno value (unknown ones map to ERROR_INVALID_FUNCTION).
[[nodiscard]] uint32_t WinErrorFromErrno(int error);
// The same for the current errno.
[[nodiscard]] uint32_t LastWinError();
// A short text for a Windows error number that WinErrorFromErrno gives: the text of its usual errno.
std::string ErrorText(uint32_t winError);

struct FdTraits {
    using Value = int;
    static int Invalid() noexcept { return -1; }
    static void Close(int fd) noexcept;
};
// Owns one file descriptor; -1 owns nothing.
using UniqueFd = UniqueHandle<FdTraits>;

// Calls call(args...) until it returns anything but failure, or fails with an error other than EINTR:
// a signal that interrupts a system call is no failure of the call. What a call does in part (a short
// read or write) is left to the caller. The arguments are passed anew each time, so a call that updates
// what they point to (nanosleep's remaining time) goes on from there.
template <class Result, class Call, class... Args>
auto RetryAfterSignal(const Result& failure, const Call& call, Args&&... args) {
    for (;;) {
        const auto result = call(args...);
        if (!(result == failure && errno == EINTR)) {
            return result;
        }
    }
}

// File names are bytes, UTF-8 by convention; names that are not UTF-8 survive the round trip.
std::string NativePath(const std::wstring& path);
std::wstring WidePath(const std::string& path);

} // namespace ZEPMaintenance::posix
