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

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

using test::CodeOf;
namespace fs = std::filesystem;

struct stat LinkStatus(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
}

bool Exists(const fs::path& path) {
    return fs::exists(fs::symlink_status(path));
}

sockaddr_un Address(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    EXPECT_LT(path.native().size(), sizeof address.sun_path);
    path.native().copy(address.sun_path, sizeof address.sun_path - 1);
    return address;
}

// A socket of the test's own making, bound at path: listening (a live server) or not (one that ended
// without removing its file).
posix::UniqueFd BoundSocket(const fs::path& path, bool listening, int type = SOCK_SEQPACKET) {
    posix::UniqueFd fd(socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const sockaddr_un address = Address(path);
    EXPECT_EQ(bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
    if (listening) {
        EXPECT_EQ(listen(fd.Get(), 4), 0);
    }
    return fd;
}

// Whether a client has connected to a listening socket of the test's own making.
bool HasPendingClient(int listener) {
    return posix::UniqueFd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)).IsValid();
}

class PipePosixTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "the pipe folder below the machine root is root's to make";
        }
    }

    fs::path Root() const { return posix::MachineRoot(); }
    fs::path PipeFolder() const { return Root() / "run" / "zepmaintenance" / "pipe"; }
    fs::path SocketFile() const { return PipeFolder() / posix::NativePath(name.substr(9)); }

    // The folder as the first server makes it, with nothing under the name.
    void MakeFolder() {
        PipeServer first;
        first.Create(test::FreshPipeName(), ReadMode);
    }

    // A new server under the name fails with 147 and this system error.
    testing::AssertionResult CreateRefused(uint32_t lastError, const std::wstring& pipe) {
        log.Clear();
        PipeServer server;
        const int32_t code = CodeOf([&] { server.Create(pipe, ReadMode); });
        return Refused(code, 147, L"Create: CreateNamedPipe failed. (lastError: ", lastError);
    }
    testing::AssertionResult CreateRefused(uint32_t lastError) { return CreateRefused(lastError, name); }

    // A client, its retries made short, fails with 149 and this system error, and does not retry.
    testing::AssertionResult ConnectRefused(uint32_t lastError) {
        log.Clear();
        test::CountedPauses counted;
        PipeClient client(counted.Timing());
        const int32_t code = CodeOf([&] { client.Connect(name, WriteMode); });
        if (!counted.pauses.empty()) {
            return testing::AssertionFailure() << counted.pauses.size() << " retries";
        }
        return Refused(code, 149, L"Connect: Could not opet pipe. (lastError: ", lastError);
    }

    testing::AssertionResult Refused(int32_t code, int32_t expected, const std::wstring& line,
                                     uint32_t error) {
        if (code == expected && log.Has(LevelError, line + std::to_wstring(error) + L")")) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure() << "code " << code << ", log:\n" << log.Dump();
    }

    test::CapturedLog log;
    test::ScopedMachineRoot machine;
    const std::wstring name = test::FreshPipeName();
    test::TempDir outside;
};

TEST_F(PipePosixTest, TheSocketIsTheOwnersAloneAndGoesWithTheServer) {
    PipeServer server;
    server.Create(name, ReadMode);
    const struct stat file = LinkStatus(SocketFile());
    EXPECT_TRUE(S_ISSOCK(file.st_mode));
    EXPECT_EQ(file.st_mode & 07777, 0600u);
    EXPECT_EQ(file.st_uid, geteuid());
    // Every user may make a socket in the folder, nobody may remove another's.
    EXPECT_EQ(LinkStatus(PipeFolder()).st_mode & 07777, 01777u);
    for (const fs::path& folder : {Root() / "run", Root() / "run" / "zepmaintenance", PipeFolder()}) {
        EXPECT_EQ(LinkStatus(folder).st_uid, 0u) << folder;
        EXPECT_EQ(LinkStatus(folder).st_mode & 07777, folder == PipeFolder() ? 01777u : 0755u) << folder;
    }

    // A Bind that timed out leaves the pipe waiting for a later one; Close removes it.
    EXPECT_EQ(CodeOf([&] { server.Bind(1); }), 148);
    EXPECT_TRUE(Exists(SocketFile()));
    server.Close();
    EXPECT_FALSE(Exists(SocketFile()));

    // So does destruction, after a conversation.
    {
        PipeServer talking;
        talking.Create(name, ReadMode);
        PipeClient client;
        client.Connect(name, WriteMode);
        talking.Bind();
        EXPECT_TRUE(Exists(SocketFile()));
    }
    EXPECT_FALSE(Exists(SocketFile()));
}

TEST_F(PipePosixTest, AStaleSocketOfTheSameUserDoesNotBlockANewServer) {
    MakeFolder();
    // A server that ended without removing its file: nothing listens on it.
    { const posix::UniqueFd crashed = BoundSocket(SocketFile(), false); }
    ASSERT_TRUE(Exists(SocketFile()));
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
        EXPECT_TRUE(CreateRefused(5));
        EXPECT_EQ(LinkStatus(SocketFile()).st_ino, inode);
        ASSERT_EQ(unlink(SocketFile().c_str()), 0);
    }
    // Another user's socket stays, whether anything listens on it or not.
    {
        const posix::UniqueFd foreign = BoundSocket(SocketFile(), false);
        ASSERT_EQ(lchown(SocketFile().c_str(), test::kNobody, test::kNobody), 0);
        EXPECT_TRUE(CreateRefused(5));
        EXPECT_EQ(LinkStatus(SocketFile()).st_uid, test::kNobody);
        ASSERT_EQ(unlink(SocketFile().c_str()), 0);
    }
    // A socket of another kind is no pipe of ours, to server or client.
    const posix::UniqueFd stream = BoundSocket(SocketFile(), true, SOCK_STREAM);
    EXPECT_TRUE(CreateRefused(5));
    EXPECT_TRUE(ConnectRefused(5));
    EXPECT_FALSE(HasPendingClient(stream.Get()));
}

