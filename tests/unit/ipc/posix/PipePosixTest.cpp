// Linux side of the named pipes: the socket file and its folder, stale and foreign sockets under a
// pipe's name, planted links, and other users.
#include "ipc/PipeClient.h"
#include "ipc/PipePrimitives.h"
#include "ipc/PipeServer.h"

#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "support/posix/AsNobody.h"
#include "system/posix/PosixSupport.h"
#include "system/posix/UserSid.h"
#include "unit/ipc/PipeTestSupport.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::CodeOf;
namespace fs = std::filesystem;

struct stat LinkStatus(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
}

// A socket of the test's own making, bound at path: listening (a live server) or not (one that ended
// without removing its file).
posix::UniqueFd BoundSocket(const fs::path& path, bool listening, int type = SOCK_SEQPACKET) {
    posix::UniqueFd fd(socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    EXPECT_LT(path.native().size(), sizeof address.sun_path);
    path.native().copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
    if (listening) {
        EXPECT_EQ(listen(fd.Get(), 4), 0);
    }
    return fd;
}

// Whether a client has connected to a listening socket of the test's own making.
bool HasPendingClient(int listener) {
    const posix::UniqueFd accepted(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    return accepted.IsValid();
}

// Names of a fixture's pipe shared with the bodies that run as the user nobody.
std::wstring gPipeName;

class PipePosixTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "the pipe folder below the machine root is root's to make";
        }
        gPipeName = name;
    }

    fs::path Root() const { return posix::MachineRoot(); }
    fs::path PipeFolder() const { return Root() / "run" / "zepmaintenance" / "pipe"; }
    fs::path SocketFile() const { return PipeFolder() / posix::NativePath(name.substr(9)); }

    // The folder as the first server makes it, with nothing under the name.
    void MakeFolder() {
        PipeServer first;
        first.Create(test::FreshPipeName(), ReadMode);
    }

    // Connect with the retries made short; the code it ends with.
    int32_t ConnectQuickly(PipeClient*& connected, test::CountedPauses& counted) {
        owned = std::make_unique<PipeClient>(counted.Timing());
        connected = owned.get();
        return CodeOf([&] { owned->Connect(name, WriteMode); });
    }

    CapturedLog log;
    test::ScopedMachineRoot machine;
    const std::wstring name = test::FreshPipeName();
    test::TempDir outside;
    std::unique_ptr<PipeClient> owned;
};

TEST_F(PipePosixTest, TheSocketIsTheOwnersAloneAndGoesWithTheServer) {
    PipeServer server;
    server.Create(name, ReadMode);
    const struct stat file = LinkStatus(SocketFile());
    EXPECT_TRUE(S_ISSOCK(file.st_mode));
    EXPECT_EQ(file.st_mode & 07777, 0600u);
    EXPECT_EQ(file.st_uid, geteuid());
    // Every user may make a socket in the folder, nobody may remove another's.
    const struct stat folder = LinkStatus(PipeFolder());
    EXPECT_EQ(folder.st_mode & 07777, 01777u);
    EXPECT_EQ(folder.st_uid, 0u);
    for (const fs::path& above : {Root() / "run", Root() / "run" / "zepmaintenance"}) {
        EXPECT_EQ(LinkStatus(above).st_mode & 07777, 0755u) << above;
        EXPECT_EQ(LinkStatus(above).st_uid, 0u) << above;
    }

    // A Bind that timed out leaves the pipe waiting for a later one; Close removes it.
    EXPECT_EQ(CodeOf([&] { server.Bind(1); }), 148);
    EXPECT_TRUE(fs::exists(fs::symlink_status(SocketFile())));
    server.Close();
    EXPECT_FALSE(fs::exists(fs::symlink_status(SocketFile())));

    // So does destruction, after a conversation.
    {
        PipeServer talking;
        talking.Create(name, ReadMode);
        PipeClient client;
        client.Connect(name, WriteMode);
        talking.Bind();
        EXPECT_TRUE(fs::exists(fs::symlink_status(SocketFile())));
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(SocketFile())));
}

TEST_F(PipePosixTest, AStaleSocketOfTheSameUserDoesNotBlockANewServer) {
    MakeFolder();
    // A server that ended without removing its file: nothing listens on it.
    { const posix::UniqueFd crashed = BoundSocket(SocketFile(), false); }
    ASSERT_TRUE(fs::exists(fs::symlink_status(SocketFile())));
    PipeServer server;
    server.Create(name, ReadMode);
    PipeClient client;
    client.Connect(name, WriteMode);
    server.Bind();
    client.WriteSynch({0, L"after the crash"});
    PipeMessage message;
    ASSERT_TRUE(test::NextMessage(server, message)) << log.Dump();
    EXPECT_EQ(message.msg, L"after the crash");
}

