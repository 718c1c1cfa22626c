// Linux side of the service control manager's primitives: service records in the settings store, checked
// against their DACLs, and the start request sent to the service's activation socket.
#include "system/platform/ServicePrimitives.h"

#include "base/WinError.h"
#include "system/posix/PosixSupport.h"
#include "system/posix/ServiceRecord.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace ZEPMaintenance::platform {

struct ServiceState {
    std::shared_ptr<posix::RegistryStore> store;
    // The Services key (kNoKey while there is none), and for a service its record.
    int64_t services = posix::RegistryStore::kNoKey;
    int64_t record = posix::RegistryStore::kNoKey;
    uint32_t access = 0;
    bool manager = false;
};

void Destroy(ServiceState* state) noexcept {
    delete state;
}

namespace {

namespace Rights = posix::ServiceRights;

// Manager rights beyond connecting, enumerating and reading: create, lock, boot configuration and the
// standard writing rights. Only an administrator gets them.
constexpr uint32_t kManagerWriting =
    0x0002 | 0x0008 | 0x0020 | Rights::kDelete | Rights::kWriteDac | Rights::kWriteOwner;
// As long as the manager waits for a service to answer a start.
constexpr int kStartTimeoutMs = 30000;
constexpr auto kBusyRetry = std::chrono::milliseconds(50);

bool Allows(const ServiceHandle& handle, uint32_t rights) {
    return (handle->access & rights) == rights;
}

[[nodiscard]] uint32_t RecordOf(const ServiceHandle& service, posix::ServiceRecord& record) {
    if (!service || service->manager) {
        return WinError::kInvalidHandle;
    }
    return posix::ReadServiceRecordAt(*service->store, service->record, record);
}

// "/proc/self/fd/N" reaches what the descriptor holds without resolving the name again, and fits a
// socket address wherever the machine root lies.
[[nodiscard]] int ConnectThrough(int object, posix::UniqueFd& connection) {
    const std::string path = "/proc/self/fd/" + std::to_string(object);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    for (;;) {
        posix::UniqueFd opened =
            posix::MakeDescriptor(socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (!opened) {
            return errno;
        }
        if (posix::RetryAfterSignal(-1, connect, opened.Get(), reinterpret_cast<const sockaddr*>(&address),
                                    length) == 0) {
            connection = std::move(opened);
            return 0;
        }
        // A full backlog: whoever fills it (any user may connect) must not hold the caller forever.
        if (errno != EAGAIN || std::chrono::steady_clock::now() >= deadline) {
            return errno;
        }
        std::this_thread::sleep_for(kBusyRetry);
    }
}

// Connects to the service's socket: it must be a socket of root's in root's folder. ENOENT or
// ECONNREFUSED in listening: nothing serves it.
[[nodiscard]] uint32_t ConnectToService(const std::wstring& name, posix::UniqueFd& connection,
                                        bool& listening) {
    listening = false;
    posix::UniqueFd folder;
    uint32_t error = posix::OpenServiceFolder(false, folder);
    if (error == WinError::kPathNotFound) {
        return WinError::kSuccess;
    }
    if (error != WinError::kSuccess) {
        return error;
    }
    const std::string file = posix::ServiceUnitName(name) + ".sock";
    const posix::UniqueFd object =
        posix::MakeDescriptor(openat, folder.Get(), file.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (!object) {
        return errno == ENOENT ? WinError::kSuccess : posix::LastWinError();
    }
    struct stat info {};
    if (fstat(object.Get(), &info) != 0) {
        return posix::LastWinError();
    }
    if (!S_ISSOCK(info.st_mode) || info.st_uid != 0) {
        return WinError::kCantAccessFile;
    }
    const int failed = ConnectThrough(object.Get(), connection);
    if (failed == ECONNREFUSED) {
        return WinError::kSuccess;
    }
    if (failed == EAGAIN) {
        return WinError::kServiceRequestTimeout;
    }
    if (failed != 0) {
        return posix::WinErrorFromErrno(failed);
    }
    listening = true;
    return WinError::kSuccess;
}

void PutDecimal(char* digits, std::size_t size, long number) {
    char reversed[24];
    std::size_t count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number > 0 && count < sizeof reversed);
    std::size_t i = 0;
    for (; i < count && i + 1 < size; ++i) {
        digits[i] = reversed[count - 1 - i];
    }
    digits[i] = '\0';
}

// What the socket unit does where nothing serves it and root asks: the image started detached, in a
// session of its own, handed its end of the connection as systemd hands an accepted one (descriptor 3,
// LISTEN_FDS=1, LISTEN_PID its own id).
[[nodiscard]] uint32_t SpawnService(const std::wstring& imagePath, posix::UniqueFd& connection) {
    const std::vector<std::string> image = posix::ImageArguments(imagePath);
    if (image.empty() || image.front().empty() || image.front()[0] != '/') {
        return WinError::kBadPathname;
    }
    int ends[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        return posix::LastWinError();
    }
    posix::UniqueFd mine(ends[0]);
    posix::UniqueFd theirs(ends[1]);
    const posix::UniqueFd null = posix::MakeDescriptor(open, "/dev/null", O_RDWR | O_CLOEXEC);
    if (!null) {
        return posix::LastWinError();
    }
    // Everything the child needs is made before fork: after it only async-signal-safe calls run.
    std::vector<std::string> environment = {
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LISTEN_FDS=1",
        "LISTEN_PID=" + std::string(24, '\0')};
    if (posix::MachineRoot() != "/") {
        environment.push_back("ZEP_MACHINE_ROOT=" + posix::MachineRoot());
    }
    std::vector<char*> environmentVector;
    for (std::string& entry : environment) {
        environmentVector.push_back(entry.data());
    }
    environmentVector.push_back(nullptr);
    char* pidDigits = environment[2].data() + std::strlen("LISTEN_PID=");
    std::vector<std::string> arguments = image;
    std::vector<char*> argumentVector;
    for (std::string& argument : arguments) {
        argumentVector.push_back(argument.data());
    }
    argumentVector.push_back(nullptr);
    const int theirFd = theirs.Get();
    const int nullFd = null.Get();

    const pid_t middle = fork();
    if (middle < 0) {
        return posix::LastWinError();
    }
    if (middle == 0) {
        // The middle child ends at once, so that the service is nobody's child and never a zombie.
        if (fork() != 0) {
            _exit(0);
        }
        setsid();
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &standard, nullptr);
        PutDecimal(pidDigits, 24, static_cast<long>(getpid()));
        if (theirFd == 3) {
            fcntl(3, F_SETFD, 0);
        } else if (dup2(theirFd, 3) != 3) {
            _exit(127);
        }
        dup2(nullFd, 0);
        dup2(nullFd, 1);
        dup2(nullFd, 2);
        execve(argumentVector[0], argumentVector.data(), environmentVector.data());
        _exit(127);
    }
    int status = 0;
    posix::RetryAfterSignal(-1, waitpid, middle, &status, 0);
    connection = std::move(mine);
    return WinError::kSuccess;
}

} // namespace

