// Linux side of what every module stands on: errno as Windows error numbers, the descriptor owner, the
// retry after a signal, the one way descriptors are made, and file names as bytes.
#pragma once

#include "base/UniqueHandle.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

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

namespace detail {
// What MakeDescriptor and MakePipe do with each descriptor a call has just made (or -1 with errno).
UniqueFd KeptAsNew(int made);
} // namespace detail

// The one way the Linux side makes a descriptor: call(args...) is any call that returns a new descriptor
// or -1 with errno (open, openat, socket, accept4, pidfd_open, eventfd, fcntl F_DUPFD_CLOEXEC, ...).
// The call is made again when a signal interrupts it. What it made is close-on-exec, and is never 0, 1
// or 2, where output meant for standard output or error would land in it. Empty on failure, with errno
// the call's. The call should ask for close-on-exec itself (O_CLOEXEC, SOCK_CLOEXEC, ...): set here
// afterwards, a program started meanwhile on another thread would inherit the descriptor.
template <class Call, class... Args> [[nodiscard]] UniqueFd MakeDescriptor(const Call& call, Args&&... args) {
    return detail::KeptAsNew(RetryAfterSignal(-1, call, std::forward<Args>(args)...));
}

// pipe2(flags | O_CLOEXEC) with both ends made as MakeDescriptor makes a descriptor; false with errno
// leaves both empty.
[[nodiscard]] bool MakePipe(int flags, UniqueFd& readEnd, UniqueFd& writeEnd);

// Opens each of descriptors 0, 1 and 2 that is closed on /dev/null (read and write), for the start of a
// program, before anything else opens a descriptor or starts a thread. Text for standard error (a lost
// log is reported there) then never lands in a file that happened to take a free number. One that cannot
// be opened stays closed: MakeDescriptor hands none of them out in any case.
void OpenStandardDescriptors();

// File names are bytes, UTF-8 by convention; names that are not UTF-8 survive the round trip.
std::string NativePath(const std::wstring& path);
std::wstring WidePath(const std::string& path);

} // namespace ZEPMaintenance::posix