TEST_F(PipePosixTest, ALinkPlantedUnderTheNameIsNeverFollowed) {
    MakeFolder();
    // Pointing at a file: the server neither removes the link nor makes anything at its target.
    const fs::path precious = outside.FsPath() / "precious.txt";
    test::WriteTextFile(precious.wstring(), "precious");
    fs::create_symlink(precious, SocketFile());
    EXPECT_TRUE(CreateRefused(5));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(SocketFile())));
    EXPECT_EQ(test::ReadTextFile(precious.wstring()), "precious");
    EXPECT_EQ(LinkStatus(precious).st_nlink, 1u);

    // Pointing at a live socket elsewhere: the client does not connect through it, nor retry.
    fs::remove(SocketFile());
    const fs::path elsewhere = outside.FsPath() / "elsewhere";
    const posix::UniqueFd listener = BoundSocket(elsewhere, true);
    fs::create_symlink(elsewhere, SocketFile());
    EXPECT_TRUE(ConnectRefused(1920));
    EXPECT_FALSE(HasPendingClient(listener.Get()));
}

TEST_F(PipePosixTest, APipeFolderThatIsALinkOrNotRootsAloneIsRefused) {
    const fs::path elsewhere = outside.FsPath() / "folder";
    fs::create_directories(elsewhere);
    fs::permissions(elsewhere, fs::perms(01777));
    fs::create_directories(Root() / "run" / "zepmaintenance");
    fs::create_symlink(elsewhere, PipeFolder());
    EXPECT_TRUE(CreateRefused(1920));
    EXPECT_TRUE(ConnectRefused(1920));
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
        EXPECT_TRUE(CreateRefused(1920)) << folder;
        fs::remove_all(Root() / "run");
    }
}

TEST_F(PipePosixTest, NamesAreOneComponentAfterTheWindowsPrefix) {
    for (const wchar_t* bad : {L"\\\\.\\pipe\\a/b", L"\\\\.\\pipe\\..", L"\\\\.\\pipe\\a\\b",
                               L"\\\\.\\pipes\\x", L"\\\\.\\pipe\\", L"ZEPMaintenance_1_2"}) {
        EXPECT_TRUE(CreateRefused(123, bad)) << bad;
    }
    // The socket's address holds the name whatever the machine root.
    EXPECT_TRUE(CreateRefused(206, L"\\\\.\\pipe\\" + std::wstring(120, L'n')));
    // The prefix is compared as Windows compares it, without regard to case.
    PipeServer upper;
    upper.Create(L"\\\\.\\PIPE\\Upper_" + name.substr(9), ReadMode);
    EXPECT_TRUE(Exists(PipeFolder() / ("Upper_" + SocketFile().filename().string())));
}

TEST_F(PipePosixTest, AnEmptyPacketIsTheEndOfTheStream) {
    PipeServer server;
    server.Create(name, ReadMode);
    const posix::UniqueFd raw(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    const sockaddr_un address = Address(SocketFile());
    ASSERT_EQ(connect(raw.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    server.Bind();
    ASSERT_EQ(send(raw.Get(), "", 0, MSG_NOSIGNAL), 0);
    server.WaitForThreads();
    EXPECT_TRUE(log.Has(LevelInfo, L"Receive: Client Disconnect")) << log.Dump();
    EXPECT_EQ(server.LastFailure().code, 0);
}

TEST_F(PipePosixTest, UsersServeTheirOwnPipesWhichOnlyTheyAndRootMayOpen) {
    MakeFolder();
    // A pipe of the user's own, waiting for one message; the exit status is its id.
    test::ForkedStep user(
        [this] {
            PipeServer server;
            server.Create(name, ReadMode);
            test::SignalReady();
            server.Bind(60000);
            PipeMessage message;
            return test::NextMessage(server, message) ? message.id : 91;
        },
        test::ForkedStep::User::Nobody);
    ASSERT_TRUE(user.WaitUntilReady()) << "the user's server ended with " << user.Wait();
    EXPECT_EQ(LinkStatus(SocketFile()).st_uid, test::kNobody);
    EXPECT_EQ(LinkStatus(SocketFile()).st_mode & 07777, 0600u);
    {
        // Connected until the user's server has read: a closed end discards what was not read yet.
        PipeClient worker;
        worker.Connect(name, WriteMode, posix::UnixUserSid(test::kNobody));
        worker.WriteSynch({7, L"from root"});
        EXPECT_EQ(user.Wait(), 7);
    }

    PipeServer server;
    server.Create(name, ReadMode);
    EXPECT_EQ(test::AsNobody([this] {
                  platform::PipeHandle pipe;
                  return static_cast<int>(platform::OpenPipe(name, WriteMode, pipe));
              }),
              5);
}

} // namespace
} // namespace ZEPMaintenance