uint32_t OpenServiceManager(uint32_t access, ServiceHandle& manager) {
    const bool administrator = geteuid() == 0;
    if ((access & kManagerWriting) != 0 && !administrator) {
        return WinError::kAccessDenied;
    }
    std::shared_ptr<posix::RegistryStore> store;
    int64_t services = posix::RegistryStore::kNoKey;
    const uint32_t error = posix::OpenServicesKey(administrator, store, services);
    if (error != WinError::kSuccess && error != WinError::kServiceDoesNotExist) {
        return error;
    }
    auto* state = new ServiceState{std::move(store), services, posix::RegistryStore::kNoKey, access, true};
    if (error == WinError::kServiceDoesNotExist) {
        state->services = posix::RegistryStore::kNoKey;
    }
    manager.Reset(state);
    return WinError::kSuccess;
}

uint32_t CreateServiceRecord(const ServiceHandle& manager, const std::wstring& name,
                             const std::wstring& binaryPath, ServiceHandle& service) {
    if (!manager || !manager->manager) {
        return WinError::kInvalidHandle;
    }
    if (!Allows(manager, 0x0002) || !manager->store->Writable() ||
        manager->services == posix::RegistryStore::kNoKey) {
        return WinError::kAccessDenied;
    }
    int64_t record = 0;
    uint32_t error =
        posix::CreateServiceRecordAt(*manager->store, manager->services, name, binaryPath, record);
    if (error == WinError::kSuccess) {
        error = posix::WriteServiceUnits(name, binaryPath);
        // No record without the units it is started through.
        if (error != WinError::kSuccess) {
            static_cast<void>(manager->store->DeleteTree(manager->services, name));
            static_cast<void>(posix::RemoveServiceUnits(name));
        }
    }
    if (error != WinError::kSuccess) {
        return error;
    }
    service.Reset(new ServiceState{manager->store, manager->services, record, Rights::kAllAccess, false});
    return WinError::kSuccess;
}

