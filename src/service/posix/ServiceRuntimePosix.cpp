// Linux side of the service runtime: the activated service takes its connection (LISTEN_FDS), checks the
// caller against the service's DACL, answers the start and runs ServiceMain on a thread; SIGTERM is the
// stop control and the status goes into the service's record.
#include "service/ServiceRuntime.h"

#include "base/WinError.h"
#include "diag/Logger.h"
#include "service/posix/ServiceActivation.h"
#include "system/posix/RegistryStore.h"
#include "system/posix/ServiceRecord.h"
#include "system/posix/UserSid.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace ZEPMaintenance {

namespace posix {

std::vector<std::wstring> ServiceMainArguments(const std::wstring& serviceName,
                                               const std::vector<std::wstring>& sent, uid_t callerUid,
                                               pid_t callerPid) {
    std::vector<std::wstring> arguments{serviceName};
    bool dropping = false;
    for (const std::wstring& argument : sent) {
        const bool option = !argument.empty() && argument[0] == L'-';
        if (option) {
            dropping = argument == L"-usid" || argument == L"-lpid";
        }
        if (!dropping) {
            arguments.push_back(argument);
        }
    }
    arguments.insert(arguments.end(), {L"-usid", SidOfUser(callerUid, OwnerOf::Process).Sid(), L"-lpid",
                                       std::to_wstring(callerPid)});
    return arguments;
}

} // namespace posix

namespace {

// The descriptor socket activation passes first.
constexpr int kListenFd = 3;
// How long a caller may take to send its request; the service does not wait longer for anybody.
constexpr int kRequestTimeoutMs = 30000;

// The activation's descriptor when LISTEN_PID names this process; the variables are removed, so that
// the worker the service starts does not take them for its own.
posix::UniqueFd TakeActivationSocket() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    const bool ours = pid != nullptr && count != nullptr && std::strtol(pid, nullptr, 10) == getpid() &&
                      std::strtol(count, nullptr, 10) >= 1;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    struct stat info {};
    if (!ours || fstat(kListenFd, &info) != 0 || !S_ISSOCK(info.st_mode)) {
        return {};
    }
    fcntl(kListenFd, F_SETFD, FD_CLOEXEC);
    return posix::UniqueFd(kListenFd);
}

// A listening socket (a unit without Accept=) gives one connection; an accepted one is the connection.
[[nodiscard]] uint32_t TakeConnection(posix::UniqueFd socket, posix::UniqueFd& connection) {
    int listening = 0;
    socklen_t size = sizeof listening;
    if (getsockopt(socket.Get(), SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0) {
        return posix::LastWinError();
    }
    if (listening == 0) {
        connection = std::move(socket);
        return WinError::kSuccess;
    }
    pollfd wait{socket.Get(), POLLIN, 0};
    if (posix::RetryAfterSignal(-1, poll, &wait, 1, kRequestTimeoutMs) <= 0) {
        return WinError::kServiceRequestTimeout;
    }
    connection = posix::MakeDescriptor(accept4, socket.Get(), nullptr, nullptr, SOCK_CLOEXEC);
    return connection ? WinError::kSuccess : posix::LastWinError();
}

class PosixServiceControlPort final : public ServiceControlPort {
public:
    uint32_t Dispatch(const std::wstring& name, MainEntry main) override;

    bool RegisterControlHandler(const std::wstring& name, ControlEntry handler) override {
        if (posix::FoldRegistryName(name) != posix::FoldRegistryName(serviceName_)) {
            return false;
        }
        handler_.store(handler);
        return true;
    }

    void ReportStatus(const ServiceStatus& status) override {
        // The record is root's: a service run by anybody else has nowhere to report to.
        static_cast<void>(
            posix::WriteServiceStatus(serviceName_, status.currentState, status.win32ExitCode, getpid()));
    }

private:
    // Answers the request on connection; the arguments for ServiceMain once it may start.
    [[nodiscard]] uint32_t Admit(int connection, std::vector<std::wstring>& arguments);

    Logger logger_{L"Service"};
    std::wstring serviceName_;
    std::atomic<ControlEntry> handler_{nullptr};
    posix::UniqueFd claim_;
};

uint32_t PosixServiceControlPort::Admit(int connection, std::vector<std::wstring>& arguments) {
    std::string frame;
    if (const uint32_t error =
            posix::ReceivePacket(connection, posix::kMaxStartFrame, kRequestTimeoutMs, frame);
        error != WinError::kSuccess) {
        return error;
    }
    ucred caller{};
    socklen_t size = sizeof caller;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &caller, &size) != 0) {
        return posix::LastWinError();
    }
    posix::ServiceRecord record;
    if (const uint32_t error = posix::ReadServiceRecord(serviceName_, record); error != WinError::kSuccess) {
        return error;
    }
    if (!posix::AccessGranted(record.dacl, posix::CallerSids(caller.uid), posix::ServiceRights::kStart)) {
        logger_.Error(L"RunServiceDispatcher: Start refused, the caller may not start the service. (uid: %d, "
                      L"pid: %d)",
                      static_cast<int32_t>(caller.uid), static_cast<int32_t>(caller.pid));
        return WinError::kAccessDenied;
    }
    std::vector<std::wstring> sent;
    if (const uint32_t error = posix::DecodeStartFrame(frame, sent); error != WinError::kSuccess) {
        return error;
    }
    if (const uint32_t error = posix::ClaimServiceRun(serviceName_, claim_); error != WinError::kSuccess) {
        return error;
    }
    arguments = posix::ServiceMainArguments(record.name, sent, caller.uid, caller.pid);
    std::wstring text;
    for (const std::wstring& argument : arguments) {
        text += (text.empty() ? L"" : L" ") + argument;
    }
    logger_.Info(L"RunServiceDispatcher: Start admitted. (uid: %d, pid: %d, arguments: %ls)",
                 static_cast<int32_t>(caller.uid), static_cast<int32_t>(caller.pid), text);
    return WinError::kSuccess;
}

