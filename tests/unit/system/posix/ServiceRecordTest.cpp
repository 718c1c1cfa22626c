// Linux side of the service manager: records in the settings store, their access checks and DACL, the
// units and socket a service is started through, the start frame and the caller's identity.
#include "system/posix/ServiceRecord.h"

#include "base/WinError.h"
#include "service/posix/ServiceActivation.h"
#include "support/MachineRoot.h"
#include "support/posix/AsNobody.h"
#include "system/platform/ServicePrimitives.h"
#include "system/posix/PosixSupport.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

namespace fs = std::filesystem;
namespace Rights = posix::ServiceRights;

constexpr uint32_t kManagerAll = 0xF003F;
constexpr uint32_t kManagerRead = 0x20005;
constexpr uint32_t kQueryStartStop = 0x34;
const std::wstring kName = L"Z.EP Test";

#define REQUIRE_ROOT()                                                                                       \
    if (geteuid() != 0) {                                                                                    \
        GTEST_SKIP() << "only root writes the settings store";                                               \
    }

uint32_t Create(const std::wstring& name, platform::ServiceHandle& service,
                const std::wstring& image = L"\"/usr/bin/true\" -mode service") {
    platform::ServiceHandle manager;
    uint32_t error = platform::OpenServiceManager(kManagerAll, manager);
    return error != 0 ? error : platform::CreateServiceRecord(manager, name, image, service);
}

uint32_t Open(const std::wstring& name, uint32_t managerAccess, uint32_t access,
              platform::ServiceHandle& service) {
    platform::ServiceHandle manager;
    uint32_t error = platform::OpenServiceManager(managerAccess, manager);
    return error != 0 ? error : platform::OpenServiceRecord(manager, name, access, service);
}

uint32_t OpenAs(const std::wstring& name, uint32_t managerAccess, uint32_t access) {
    platform::ServiceHandle service;
    return Open(name, managerAccess, access, service);
}

// An error number as a child's exit status, which keeps 8 bits only.
int ExitStatusOf(uint32_t error) {
    constexpr uint32_t kKnown[] = {0, 5, 1056, 1058, 1920};
    for (const uint32_t known : kKnown) {
        if (error == known) {
            return static_cast<int>(known % 100);
        }
    }
    return 99;
}

fs::path UnitFolder() {
    return posix::UnderMachineRoot("etc/systemd/system");
}

TEST(ServiceRecordTest, CreateOpenDelete) {
    REQUIRE_ROOT();
    test::ScopedMachineRoot machine;
    platform::ServiceHandle service;
    ASSERT_EQ(Create(kName, service), 0u);
    EXPECT_TRUE(fs::exists(UnitFolder() / "z_2eep_20test.socket"));
    EXPECT_TRUE(fs::exists(UnitFolder() / "z_2eep_20test@.service"));

    platform::ServiceHandle again;
    struct Case {
        const char* what;
        std::wstring name;
        uint32_t error;
    };
    const Case creates[] = {{"same name", kName, WinError::kServiceExists},
                            {"other case", L"z.ep TEST", WinError::kServiceExists},
                            {"a path", L"a\\b", WinError::kInvalidName},
                            {"empty", L"", WinError::kInvalidName}};
    for (const Case& c : creates) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Create(c.name, again), c.error);
    }
    const Case opens[] = {{"missing", L"Nothing", WinError::kServiceDoesNotExist},
                          {"other case", L"Z.EP TEST", 0},
                          {"exact", kName, 0}};
    for (const Case& c : opens) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(OpenAs(c.name, kManagerRead, kQueryStartStop), c.error);
    }

    platform::ServiceHandle opened;
    ASSERT_EQ(Open(kName, kManagerAll, Rights::kAllAccess, opened), 0u);
    EXPECT_EQ(platform::DeleteServiceRecord(opened), 0u);
    EXPECT_EQ(OpenAs(kName, kManagerRead, kQueryStartStop), WinError::kServiceDoesNotExist);
    EXPECT_FALSE(fs::exists(UnitFolder() / "z_2eep_20test.socket"));
    EXPECT_FALSE(fs::exists(UnitFolder() / "z_2eep_20test@.service"));
    // A handle to a deleted record.
    Dacl dacl;
    EXPECT_EQ(platform::GetServiceDacl(service, dacl), WinError::kServiceMarkedForDelete);
    EXPECT_EQ(platform::DeleteServiceRecord(service), WinError::kServiceMarkedForDelete);
    // The name is free again.
    EXPECT_EQ(Create(kName, again), 0u);
}