uint32_t OpenServiceRecord(const ServiceHandle& manager, const std::wstring& name, uint32_t access,
                           ServiceHandle& service) {
    if (!manager || !manager->manager) {
        return WinError::kInvalidHandle;
    }
    if (manager->services == posix::RegistryStore::kNoKey) {
        return name.empty() ? WinError::kInvalidName : WinError::kServiceDoesNotExist;
    }
    int64_t record = 0;
    uint32_t error = posix::OpenServiceKey(*manager->store, manager->services, name, record);
    posix::ServiceRecord read;
    if (error == WinError::kSuccess) {
        error = posix::ReadServiceRecordAt(*manager->store, record, read);
    }
    if (error != WinError::kSuccess) {
        return error;
    }
    // The store takes changes from root only, whatever the DACL grants.
    if ((access & Rights::kWriting) != 0 && !manager->store->Writable()) {
        return WinError::kAccessDenied;
    }
    if (!posix::AccessGranted(read.dacl, posix::CallerSids(geteuid()), access)) {
        return WinError::kAccessDenied;
    }
    service.Reset(new ServiceState{manager->store, manager->services, record, access, false});
    return WinError::kSuccess;
}

uint32_t QueryServiceState(const ServiceHandle& service, uint32_t& state) {
    posix::ServiceRecord record;
    if (const uint32_t error = RecordOf(service, record); error != WinError::kSuccess) {
        return error;
    }
    if (!Allows(service, Rights::kQueryStatus)) {
        return WinError::kAccessDenied;
    }
    // A service process that is gone is stopped, whatever it last reported (a crash, a kill).
    const bool gone =
        record.processId == 0 || (kill(static_cast<pid_t>(record.processId), 0) != 0 && errno == ESRCH);
    state = record.state != kServiceStopped && gone ? kServiceStopped : record.state;
    return WinError::kSuccess;
}

uint32_t StartServiceRecord(const ServiceHandle& service, const std::vector<std::wstring>& arguments) {
    posix::ServiceRecord record;
    if (const uint32_t error = RecordOf(service, record); error != WinError::kSuccess) {
        return error;
    }
    if (!Allows(service, Rights::kStart)) {
        return WinError::kAccessDenied;
    }
    std::string frame;
    if (const uint32_t error = posix::EncodeStartFrame(arguments, frame); error != WinError::kSuccess) {
        return error;
    }
    posix::UniqueFd connection;
    bool listening = false;
    if (const uint32_t error = ConnectToService(record.name, connection, listening);
        error != WinError::kSuccess) {
        return error;
    }
    if (!listening) {
        // Without its socket unit the service can be started by root alone, as the unit would start it.
        if (geteuid() != 0) {
            return WinError::kServiceDisabled;
        }
        if (const uint32_t error = SpawnService(record.imagePath, connection); error != WinError::kSuccess) {
            return error;
        }
    }
    if (const uint32_t error = posix::SendPacket(connection.Get(), frame); error != WinError::kSuccess) {
        return WinError::kProcessAborted;
    }
    std::string reply;
    const uint32_t error = posix::ReceivePacket(connection.Get(), 4, kStartTimeoutMs, reply);
    if (error == WinError::kWaitTimeout) {
        return WinError::kServiceRequestTimeout;
    }
    uint32_t started = WinError::kSuccess;
    // A service that ended without an answer (an image that does not run, a crash) aborted.
    if (error != WinError::kSuccess || !posix::DecodeStartReply(reply, started)) {
        return WinError::kProcessAborted;
    }
    return started;
}

uint32_t DeleteServiceRecord(const ServiceHandle& service) {
    posix::ServiceRecord record;
    if (const uint32_t error = RecordOf(service, record); error != WinError::kSuccess) {
        return error;
    }
    if (!Allows(service, Rights::kDelete) || !service->store->Writable()) {
        return WinError::kAccessDenied;
    }
    // Gone at once, not when the last handle closes: a running service finishes without its record.
    if (const uint32_t error = service->store->DeleteTree(service->services, record.name);
        error != WinError::kSuccess) {
        return error;
    }
    return posix::RemoveServiceUnits(record.name);
}

uint32_t GetServiceDacl(const ServiceHandle& service, Dacl& dacl) {
    posix::ServiceRecord record;
    if (const uint32_t error = RecordOf(service, record); error != WinError::kSuccess) {
        return error;
    }
    if (!Allows(service, Rights::kReadControl)) {
        return WinError::kAccessDenied;
    }
    dacl = record.dacl;
    return WinError::kSuccess;
}

uint32_t SetServiceDacl(const ServiceHandle& service, const Dacl& dacl) {
    posix::ServiceRecord record;
    if (const uint32_t error = RecordOf(service, record); error != WinError::kSuccess) {
        return error;
    }
    if (!Allows(service, Rights::kWriteDac) || !service->store->Writable()) {
        return WinError::kAccessDenied;
    }
    return posix::WriteServiceDacl(*service->store, service->record, dacl);
}

} // namespace ZEPMaintenance::platform
