// Linux side of the service control manager: the service records in the settings store, the access
// check against their DACLs, the socket and units a service is started through, and the start frame.
// Shared by the client calls (ServiceControlPosix.cpp) and the activated service (service/posix).
#pragma once

#include "base/posix/Descriptor.h"
#include "system/CSid.h"
#include "system/Dacl.h"
#include "system/posix/RegistryStore.h"

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ZEPMaintenance::posix {

namespace ServiceRights {
inline constexpr uint32_t kQueryConfig = 0x0001;
inline constexpr uint32_t kChangeConfig = 0x0002;
inline constexpr uint32_t kQueryStatus = 0x0004;
inline constexpr uint32_t kEnumerateDependents = 0x0008;
inline constexpr uint32_t kStart = 0x0010;
inline constexpr uint32_t kStop = 0x0020;
inline constexpr uint32_t kInterrogate = 0x0080;
inline constexpr uint32_t kUserDefinedControl = 0x0100;
inline constexpr uint32_t kDelete = 0x00010000;
inline constexpr uint32_t kReadControl = 0x00020000;
inline constexpr uint32_t kWriteDac = 0x00040000;
inline constexpr uint32_t kWriteOwner = 0x00080000;
inline constexpr uint32_t kAllAccess = 0xF01FF;
// Rights that change the record: the store takes them from root only.
inline constexpr uint32_t kWriting = kChangeConfig | kDelete | kWriteDac | kWriteOwner;
} // namespace ServiceRights

// The record of a service: HKLM\SYSTEM\CurrentControlSet\Services\<name>.
inline constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";

// What a new service is given, close to what the Windows manager gives one: Builtin Administrators all
// access; LocalSystem everything but changing the record; Builtin Users may query and interrogate it but
// not start it. The installation adds the start right for Users itself.
Dacl DefaultServiceDacl();

// The SIDs a process of uid holds in an access check: its own (LocalSystem and Builtin Administrators for
// root), Builtin Users, Authenticated Users and Everyone.
std::vector<CSid> CallerSids(uid_t uid);
// The Windows access check: entries in order, an inherit-only one skipped; a matching deny entry that
// names a wanted right refuses, matching allow entries grant until every wanted right is granted. A null
// DACL grants everything, an empty one nothing.
bool AccessGranted(const Dacl& dacl, const std::vector<CSid>& sids, uint32_t desired);

// The name the service's units and socket take: the name lower-cased (the manager compares names without
// regard to case), a-z, 0-9 and '-' kept, every other byte of its UTF-8 as "_xx", so that no two names
// share units.
std::string ServiceUnitName(const std::wstring& name);
// <root>/run/zepmaintenance/service/<unit>.sock, the socket the unit listens on.
std::string ServiceSocketPath(const std::wstring& name);
// <root>/run/zepmaintenance/service, root's and written by nobody else; root makes what is missing when
// create. ERROR_CANT_ACCESS_FILE for a folder that is not root's or that others may write.
[[nodiscard]] uint32_t OpenServiceFolder(bool create, UniqueFd& folder);
// <root>/etc/systemd/system, checked as the service folder is.
[[nodiscard]] uint32_t OpenUnitFolder(bool create, UniqueFd& folder);

// The record's command line as the program and its arguments: the program quoted or up to the first
// blank, the rest split at blanks outside double quotes, the quotes dropped (the product's command-line
// grammar has no escape for a quote).
std::vector<std::string> ImageArguments(const std::wstring& imagePath);

struct ServiceRecord {
    std::wstring name; // as created
    std::wstring imagePath;
    Dacl dacl = Dacl::Null();
    // The last status the service reported (SERVICE_STOPPED until it first runs) and the process that
    // reported it.
    uint32_t state = 1;
    uint32_t processId = 0;
};
// The machine's store and its Services key; root creates the key when create.
[[nodiscard]] uint32_t OpenServicesKey(bool create, std::shared_ptr<RegistryStore>& store, int64_t& services);
// The record's key below Services: ERROR_INVALID_NAME for a name that is empty or holds a slash or
// backslash, 1060 when there is none.
[[nodiscard]] uint32_t OpenServiceKey(RegistryStore& store, int64_t services, const std::wstring& name,
                                      int64_t& key);
[[nodiscard]] uint32_t ReadServiceRecordAt(RegistryStore& store, int64_t key, ServiceRecord& record);
// Reads the record of name from the machine's store.
[[nodiscard]] uint32_t ReadServiceRecord(const std::wstring& name, ServiceRecord& record);
// A new record (own process, on demand, error control normal, LocalSystem, the default DACL): 1073
// when one of that name exists.
[[nodiscard]] uint32_t CreateServiceRecordAt(RegistryStore& store, int64_t services, const std::wstring& name,
                                             const std::wstring& imagePath, int64_t& key);
[[nodiscard]] uint32_t WriteServiceDacl(RegistryStore& store, int64_t key, const Dacl& dacl);

// The socket unit and the per-connection service unit that serve name, written below the machine root
// in place of what was there; ERROR_FILENAME_EXCED_RANGE when the socket's path does not fit a socket
// address (108 bytes with its NUL).
[[nodiscard]] uint32_t WriteServiceUnits(const std::wstring& name, const std::wstring& imagePath);
[[nodiscard]] uint32_t RemoveServiceUnits(const std::wstring& name);
// Writes the status the service reports: CurrentState, Win32ExitCode and the serving process.
[[nodiscard]] uint32_t WriteServiceStatus(const std::wstring& name, uint32_t state, uint32_t exitCode,
                                          pid_t servingPid);

// Held by the process that serves the service from its claim until it stops: <unit>.lock in the service
// folder, a file of root's that nobody else can open. A second claim while it is held gives
// ERROR_SERVICE_ALREADY_RUNNING; a crashed service holds nothing.
[[nodiscard]] uint32_t ClaimServiceRun(const std::wstring& name, UniqueFd& claim);

// The start frame: "ZS1\0" and then each argument as UTF-8 followed by NUL. Bounded, never empty (an
// empty packet reads as the end of the stream).
inline constexpr std::size_t kMaxStartFrame = 65536;
[[nodiscard]] uint32_t EncodeStartFrame(const std::vector<std::wstring>& arguments, std::string& frame);
[[nodiscard]] uint32_t DecodeStartFrame(const std::string& frame, std::vector<std::wstring>& arguments);
// The reply: the Windows error number of the start, 4 bytes little-endian.
std::string EncodeStartReply(uint32_t error);
[[nodiscard]] bool DecodeStartReply(const std::string& reply, uint32_t& error);

// One packet on a SOCK_SEQPACKET connection, never raising SIGPIPE.
[[nodiscard]] uint32_t SendPacket(int connection, const std::string& packet);
// One packet of at most limit bytes, waited for at most timeoutMs: WAIT_TIMEOUT when none came,
// ERROR_HANDLE_EOF when the peer closed, ERROR_INVALID_PARAMETER for a longer one.
[[nodiscard]] uint32_t ReceivePacket(int connection, std::size_t limit, int timeoutMs, std::string& packet);

} // namespace ZEPMaintenance::posix