TEST(ServiceRecordTest, DaclRoundTripAndDefault) {
    REQUIRE_ROOT();
    test::ScopedMachineRoot machine;
    platform::ServiceHandle service;
    ASSERT_EQ(Create(kName, service), 0u);
    Dacl read;
    ASSERT_EQ(platform::GetServiceDacl(service, read), 0u);
    EXPECT_EQ(read.ToString(), posix::DefaultServiceDacl().ToString());
    EXPECT_EQ(read.ToString(),
              L"D:(A;;0xf01ff;;;S-1-5-32-544)(A;;0x201fd;;;S-1-5-18)(A;;0x2018d;;;S-1-5-32-545)");

    Dacl written;
    ASSERT_EQ(written.AddEntry({CSid(22, {1, 1234}), Rights::kStart, kAccessDeniedAceType, 0}), 0u);
    ASSERT_EQ(written.AddAllowedAce(CSid::Administrators(), Rights::kAllAccess, 0), 0u);
    ASSERT_EQ(written.AddAllowedAce(CSid::Users(), 0x20034, 0x03), 0u);
    ASSERT_EQ(platform::SetServiceDacl(service, written), 0u);
    platform::ServiceHandle reopened;
    ASSERT_EQ(Open(kName, kManagerAll, Rights::kAllAccess, reopened), 0u);
    ASSERT_EQ(platform::GetServiceDacl(reopened, read), 0u);
    EXPECT_EQ(read.ToString(), written.ToString());

    // Without the rights in the handle.
    platform::ServiceHandle limited;
    ASSERT_EQ(Open(kName, kManagerRead, kQueryStartStop, limited), 0u);
    EXPECT_EQ(platform::GetServiceDacl(limited, read), WinError::kAccessDenied);
    EXPECT_EQ(platform::SetServiceDacl(limited, written), WinError::kAccessDenied);
    EXPECT_EQ(platform::DeleteServiceRecord(limited), WinError::kAccessDenied);
}

// What an ordinary user may open, before and after the installation grants Users the start right.
TEST(ServiceRecordTest, AccessOfAnOrdinaryUser) {
    REQUIRE_ROOT();
    test::ScopedMachineRoot machine;
    platform::ServiceHandle service;
    ASSERT_EQ(Create(kName, service), 0u);
    const auto asNobody = [](uint32_t managerAccess, uint32_t access) {
        return test::AsNobody([=] { return static_cast<int>(OpenAs(kName, managerAccess, access)); });
    };
    EXPECT_EQ(asNobody(kManagerAll, Rights::kQueryStatus), 5);
    EXPECT_EQ(asNobody(kManagerRead, Rights::kQueryStatus), 0);
    EXPECT_EQ(asNobody(kManagerRead, kQueryStartStop), 5);

    Dacl granted = posix::DefaultServiceDacl();
    ASSERT_EQ(granted.AddAllowedAce(CSid::Users(), 0x20034, 0x03), 0u);
    ASSERT_EQ(platform::SetServiceDacl(service, granted), 0u);
    EXPECT_EQ(asNobody(kManagerRead, kQueryStartStop), 0);
    // Changing the record stays root's, whatever the DACL says.
    Dacl everything;
    ASSERT_EQ(everything.AddAllowedAce(CSid::Users(), Rights::kAllAccess, 0), 0u);
    ASSERT_EQ(platform::SetServiceDacl(service, everything), 0u);
    EXPECT_EQ(asNobody(kManagerRead, Rights::kWriteDac), 5);
    EXPECT_EQ(asNobody(kManagerRead, Rights::kDelete), 5);
}