TEST_F(PipePosixTest, LiveAndForeignSocketsUnderTheNameAreLeftAlone) {
    MakeFolder();
    // A live server of the same user keeps its socket: the new one fails as a second instance does.
    {
        const posix::UniqueFd live = BoundSocket(SocketFile(), true);
        const ino_t inode = LinkStatus(SocketFile()).st_ino;
        PipeServer second;
        EXPECT_EQ(CodeOf([&] { second.Create(name, ReadMode); }), 147);
        EXPECT_TRUE(log.Has(LevelError, L"Create: CreateNamedPipe failed. (lastError: 5)")) << log.Dump();
        EXPECT_EQ(LinkStatus(SocketFile()).st_ino, inode);
        ASSERT_EQ(unlink(SocketFile().c_str()), 0);
    }
    // Another user's socket stays, whether anything listens on it or not.
    {
        const posix::UniqueFd foreign = BoundSocket(SocketFile(), false);
        ASSERT_EQ(lchown(SocketFile().c_str(), test::kNobody, test::kNobody), 0);
        log.Clear();
        PipeServer server;
        EXPECT_EQ(CodeOf([&] { server.Create(name, ReadMode); }), 147);
        EXPECT_TRUE(log.Has(LevelError, L"Create: CreateNamedPipe failed. (lastError: 5)"));
        EXPECT_EQ(LinkStatus(SocketFile()).st_uid, test::kNobody);
        ASSERT_EQ(unlink(SocketFile().c_str()), 0);
    }
    // A socket of another kind is no pipe of ours, to server or client.
    {
        const posix::UniqueFd stream = BoundSocket(SocketFile(), true, SOCK_STREAM);
        log.Clear();
        PipeServer server;
        EXPECT_EQ(CodeOf([&] { server.Create(name, ReadMode); }), 147);
        test::CountedPauses counted;
        PipeClient* client = nullptr;
        EXPECT_EQ(ConnectQuickly(client, counted), 149);
        EXPECT_TRUE(log.Has(LevelError, L"Connect: Could not opet pipe. (lastError: 5)")) << log.Dump();
        EXPECT_FALSE(HasPendingClient(stream.Get()));
    }
}

TEST_F(PipePosixTest, ALinkPlantedUnderTheNameIsNeverFollowed) {
    MakeFolder();
    // Pointing at a file: the server neither removes the link nor makes anything at its target.
    const fs::path precious = outside.FsPath() / "precious.txt";
    test::WriteTextFile(precious.wstring(), "precious");
    fs::create_symlink(precious, SocketFile());
    PipeServer server;
    EXPECT_EQ(CodeOf([&] { server.Create(name, ReadMode); }), 147);
    EXPECT_TRUE(log.Has(LevelError, L"Create: CreateNamedPipe failed. (lastError: 5)")) << log.Dump();
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(SocketFile())));
    EXPECT_EQ(test::ReadTextFile(precious.wstring()), "precious");
    EXPECT_EQ(LinkStatus(precious).st_nlink, 1u);

    // Pointing at a live socket elsewhere: the client does not connect through it, nor retry.
    fs::remove(SocketFile());
    const fs::path elsewhere = outside.FsPath() / "elsewhere";
    const posix::UniqueFd listener = BoundSocket(elsewhere, true);
    fs::create_symlink(elsewhere, SocketFile());
    test::CountedPauses counted;
    PipeClient* client = nullptr;
    EXPECT_EQ(ConnectQuickly(client, counted), 149);
    EXPECT_TRUE(log.Has(LevelError, L"Connect: Could not opet pipe. (lastError: 1920)")) << log.Dump();
    EXPECT_TRUE(counted.pauses.empty());
    EXPECT_FALSE(HasPendingClient(listener.Get()));
}

