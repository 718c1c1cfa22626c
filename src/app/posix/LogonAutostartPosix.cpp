// Linux side of the logon autostart: an XDG autostart entry below the machine root that starts zeprun.
#include "app/posix/LogonAutostartPosix.h"
#include "app/LogonAutostart.h"

#include "diag/IMException.h"
#include "diag/Logger.h"
#include "system/posix/PosixSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance {

namespace posix {

std::string DesktopExecArgument(const std::string& argument) {
    const bool reserved =
        argument.empty() || argument.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
    std::string quoted;
    for (const char c : argument) {
        if (c == '%') {
            quoted += "%%";
            continue;
        }
        if (reserved && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            quoted += '\\';
        }
        quoted += c;
    }
    if (reserved) {
        quoted = "\"" + quoted + "\"";
    }
    std::string escaped;
    for (const char c : quoted) {
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return escaped;
}

std::string LogonAutostartEntry(const std::string& program) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=ZEPMaintenance logon run\n"
           "Comment=Runs the machine's Run and RunOnce commands at logon\n"
           "Exec=" +
           DesktopExecArgument(program) +
           "\n"
           "Terminal=false\n"
           "NoDisplay=true\n";
}

std::string LogonAutostartPath() {
    return UnderMachineRoot("etc/xdg/autostart/zeprun.desktop");
}

namespace {

// Each missing folder of the path, made as the system's own folders are.
[[nodiscard]] bool MakeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// The whole entry or none: written beside it, then renamed over it.
[[nodiscard]] bool WriteReplacing(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".new";
    unlink(temporary.c_str());
    UniqueFd fd =
        MakeDescriptor(open, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (!fd) {
        return false;
    }
    // Whatever the umask: every session reads it.
    bool written = fchmod(fd.Get(), 0644) == 0;
    for (std::size_t done = 0; written && done < text.size();) {
        const ssize_t wrote = RetryAfterSignal(-1, write, fd.Get(), text.data() + done, text.size() - done);
        written = wrote > 0;
        done += written ? static_cast<std::size_t>(wrote) : 0;
    }
    written = written && fsync(fd.Get()) == 0;
    fd.Reset(-1);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(temporary.c_str());
        errno = error;
        return false;
    }
    return true;
}

} // namespace

} // namespace posix

void WriteLogonAutostart(const std::wstring& zeprunPath) {
    const Logger logger(L"LogonAutostart");
    const std::string program = posix::NativePath(zeprunPath);
    // The session starts what Exec names from its own working folder; a line break would end the key.
    if (program.empty() || program[0] != '/' || program.find('\n') != std::string::npos ||
        program.find('\r') != std::string::npos) {
        logger.Error(
            L"WriteLogonAutostart: The program path cannot be started from an autostart entry. (path: %ls)",
            zeprunPath);
        ThrowIMException(ErrorCode::kInvalidValue);
    }
    const std::string path = posix::LogonAutostartPath();
    if (!posix::MakeFolders(path.substr(0, path.rfind('/'))) ||
        !posix::WriteReplacing(path, posix::LogonAutostartEntry(program))) {
        logger.Error(L"WriteLogonAutostart: Writing the autostart entry failed. (path: %hs, lastError: %d)",
                     path, posix::LastWinError());
        ThrowIMException(ErrorCode::kSystemCallFailed);
    }
    logger.Info(L"WriteLogonAutostart: Autostart entry written. (path: %hs, program: %ls)", path, zeprunPath);
}

void RemoveLogonAutostart() {
    const Logger logger(L"LogonAutostart");
    const std::string path = posix::LogonAutostartPath();
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        logger.Error(L"RemoveLogonAutostart: Removing the autostart entry failed. (path: %hs, lastError: %d)",
                     path, posix::LastWinError());
        ThrowIMException(ErrorCode::kSystemCallFailed);
    }
    logger.Info(L"RemoveLogonAutostart: Autostart entry removed. (path: %hs)", path);
}

} // namespace ZEPMaintenance
