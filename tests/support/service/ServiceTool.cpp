// zep_service_tool: the service wrapper and the manager's calls from a command line, for the service
// tests on both platforms. Each command prints what it got, one line, and exits 0 on success.
//
//   install NAME EXECUTABLE [ARGUMENTS]   Service::Install; prints the exception's code on failure
//   uninstall NAME                        Service::Open with all access, then UnInstall
//   grant NAME                            adds Builtin Users 0x20034 (start among it), as installation does
//   revoke NAME                           removes every entry of Builtin Users
//   open NAME full|start                  prints the error number of opening the service
//   start NAME [ARGUMENT...]              prints the error number of starting it (opened to start)
//   send NAME [ARGUMENT...]               Linux: the start request written straight to the service's
//                                         socket, as a caller that skips the checks of opening would
#include "base/CodePage.h"
#include "base/WinError.h"
#include "diag/IMException.h"
#include "service/Service.h"

#include <algorithm>
#include <cstdio>
#ifndef _WIN32
#include "system/posix/ServiceRecord.h"

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#endif
#include <string>
#include <vector>

using namespace ZEPMaintenance;

namespace {

std::wstring Wide(const char* text) {
    return MultiByteToWide(text, kAnsiCodePage);
}

int Usage() {
    std::fputs("usage: zep_service_tool install|uninstall|grant|revoke|open|start NAME ...\n", stderr);
    return 2;
}

int PrintNumber(const char* what, uint32_t error) {
    std::printf("%s %u\n", what, error);
    return error == WinError::kSuccess ? 0 : 1;
}

int Open(const std::wstring& name, bool full) {
    platform::ServiceHandle manager;
    platform::ServiceHandle service;
    uint32_t error = platform::OpenServiceManager(
        full ? ServiceAccess::kManagerAllAccess : ServiceAccess::kManagerConnectEnumerateRead, manager);
    if (error == WinError::kSuccess) {
        error = platform::OpenServiceRecord(
            manager, name, full ? ServiceAccess::kServiceAllAccess : ServiceAccess::kServiceQueryStartStop,
            service);
    }
    return PrintNumber("open", error);
}

int Start(const std::wstring& name, const std::vector<std::wstring>& arguments) {
    platform::ServiceHandle manager;
    platform::ServiceHandle service;
    uint32_t error = platform::OpenServiceManager(ServiceAccess::kManagerConnectEnumerateRead, manager);
    if (error == WinError::kSuccess) {
        error = platform::OpenServiceRecord(manager, name, ServiceAccess::kServiceQueryStartStop, service);
    }
    if (error == WinError::kSuccess) {
        error = platform::StartServiceRecord(service, arguments);
    }
    return PrintNumber("start", error);
}

#ifndef _WIN32
int Send(const std::wstring& name, const std::vector<std::wstring>& arguments) {
    const std::string path = posix::ServiceSocketPath(name);
    const posix::UniqueFd connection(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), std::min(path.size() + 1, sizeof address.sun_path - 1));
    std::string frame;
    std::string reply;
    uint32_t error = posix::EncodeStartFrame(arguments, frame);
    if (error == 0 &&
        connect(connection.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = posix::LastWinError();
    }
    if (error == 0) {
        error = posix::SendPacket(connection.Get(), frame);
    }
    if (error == 0) {
        error = posix::ReceivePacket(connection.Get(), 4, 30000, reply);
    }
    if (error == 0 && !posix::DecodeStartReply(reply, error)) {
        error = WinError::kInvalidData;
    }
    return PrintNumber("send", error);
}
#endif

int Run(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    const std::string command = argv[1];
    const std::wstring name = Wide(argv[2]);
    Service service;
    if (command == "install" && argc >= 4) {
        service.Install(name, Wide(argv[3]), argc >= 5 ? Wide(argv[4]) : std::wstring());
    } else if (command == "uninstall") {
        service.Open(name, true);
        service.UnInstall();
    } else if (command == "grant") {
        service.Open(name, true);
        Permissions permissions = service.GetPermissions();
        permissions.AddAllowedAce(CSid::Users(), AccessMask::kServiceUserAccess);
        service.SetPermissions(permissions);
    } else if (command == "revoke") {
        service.Open(name, true);
        const Permissions current = service.GetPermissions();
        Dacl kept;
        for (const AccessEntry& entry : current.GetDacl().Entries()) {
            if (!(entry.sid == CSid::Users())) {
                static_cast<void>(kept.AddEntry(entry));
            }
        }
        service.SetPermissions(Permissions(kept));
    } else if (command == "open" && argc == 4) {
        return Open(name, std::string(argv[3]) == "full");
    } else if (command == "start" || command == "send") {
        std::vector<std::wstring> arguments;
        for (int i = 3; i < argc; ++i) {
            arguments.push_back(Wide(argv[i]));
        }
#ifndef _WIN32
        if (command == "send") {
            return Send(name, arguments);
        }
#endif
        return Start(name, arguments);
    } else {
        return Usage();
    }
    std::printf("%s ok\n", command.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const IMException& e) {
        std::printf("%s failed %d\n", argv[1], e.GetErrorNumber());
        return 1;
    }
}