TEST_F(PipePosixTest, APipeFolderThatIsALinkOrNotRootsAloneIsRefused) {
    const fs::path elsewhere = outside.FsPath() / "folder";
    fs::create_directories(elsewhere);
    fs::permissions(elsewhere, fs::perms(01777));
    fs::create_directories(Root() / "run" / "zepmaintenance");
    fs::create_symlink(elsewhere, PipeFolder());
    PipeServer server;
    EXPECT_EQ(CodeOf([&] { server.Create(name, ReadMode); }), 147);
    EXPECT_TRUE(log.Has(LevelError, L"Create: CreateNamedPipe failed. (lastError: 1920)")) << log.Dump();
    test::CountedPauses counted;
    PipeClient* client = nullptr;
    EXPECT_EQ(ConnectQuickly(client, counted), 149);
    EXPECT_TRUE(log.Has(LevelError, L"Connect: Could not opet pipe. (lastError: 1920)"));
    EXPECT_TRUE(fs::is_empty(elsewhere));
    fs::remove(PipeFolder());

    // A folder on the way that others may alter is not used either: they could swap what lies below.
    const struct {
        fs::path folder;
        fs::perms mode;
        uid_t owner;
    } unsafe[] = {{PipeFolder(), fs::perms(0777), 0},
                  {PipeFolder(), fs::perms(01777), test::kNobody},
                  {Root() / "run" / "zepmaintenance", fs::perms(0777), 0},
                  {Root() / "run", fs::perms(0755), test::kNobody}};
    for (const auto& [folder, mode, owner] : unsafe) {
        MakeFolder();
        fs::permissions(folder, mode);
        ASSERT_EQ(lchown(folder.c_str(), owner, 0), 0);
        log.Clear();
        EXPECT_EQ(CodeOf([&] { server.Create(name, ReadMode); }), 147) << folder;
        EXPECT_TRUE(log.Has(LevelError, L"Create: CreateNamedPipe failed. (lastError: 1920)")) << folder;
        fs::remove_all(Root() / "run");
    }
}

TEST_F(PipePosixTest, NamesAreOneComponentAfterTheWindowsPrefix) {
    for (const wchar_t* bad : {L"\\\\.\\pipe\\a/b", L"\\\\.\\pipe\\..", L"\\\\.\\pipe\\a\\b",
                               L"\\\\.\\pipes\\x", L"\\\\.\\pipe\\", L"ZEPMaintenance_1_2"}) {
        log.Clear();
        PipeServer server;
        EXPECT_EQ(CodeOf([&] { server.Create(bad, ReadMode); }), 147) << bad;
        EXPECT_TRUE(log.Has(LevelError, L"Create: CreateNamedPipe failed. (lastError: 123)")) << bad;
    }
    // The prefix is compared as Windows compares it, without regard to case.
    PipeServer upper;
    upper.Create(L"\\\\.\\PIPE\\Upper_" + name.substr(9), ReadMode);
    EXPECT_TRUE(fs::exists(fs::symlink_status(PipeFolder() / ("Upper_" + SocketFile().filename().string()))));
    // The socket's address holds the name whatever the machine root.
    log.Clear();
    PipeServer longName;
    EXPECT_EQ(CodeOf([&] { longName.Create(L"\\\\.\\pipe\\" + std::wstring(120, L'n'), ReadMode); }), 147);
    EXPECT_TRUE(log.Has(LevelError, L"Create: CreateNamedPipe failed. (lastError: 206)"));
}

TEST_F(PipePosixTest, AnEmptyPacketIsTheEndOfTheStream) {
    PipeServer server;
    server.Create(name, ReadMode);
    posix::UniqueFd raw(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    SocketFile().native().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(connect(raw.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    server.Bind();
    ASSERT_EQ(send(raw.Get(), "", 0, MSG_NOSIGNAL), 0);
    server.WaitForThreads();
    EXPECT_TRUE(log.Has(LevelInfo, L"Receive: Client Disconnect")) << log.Dump();
    EXPECT_EQ(server.LastFailure().code, 0);
}

// Runs as nobody: a pipe of that user's own, waiting for one message; the exit status is its id.
int ServeOneMessageAsUser() {
    PipeServer server;
    server.Create(gPipeName, ReadMode);
    struct stat info {};
    const std::string file =
        posix::UnderMachineRoot("run/zepmaintenance/pipe/") + posix::NativePath(gPipeName.substr(9));
    if (lstat(file.c_str(), &info) != 0 || info.st_uid != test::kNobody || (info.st_mode & 07777) != 0600) {
        return 90;
    }
    server.Bind(60000);
    PipeMessage message;
    return test::NextMessage(server, message) ? message.id : 91;
}

// Runs as nobody: the system error of opening root's pipe.
int OpenRootsPipeAsUser() {
    platform::PipeHandle pipe;
    return static_cast<int>(platform::OpenPipe(gPipeName, WriteMode, pipe));
}

TEST_F(PipePosixTest, UsersServeTheirOwnPipesWhichOnlyTheyAndRootMayOpen) {
    MakeFolder();
    int status = -1;
    std::thread user([&] { status = test::AsNobody(ServeOneMessageAsUser); });
    // The user's server is there once its socket is.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!fs::exists(fs::symlink_status(SocketFile())) && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Connected until the user's server has read: a closed end discards what was not read yet.
    PipeClient worker;
    worker.Connect(name, WriteMode, posix::UnixUserSid(test::kNobody));
    worker.WriteSynch({7, L"from root"});
    user.join();
    EXPECT_EQ(status, 7);

    PipeServer server;
    server.Create(name, ReadMode);
    EXPECT_EQ(test::AsNobody(OpenRootsPipeAsUser), 5);
}

} // namespace
} // namespace ZEPMaintenance