TEST(ServiceRecordTest, AccessCheck) {
    const CSid user(22, {1, 1000});
    const std::vector<CSid> sids = posix::CallerSids(1000);
    struct Case {
        const char* what;
        std::vector<AccessEntry> entries;
        bool null;
        uint32_t desired;
        bool granted;
    };
    const Case cases[] = {
        {"null grants", {}, true, Rights::kAllAccess, true},
        {"empty denies", {}, false, Rights::kStart, false},
        {"user allowed", {{user, Rights::kStart, kAccessAllowedAceType, 0}}, false, Rights::kStart, true},
        {"through Users", {{CSid::Users(), 0x20034, kAccessAllowedAceType, 3}}, false, kQueryStartStop, true},
        {"part only",
         {{CSid::Users(), Rights::kStart, kAccessAllowedAceType, 0}},
         false,
         kQueryStartStop,
         false},
        {"two entries add up",
         {{CSid::Users(), Rights::kStart, kAccessAllowedAceType, 0},
          {user, Rights::kStop | Rights::kQueryStatus, kAccessAllowedAceType, 0}},
         false,
         kQueryStartStop,
         true},
        {"deny first",
         {{user, Rights::kStart, kAccessDeniedAceType, 0},
          {CSid::Users(), 0x20034, kAccessAllowedAceType, 0}},
         false,
         Rights::kStart,
         false},
        {"deny after the grant",
         {{CSid::Users(), 0x20034, kAccessAllowedAceType, 0},
          {user, Rights::kStart, kAccessDeniedAceType, 0}},
         false,
         Rights::kStart,
         true},
        {"inherit only skipped",
         {{user, Rights::kStart, kAccessAllowedAceType, 0x08}},
         false,
         Rights::kStart,
         false},
        {"other user",
         {{CSid(22, {1, 1001}), Rights::kStart, kAccessAllowedAceType, 0}},
         false,
         Rights::kStart,
         false},
        {"administrators are not every user",
         {{CSid::Administrators(), Rights::kAllAccess, kAccessAllowedAceType, 0}},
         false,
         Rights::kStart,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Dacl dacl = c.null ? Dacl::Null() : Dacl();
        for (const AccessEntry& entry : c.entries) {
            ASSERT_EQ(dacl.AddEntry(entry), 0u);
        }
        EXPECT_EQ(posix::AccessGranted(dacl, sids, c.desired), c.granted);
    }
    // Root is an administrator.
    Dacl administrators;
    ASSERT_EQ(administrators.AddAllowedAce(CSid::Administrators(), Rights::kAllAccess, 0), 0u);
    EXPECT_TRUE(posix::AccessGranted(administrators, posix::CallerSids(0), Rights::kAllAccess));
}

TEST(ServiceRecordTest, UnitNamesAreDistinctPerName) {
    struct Case {
        std::wstring name;
        std::string unit;
    };
    const Case cases[] = {{L"Z.EP Maintenance Service2", "z_2eep_20maintenance_20service2"},
                          {L"z.ep maintenance service2", "z_2eep_20maintenance_20service2"},
                          {L"a-b", "a-b"},
                          {L"a_b", "a_5fb"},
                          {L"a b", "a_20b"},
                          {L"../x", "_2e_2e_2fx"},
                          {L"\u00e9", "_c3_89"}};
    for (const Case& c : cases) {
        EXPECT_EQ(posix::ServiceUnitName(c.name), c.unit);
    }
}

TEST(ServiceRecordTest, ImageArguments) {
    using Vector = std::vector<std::string>;
    EXPECT_EQ(posix::ImageArguments(L"\"/opt/Z EP/zep\" -mode service"),
              (Vector{"/opt/Z EP/zep", "-mode", "service"}));
    EXPECT_EQ(posix::ImageArguments(L"\"/opt/zep\""), (Vector{"/opt/zep"}));
    EXPECT_EQ(posix::ImageArguments(L"/opt/zep  -a \"b c\""), (Vector{"/opt/zep", "-a", "b c"}));
    EXPECT_EQ(posix::ImageArguments(L"\"/opt/zep\" \"\""), (Vector{"/opt/zep", ""}));
}

TEST(ServiceRecordTest, SocketPathBeyondASocketAddressIsRefused) {
    REQUIRE_ROOT();
    test::ScopedMachineRoot machine;
    const fs::path deep = fs::path(posix::MachineRoot()) / std::string(100, 'd');
    fs::create_directories(deep / "var/lib");
    ASSERT_EQ(setenv("ZEP_MACHINE_ROOT", deep.c_str(), 1), 0);
    platform::ServiceHandle service;
    EXPECT_EQ(Create(kName, service), WinError::kFilenameExcedRange);
    // No record is left without its units.
    EXPECT_EQ(OpenAs(kName, kManagerRead, Rights::kQueryStatus), WinError::kServiceDoesNotExist);
}

TEST(ServiceRecordTest, StartFrame) {
    const std::vector<std::wstring> arguments = {L"-op", L"update", L"", L"-pp", L"/opt/\u00e9 x"};
    std::string frame;
    ASSERT_EQ(posix::EncodeStartFrame(arguments, frame), 0u);
    std::vector<std::wstring> decoded;
    ASSERT_EQ(posix::DecodeStartFrame(frame, decoded), 0u);
    EXPECT_EQ(decoded, arguments);
    ASSERT_EQ(posix::EncodeStartFrame({}, frame), 0u);
    EXPECT_FALSE(frame.empty());
    ASSERT_EQ(posix::DecodeStartFrame(frame, decoded), 0u);
    EXPECT_TRUE(decoded.empty());

    EXPECT_EQ(posix::EncodeStartFrame({std::wstring(L"a\0b", 3)}, frame), WinError::kInvalidParameter);
    EXPECT_EQ(posix::EncodeStartFrame({std::wstring(posix::kMaxStartFrame, L'x')}, frame),
              WinError::kInvalidParameter);
    for (const std::string& bad : {std::string("ZS2", 4) + "a", std::string("ZS1", 4) + "a",
                                   std::string("ZS"), std::string(posix::kMaxStartFrame + 1, '\0')}) {
        EXPECT_EQ(posix::DecodeStartFrame(bad, decoded), WinError::kInvalidParameter);
    }
    uint32_t error = 0;
    EXPECT_TRUE(posix::DecodeStartReply(posix::EncodeStartReply(1056), error));
    EXPECT_EQ(error, 1056u);
    EXPECT_FALSE(posix::DecodeStartReply("abc", error));
}

// The identity of the run is the socket's, never the caller's text.
TEST(ServiceRecordTest, CallerIdentityReplacesTheSentOne) {
    using Vector = std::vector<std::wstring>;
    struct Case {
        Vector sent;
        uid_t uid;
        Vector expected;
    };
    const Case cases[] = {
        {{L"-op", L"install"},
         1000,
         {L"Svc", L"-op", L"install", L"-usid", L"S-1-22-1-1000", L"-lpid", L"77"}},
        {{L"-usid", L"S-1-5-18", L"-op", L"update", L"-lpid", L"1", L"2"},
         1000,
         {L"Svc", L"-op", L"update", L"-usid", L"S-1-22-1-1000", L"-lpid", L"77"}},
        {{L"-lpid"}, 0, {L"Svc", L"-usid", L"S-1-5-18", L"-lpid", L"77"}},
        {{L"-usidx", L"v"}, 5, {L"Svc", L"-usidx", L"v", L"-usid", L"S-1-22-1-5", L"-lpid", L"77"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(posix::ServiceMainArguments(L"Svc", c.sent, c.uid, 77), c.expected);
    }
}

// The client's side of a start: the socket must be root's, the frame carries the arguments, the reply
// the service's answer; where nothing listens only root starts the service.
TEST(ServiceRecordTest, StartThroughTheSocket) {
    REQUIRE_ROOT();
    test::ScopedMachineRoot machine;
    platform::ServiceHandle service;
    ASSERT_EQ(Create(kName, service), 0u);
    Dacl granted = posix::DefaultServiceDacl();
    ASSERT_EQ(granted.AddAllowedAce(CSid::Users(), 0x20034, 0x03), 0u);
    ASSERT_EQ(platform::SetServiceDacl(service, granted), 0u);
    const auto startAsNobody = [] {
        return test::AsNobody([] {
            platform::ServiceHandle opened;
            const uint32_t error = Open(kName, kManagerRead, kQueryStartStop, opened);
            return ExitStatusOf(error != 0 ? error
                                           : platform::StartServiceRecord(opened, {L"-op", L"install"}));
        });
    };
    EXPECT_EQ(startAsNobody(), ExitStatusOf(WinError::kServiceDisabled));

    const std::string path = posix::ServiceSocketPath(kName);
    const posix::UniqueFd listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
    ASSERT_EQ(listen(listener.Get(), 4), 0);

    // Another user's socket is nobody's to trust.
    ASSERT_EQ(chown(path.c_str(), test::kNobody, 0), 0);
    EXPECT_EQ(startAsNobody(), ExitStatusOf(WinError::kCantAccessFile));
    ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);

    // The fork happens before the answering thread starts.
    const pid_t client = test::StartAsNobody([] {
        platform::ServiceHandle opened;
        const uint32_t error = Open(kName, kManagerRead, kQueryStartStop, opened);
        return ExitStatusOf(error != 0 ? error : platform::StartServiceRecord(opened, {L"-op", L"install"}));
    });
    std::vector<std::wstring> received;
    ucred caller{};
    std::thread answer([&] {
        const posix::UniqueFd connection(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        std::string frame;
        socklen_t size = sizeof caller;
        getsockopt(connection.Get(), SOL_SOCKET, SO_PEERCRED, &caller, &size);
        if (posix::ReceivePacket(connection.Get(), posix::kMaxStartFrame, 30000, frame) == 0) {
            static_cast<void>(posix::DecodeStartFrame(frame, received));
        }
        static_cast<void>(posix::SendPacket(connection.Get(), posix::EncodeStartReply(1056)));
    });
    EXPECT_EQ(test::WaitForChild(client), ExitStatusOf(1056));
    answer.join();
    EXPECT_EQ(received, (std::vector<std::wstring>{L"-op", L"install"}));
    EXPECT_EQ(caller.uid, test::kNobody);
    EXPECT_EQ(caller.pid, client);
}

} // namespace
} // namespace ZEPMaintenance