uint32_t PosixServiceControlPort::Dispatch(const std::wstring& name, MainEntry main) {
    serviceName_ = name;
    posix::UniqueFd activation = TakeActivationSocket();
    if (!activation) {
        // Not started through the service's socket: as a program run outside the manager.
        return WinError::kFailedServiceControllerConnect;
    }
    posix::UniqueFd connection;
    if (const uint32_t error = TakeConnection(std::move(activation), connection);
        error != WinError::kSuccess) {
        return error;
    }
    std::vector<std::wstring> arguments;
    const uint32_t admitted = Admit(connection.Get(), arguments);
    if (admitted != WinError::kSuccess) {
        static_cast<void>(posix::SendPacket(connection.Get(), posix::EncodeStartReply(admitted)));
        return admitted;
    }
    ReportStatus(ServiceStatus{});

    // SIGTERM is the stop control: blocked here before the service thread exists, so that every thread
    // leaves it to the signal descriptor.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    const posix::UniqueFd signals = posix::MakeDescriptor(signalfd, -1, &stops, SFD_CLOEXEC);
    const posix::UniqueFd done = posix::MakeDescriptor(eventfd, 0u, EFD_CLOEXEC);
    if (!signals || !done) {
        const uint32_t error = posix::LastWinError();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        static_cast<void>(posix::SendPacket(connection.Get(), posix::EncodeStartReply(error)));
        return error;
    }
    static_cast<void>(posix::SendPacket(connection.Get(), posix::EncodeStartReply(WinError::kSuccess)));
    connection.Reset();

    std::thread serviceThread([&] {
        main(arguments);
        const uint64_t one = 1;
        // Adding 1 to a fresh eventfd cannot fail; a cast to void would not quiet a fortified build.
        [[maybe_unused]] const ssize_t wrote = write(done.Get(), &one, sizeof one);
    });
    for (;;) {
        pollfd waits[] = {{done.Get(), POLLIN, 0}, {signals.Get(), POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if ((waits[0].revents & POLLIN) != 0) {
            break;
        }
        if ((waits[1].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            // The signal itself is the stop control; what it carries is not needed.
            [[maybe_unused]] const ssize_t got = read(signals.Get(), &info, sizeof info);
            if (const ControlEntry handler = handler_.load(); handler != nullptr) {
                handler(ServiceControl::kStop);
            }
        }
    }
    serviceThread.join();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    claim_.Reset();
    return WinError::kSuccess;
}

} // namespace

ServiceControlPort& PlatformServiceControlPort() {
    static PosixServiceControlPort port;
    return port;
}

} // namespace ZEPMaintenance
