// Linux side of the service control manager: service records, their access check, units, socket folder
// and the start frame.
#include "system/posix/ServiceRecord.h"

#include "base/Utf16.h"
#include "base/WinError.h"
#include "base/posix/Utf8.h"
#include "system/WinRegistryKey.h"
#include "system/posix/PosixSupport.h"
#include "system/posix/UserSid.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace ZEPMaintenance::posix {

namespace {

constexpr wchar_t kImagePathValue[] = L"ImagePath";
constexpr wchar_t kDaclValue[] = L"Dacl";
constexpr wchar_t kStateValue[] = L"CurrentState";
constexpr wchar_t kExitCodeValue[] = L"Win32ExitCode";
constexpr wchar_t kProcessIdValue[] = L"ProcessId";

constexpr uint32_t kOwnProcess = 0x10;
constexpr uint32_t kDemandStart = 3;
constexpr uint32_t kErrorNormal = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint8_t kInheritOnlyAce = 0x08;

struct FolderStep {
    const char* name;
    mode_t mode;
};
constexpr FolderStep kServiceFolders[] = {{"run", 0755}, {"zepmaintenance", 0755}, {"service", 0755}};
constexpr FolderStep kUnitFolders[] = {{"etc", 0755}, {"systemd", 0755}, {"system", 0755}};

// Walks from the machine root without following a link; every folder must be root's and written by
// nobody else, since what root later trusts (the socket, the units) is found by these names.
template <std::size_t N>
[[nodiscard]] uint32_t OpenRootFolders(const FolderStep (&steps)[N], bool create, UniqueFd& folder) {
    UniqueFd parent = MakeDescriptor(open, MachineRoot().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!parent) {
        return errno == ENOENT ? WinError::kPathNotFound : LastWinError();
    }
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    for (const FolderStep& step : steps) {
        UniqueFd next = MakeDescriptor(openat, parent.Get(), step.name, kFlags);
        if (!next && errno == ENOENT && create && geteuid() == 0) {
            const bool made = mkdirat(parent.Get(), step.name, step.mode) == 0;
            next = MakeDescriptor(openat, parent.Get(), step.name, kFlags);
            if (made && next) {
                fchmod(next.Get(), step.mode);
            }
        }
        if (!next) {
            if (errno == ENOENT) {
                return WinError::kPathNotFound;
            }
            return errno == ELOOP || errno == ENOTDIR ? WinError::kCantAccessFile : LastWinError();
        }
        struct stat info {};
        if (fstat(next.Get(), &info) != 0) {
            return LastWinError();
        }
        if (info.st_uid != 0 || (info.st_mode & 022) != 0) {
            return WinError::kCantAccessFile;
        }
        parent = std::move(next);
    }
    folder = std::move(parent);
    return WinError::kSuccess;
}

// A REG_DWORD's number; fallback for a value of another type or size.
uint32_t DwordValue(const RegistryValue& value, uint32_t fallback) {
    if (value.type != platform::kRegDword || value.data.size() != 4) {
        return fallback;
    }
    return static_cast<uint32_t>(value.data[0]) | static_cast<uint32_t>(value.data[1]) << 8 |
           static_cast<uint32_t>(value.data[2]) << 16 | static_cast<uint32_t>(value.data[3]) << 24;
}

std::wstring TextValue(const RegistryValue& value) {
    std::size_t units = value.data.size() / 2;
    while (units > 0 && value.data[2 * units - 2] == 0 && value.data[2 * units - 1] == 0) {
        --units;
    }
    return WideFromUtf16Le(value.data.data(), units);
}

[[nodiscard]] uint32_t SetText(RegistryStore& store, int64_t key, const wchar_t* name, uint32_t type,
                               const std::wstring& text) {
    const std::vector<uint8_t> bytes = Utf16LeFromWide(text, true);
    return store.SetValue(key, name, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

[[nodiscard]] uint32_t SetDword(RegistryStore& store, int64_t key, const wchar_t* name, uint32_t number) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                              static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
    return store.SetValue(key, name, platform::kRegDword, bytes, sizeof bytes);
}

// A value of a unit file: systemd expands '%' specifiers everywhere and '$' variables in ExecStart.
std::string UnitText(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '%') {
            escaped += "%%";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// One quoted word; in ExecStart '$' also starts a variable.
std::string QuotedUnitText(const std::string& text, bool variables = false) {
    std::string quoted = "\"";
    for (const char c : UnitText(text)) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        if (c == '$' && variables) {
            quoted += '$';
        }
        quoted += c;
    }
    return quoted + "\"";
}

// Replaces name in folder by text: written aside, synced, then renamed over, so that a reader sees
// either unit whole.
[[nodiscard]] uint32_t ReplaceFile(int folder, const std::string& name, const std::string& text) {
    const std::string aside = "." + name + ".new";
    unlinkat(folder, aside.c_str(), 0);
    const UniqueFd file = MakeDescriptor(openat, folder, aside.c_str(),
                                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (!file) {
        return LastWinError();
    }
    fchmod(file.Get(), 0644);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = RetryAfterSignal(-1, write, file.Get(), text.data() + done, text.size() - done);
        if (wrote < 0) {
            const uint32_t error = LastWinError();
            unlinkat(folder, aside.c_str(), 0);
            return error;
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (fsync(file.Get()) != 0 || renameat(folder, aside.c_str(), folder, name.c_str()) != 0) {
        const uint32_t error = LastWinError();
        unlinkat(folder, aside.c_str(), 0);
        return error;
    }
    return WinError::kSuccess;
}

} // namespace

Dacl DefaultServiceDacl() {
    using namespace ServiceRights;
    constexpr uint32_t kUserRights = kQueryConfig | kQueryStatus | kEnumerateDependents | kInterrogate |
                                     kUserDefinedControl | kReadControl;
    constexpr uint32_t kSystemRights = (kAllAccess & ~kWriting) | kReadControl;
    Dacl dacl;
    static_cast<void>(dacl.AddAllowedAce(CSid::Administrators(), kAllAccess, 0));
    static_cast<void>(dacl.AddAllowedAce(CSid::LocalSystem(), kSystemRights, 0));
    static_cast<void>(dacl.AddAllowedAce(CSid::Users(), kUserRights, 0));
    return dacl;
}

std::vector<CSid> CallerSids(uid_t uid) {
    std::vector<CSid> sids;
    if (uid == 0) {
        sids.push_back(CSid::LocalSystem());
        sids.push_back(CSid::Administrators());
    } else {
        sids.push_back(UnixUserSid(uid));
    }
    sids.push_back(CSid::Users());
    sids.push_back(CSid(5, {11})); // Authenticated Users
    sids.push_back(CSid(1, {0}));  // Everyone
    return sids;
}

bool AccessGranted(const Dacl& dacl, const std::vector<CSid>& sids, uint32_t desired) {
    if (dacl.IsNull()) {
        return true;
    }
    uint32_t remaining = desired;
    for (const AccessEntry& entry : dacl.Entries()) {
        if (remaining == 0) {
            break;
        }
        if ((entry.flags & kInheritOnlyAce) != 0 || !entry.sid.IsValid()) {
            continue;
        }
        bool matches = false;
        for (const CSid& sid : sids) {
            matches = matches || sid == entry.sid;
        }
        if (!matches) {
            continue;
        }
        if (entry.type == kAccessDeniedAceType && (entry.mask & remaining) != 0) {
            return false;
        }
        if (entry.type == kAccessAllowedAceType) {
            remaining &= ~entry.mask;
        }
    }
    return remaining == 0;
}

std::string ServiceUnitName(const std::wstring& name) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string unit;
    for (const char byte : EncodeUtf8(FoldRegistryName(name), InvalidBytes::Escape)) {
        const auto c = static_cast<unsigned char>(byte);
        if ((c >= '0' && c <= '9') || c == '-') {
            unit += static_cast<char>(c);
        } else if (c >= 'A' && c <= 'Z') {
            unit += static_cast<char>(c - 'A' + 'a');
        } else {
            unit += '_';
            unit += kHex[c >> 4];
            unit += kHex[c & 0xF];
        }
    }
    return unit;
}

std::string ServiceSocketPath(const std::wstring& name) {
    return UnderMachineRoot("run/zepmaintenance/service/" + ServiceUnitName(name) + ".sock");
}

uint32_t OpenServiceFolder(bool create, UniqueFd& folder) {
    return OpenRootFolders(kServiceFolders, create, folder);
}

uint32_t OpenUnitFolder(bool create, UniqueFd& folder) {
    return OpenRootFolders(kUnitFolders, create, folder);
}

std::vector<std::string> ImageArguments(const std::wstring& imagePath) {
    std::vector<std::string> arguments;
    std::wstring current;
    bool quoted = false;
    bool inToken = false;
    for (const wchar_t c : imagePath) {
        if (c == L'"') {
            quoted = !quoted;
            inToken = true;
        } else if (!quoted && (c == L' ' || c == L'\t')) {
            if (inToken) {
                arguments.push_back(NativePath(current));
                current.clear();
                inToken = false;
            }
        } else {
            current += c;
            inToken = true;
        }
    }
    if (inToken) {
        arguments.push_back(NativePath(current));
    }
    return arguments;
}

uint32_t OpenServicesKey(bool create, std::shared_ptr<RegistryStore>& store, int64_t& services) {
    uint32_t error = WinError::kSuccess;
    store = RegistryStore::ForMachineRoot(error);
    if (error != WinError::kSuccess) {
        return error;
    }
    int64_t machine = 0;
    if (error = store->HiveKey(RegistryStore::Hive::LocalMachine, machine); error != WinError::kSuccess) {
        return error;
    }
    if (create && store->Writable()) {
        bool created = false;
        return store->CreateKey(machine, kServicesKey, nullptr, services, created);
    }
    error = store->OpenKey(machine, kServicesKey, services);
    // No Services key yet: no service either.
    return error == WinError::kFileNotFound || error == WinError::kPathNotFound
               ? WinError::kServiceDoesNotExist
               : error;
}

uint32_t OpenServiceKey(RegistryStore& store, int64_t services, const std::wstring& name, int64_t& key) {
    if (name.empty() || name.find_first_of(L"\\/") != std::wstring::npos) {
        return WinError::kInvalidName;
    }
    const uint32_t error = store.OpenKey(services, name, key);
    return error == WinError::kFileNotFound || error == WinError::kPathNotFound
               ? WinError::kServiceDoesNotExist
               : error;
}

uint32_t ReadServiceRecordAt(RegistryStore& store, int64_t key, ServiceRecord& record) {
    ServiceRecord read;
    if (const uint32_t error = store.KeyName(key, read.name); error != WinError::kSuccess) {
        return error == WinError::kKeyDeleted ? WinError::kServiceMarkedForDelete : error;
    }
    RegistryValue value;
    if (const uint32_t error = store.QueryValue(key, kImagePathValue, value); error != WinError::kSuccess) {
        return error;
    }
    read.imagePath = TextValue(value);
    uint32_t error = store.QueryValue(key, kDaclValue, value);
    if (error == WinError::kSuccess && !value.data.empty() &&
        !Dacl::FromAclBytes(value.data.data(), value.data.size(), read.dacl)) {
        return WinError::kInvalidSecurityDescriptor;
    }
    // No DACL stored, or an empty value: a null DACL, as a service without one has.
    if (error != WinError::kSuccess && error != WinError::kFileNotFound) {
        return error;
    }
    if (store.QueryValue(key, kStateValue, value) == WinError::kSuccess) {
        read.state = DwordValue(value, read.state);
    }
    if (store.QueryValue(key, kProcessIdValue, value) == WinError::kSuccess) {
        read.processId = DwordValue(value, 0);
    }
    record = std::move(read);
    return WinError::kSuccess;
}

namespace {

// The record of the service of that name in the machine's store.
[[nodiscard]] uint32_t OpenNamedServiceKey(const std::wstring& name, std::shared_ptr<RegistryStore>& store,
                                           int64_t& key) {
    int64_t services = 0;
    const uint32_t error = OpenServicesKey(false, store, services);
    return error == WinError::kSuccess ? OpenServiceKey(*store, services, name, key) : error;
}

// Keeps the first failure of a row of steps.
class FirstFailure {
public:
    void operator()(uint32_t result) {
        if (error_ == WinError::kSuccess) {
            error_ = result;
        }
    }
    uint32_t Result() const { return error_; }

private:
    uint32_t error_ = WinError::kSuccess;
};

} // namespace

uint32_t ReadServiceRecord(const std::wstring& name, ServiceRecord& record) {
    std::shared_ptr<RegistryStore> store;
    int64_t key = 0;
    const uint32_t error = OpenNamedServiceKey(name, store, key);
    return error == WinError::kSuccess ? ReadServiceRecordAt(*store, key, record) : error;
}

uint32_t CreateServiceRecordAt(RegistryStore& store, int64_t services, const std::wstring& name,
                               const std::wstring& imagePath, int64_t& key) {
    if (name.empty() || name.find_first_of(L"\\/") != std::wstring::npos || Utf16Length(name) > 256) {
        return WinError::kInvalidName;
    }
    // One change: the record is there whole or not at all, even after a crash.
    return store.Batch([&] {
        bool created = false;
        if (const uint32_t error = store.CreateKey(services, name, nullptr, key, created);
            error != WinError::kSuccess) {
            return error;
        }
        if (!created) {
            return WinError::kServiceExists;
        }
        FirstFailure then;
        then(WriteServiceDacl(store, key, DefaultServiceDacl()));
        then(SetDword(store, key, L"Type", kOwnProcess));
        then(SetDword(store, key, L"Start", kDemandStart));
        then(SetDword(store, key, L"ErrorControl", kErrorNormal));
        then(SetText(store, key, L"ObjectName", platform::kRegSz, L"LocalSystem"));
        then(SetText(store, key, L"DisplayName", platform::kRegSz, name));
        then(SetDword(store, key, kStateValue, 1));
        then(SetText(store, key, kImagePathValue, kRegExpandSz, imagePath));
        return then.Result();
    });
}

uint32_t WriteServiceDacl(RegistryStore& store, int64_t key, const Dacl& dacl) {
    // A null DACL is stored as an empty value.
    const std::vector<uint8_t> bytes = dacl.ToAclBytes();
    const uint32_t error = store.SetValue(key, kDaclValue, platform::kRegBinary, bytes.data(),
                                          static_cast<uint32_t>(bytes.size()));
    return error == WinError::kKeyDeleted ? WinError::kServiceMarkedForDelete : error;
}

uint32_t WriteServiceStatus(const std::wstring& name, uint32_t state, uint32_t exitCode, pid_t servingPid) {
    std::shared_ptr<RegistryStore> store;
    int64_t key = 0;
    if (const uint32_t error = OpenNamedServiceKey(name, store, key); error != WinError::kSuccess) {
        return error;
    }
    // One status: nobody reads a state with the exit code or process of another.
    return store->Batch([&] {
        FirstFailure then;
        then(SetDword(*store, key, kStateValue, state));
        then(SetDword(*store, key, kExitCodeValue, exitCode));
        then(SetDword(*store, key, kProcessIdValue, static_cast<uint32_t>(servingPid)));
        return then.Result();
    });
}

uint32_t WriteServiceUnits(const std::wstring& name, const std::wstring& imagePath) {
    const std::string unit = ServiceUnitName(name);
    const std::string socketPath = ServiceSocketPath(name);
    if (socketPath.size() >= sizeof(sockaddr_un{}.sun_path)) {
        return WinError::kFilenameExcedRange;
    }
    const std::vector<std::string> image = ImageArguments(imagePath);
    if (image.empty() || image.front().empty() || image.front()[0] != '/') {
        return WinError::kBadPathname;
    }
    UniqueFd serviceFolder;
    UniqueFd unitFolder;
    uint32_t error = OpenServiceFolder(true, serviceFolder);
    if (error == WinError::kSuccess) {
        error = OpenUnitFolder(true, unitFolder);
    }
    if (error != WinError::kSuccess) {
        return error;
    }
    const std::string displayName = UnitText(EncodeUtf8(name, InvalidBytes::Replace));
    // Every user may connect; the service checks each caller against the service's DACL itself.
    const std::string socketUnit =
        "# The start requests of the service \"" + displayName + "\".\n[Unit]\nDescription=" + displayName +
        " (start requests)\n\n[Socket]\nListenSequentialPacket=" + UnitText(socketPath) +
        "\nAccept=yes\nSocketUser=root\nSocketGroup=root\nSocketMode=0666\n"
        "DirectoryMode=0755\nRemoveOnStop=yes\nMaxConnections=16\n\n"
        "[Install]\nWantedBy=sockets.target\n";
    std::string exec;
    for (const std::string& argument : image) {
        if (!exec.empty()) {
            exec += ' ';
        }
        exec += QuotedUnitText(argument, true);
    }
    std::string serviceUnit = "# One start of the service \"" + displayName +
                              "\", on one connection.\n[Unit]\n" + "Description=" + displayName +
                              "\n\n[Service]\nType=simple\nUser=root\nExecStart=" + exec + "\n";
    if (MachineRoot() != "/") {
        serviceUnit += "Environment=" + QuotedUnitText("ZEP_MACHINE_ROOT=" + MachineRoot()) + "\n";
    }
    error = ReplaceFile(unitFolder.Get(), unit + "@.service", serviceUnit);
    if (error == WinError::kSuccess) {
        error = ReplaceFile(unitFolder.Get(), unit + ".socket", socketUnit);
    }
    return error;
}

uint32_t RemoveServiceUnits(const std::wstring& name) {
    const std::string unit = ServiceUnitName(name);
    UniqueFd unitFolder;
    uint32_t error = OpenUnitFolder(false, unitFolder);
    if (error == WinError::kPathNotFound) {
        return WinError::kSuccess;
    }
    if (error != WinError::kSuccess) {
        return error;
    }
    for (const std::string& file : {unit + ".socket", unit + "@.service"}) {
        if (unlinkat(unitFolder.Get(), file.c_str(), 0) != 0 && errno != ENOENT &&
            error == WinError::kSuccess) {
            error = LastWinError();
        }
    }
    return error;
}

uint32_t ClaimServiceRun(const std::wstring& name, UniqueFd& claim) {
    UniqueFd folder;
    if (const uint32_t error = OpenServiceFolder(true, folder); error != WinError::kSuccess) {
        return error;
    }
    const std::string file = ServiceUnitName(name) + ".lock";
    UniqueFd lock = MakeDescriptor(openat, folder.Get(), file.c_str(),
                                   O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (!lock) {
        return LastWinError();
    }
    struct stat info {};
    if (fstat(lock.Get(), &info) != 0) {
        return LastWinError();
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != 0 || (info.st_mode & 077) != 0) {
        return WinError::kCantAccessFile;
    }
    if (RetryAfterSignal(-1, flock, lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? WinError::kServiceAlreadyRunning : LastWinError();
    }
    claim = std::move(lock);
    return WinError::kSuccess;
}

uint32_t EncodeStartFrame(const std::vector<std::wstring>& arguments, std::string& frame) {
    std::string encoded("ZS1", 4);
    for (const std::wstring& argument : arguments) {
        if (argument.find(L'\0') != std::wstring::npos) {
            return WinError::kInvalidParameter;
        }
        encoded += EncodeUtf8(argument, InvalidBytes::Escape);
        encoded += '\0';
        if (encoded.size() > kMaxStartFrame) {
            return WinError::kInvalidParameter;
        }
    }
    frame = std::move(encoded);
    return WinError::kSuccess;
}

uint32_t DecodeStartFrame(const std::string& frame, std::vector<std::wstring>& arguments) {
    const std::string_view magic("ZS1", 4);
    if (frame.size() > kMaxStartFrame || frame.compare(0, magic.size(), magic) != 0 ||
        (frame.size() > magic.size() && frame.back() != '\0')) {
        return WinError::kInvalidParameter;
    }
    std::vector<std::wstring> decoded;
    std::size_t start = magic.size();
    while (start < frame.size()) {
        const std::size_t end = frame.find('\0', start);
        decoded.push_back(
            DecodeUtf8(std::string_view(frame).substr(start, end - start), InvalidBytes::Escape));
        start = end + 1;
    }
    arguments = std::move(decoded);
    return WinError::kSuccess;
}

std::string EncodeStartReply(uint32_t error) {
    const char bytes[4] = {static_cast<char>(error & 0xFF), static_cast<char>((error >> 8) & 0xFF),
                           static_cast<char>((error >> 16) & 0xFF), static_cast<char>((error >> 24) & 0xFF)};
    return std::string(bytes, 4);
}

bool DecodeStartReply(const std::string& reply, uint32_t& error) {
    if (reply.size() != 4) {
        return false;
    }
    error = 0;
    for (int i = 3; i >= 0; --i) {
        error = error << 8 | static_cast<uint8_t>(reply[static_cast<std::size_t>(i)]);
    }
    return true;
}

uint32_t SendPacket(int connection, const std::string& packet) {
    const ssize_t sent = RetryAfterSignal(-1, send, connection, packet.data(), packet.size(), MSG_NOSIGNAL);
    if (sent < 0) {
        return LastWinError();
    }
    return static_cast<std::size_t>(sent) == packet.size() ? WinError::kSuccess : WinError::kBrokenPipe;
}

uint32_t ReceivePacket(int connection, std::size_t limit, int timeoutMs, std::string& packet) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return WinError::kWaitTimeout;
        }
        pollfd wait{connection, POLLIN, 0};
        const int ready = poll(&wait, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return LastWinError();
        }
        if (ready == 0) {
            return WinError::kWaitTimeout;
        }
        std::string buffer(limit + 1, '\0');
        const ssize_t got =
            RetryAfterSignal(-1, recv, connection, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (got < 0) {
            return errno == ECONNRESET ? WinError::kHandleEof : LastWinError();
        }
        if (got == 0) {
            return WinError::kHandleEof;
        }
        if (static_cast<std::size_t>(got) > limit) {
            return WinError::kInvalidParameter;
        }
        buffer.resize(static_cast<std::size_t>(got));
        packet = std::move(buffer);
        return WinError::kSuccess;
    }
}

} // namespace ZEPMaintenance::posix
