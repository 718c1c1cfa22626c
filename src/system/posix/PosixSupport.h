// Linux side: helpers shared by the primitives that stand in for Windows facilities.
#pragma once

#include <cstdint>
#include <string>

namespace ZEPMaintenance::posix {

// The Windows error number for an errno value (unknown ones map to ERROR_INVALID_FUNCTION).
uint32_t WinErrorFromErrno(int error);
// The same for the current errno.
uint32_t LastWinError();

// Owns one file descriptor; -1 owns nothing.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const { return fd_; }
    // Gives up ownership, as when another object (a DIR stream) takes the descriptor over.
    int Release();

private:
    int fd_;
};

// Everything the Linux layer persists lives below ZEP_MACHINE_ROOT (default "/"); no trailing slash
// except for "/" itself.
std::string MachineRoot();
// MachineRoot() joined with a relative path such as "var/lib".
std::string UnderMachineRoot(const std::string& relative);

// File names are bytes, UTF-8 by convention; names that are not UTF-8 survive the round trip.
std::string NativePath(const std::wstring& path);
std::wstring WidePath(const std::string& path);

} // namespace ZEPMaintenance::posix
