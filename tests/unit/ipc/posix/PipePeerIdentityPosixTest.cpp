// Linux side of who serves a pipe and who writes to it: loaders and clients of the user nobody against
// root's worker, and a name that changes hands between nobody's server and root's while root connects.
#include "ipc/PipeClient.h"
#include "ipc/PipeServer.h"

#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/posix/AsNobody.h"
#include "system/posix/PosixSupport.h"
#include "system/posix/UserSid.h"
#include "unit/ipc/PipePeerIdentitySupport.h"
#include "unit/ipc/PipeTestSupport.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace ZEPMaintenance {
namespace {

using Clock = std::chrono::steady_clock;
using test::CapturedLog;
using test::CodeOf;

constexpr int32_t kProgress = 7;
// Message 3 makes the loader start a program as its user.
constexpr int32_t kForged = 3;
constexpr uint8_t kNoWorker = 90;

// What the forked steps get from the test, set before the fork, and the descriptor they report on.
std::wstring gPipeName;
uint32_t gBindLimitMs = 60000;
Clock::time_point gUntil;
int gReport = -1;

void Report(uint32_t value) {
    [[maybe_unused]] const ssize_t written = write(gReport, &value, sizeof value);
}

// The steps' reports, in order; the test's read gives up after a minute.
class Reports {
public:
    Reports() {
        int ends[2] = {-1, -1};
        EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
        read_.Reset(ends[0]);
        write_.Reset(ends[1]);
        gReport = write_.Get();
    }
    std::optional<uint32_t> Next() {
        pollfd entry{read_.Get(), POLLIN, 0};
        uint32_t value = 0;
        if (poll(&entry, 1, 60000) != 1 || read(read_.Get(), &value, sizeof value) != sizeof value) {
            return std::nullopt;
        }
        return value;
    }

    // What ServeOneMessage reports after its Bind: how long it waited and how many clients it dropped.
    std::pair<std::optional<uint32_t>, std::optional<uint32_t>> AfterBind() {
        auto waited = Next();
        return {waited, Next()};
    }

private:
    posix::UniqueFd read_;
    posix::UniqueFd write_;
};

// A step in a process of its own, ended and reaped with the test should the test stop first.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            test::WaitForChild(pid_);
        }
    }
    pid_t Pid() const { return pid_; }
    int Wait() { return test::WaitForChild(std::exchange(pid_, 0)); }

private:
    pid_t pid_;
};

// The lines of a captured log that start with this text.
int CountLines(const CapturedLog& log, int32_t level, const std::wstring& start) {
    int count = 0;
    for (const auto& line : log.Lines()) {
        count += line.level == level && line.message.compare(0, start.size(), start) == 0 ? 1 : 0;
    }
    return count;
}

std::wstring DropLine(uid_t client) {
    return L"Bind: Client is not an administrator, dropped. (name: " + gPipeName + L", client: " +
           posix::UnixUserSid(client).Sid() + L", clientPid: ";
}

// The loader: serves the pipe and reports that it does, then the clients it dropped. Ends with the id
// of the first message it read, 0 when its client went without one, kNoWorker when none came in time.
int ServeOneMessage() {
    CapturedLog log;
    PipeServer server;
    server.Create(gPipeName, ReadMode);
    Report(0);
    const auto start = Clock::now();
    const int32_t bound = CodeOf([&] { server.Bind(gBindLimitMs); });
    Report(static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()));
    Report(static_cast<uint32_t>(CountLines(log, LevelWarn, DropLine(test::kNobody))));
    PipeMessage message;
    if (bound != 0) {
        return kNoWorker;
    }
    return test::NextMessage(server, message) ? message.id : 0;
}

// A client of nobody's that forges a message on the raw socket; 0 once the loader has dropped it.
int ForgeAMessage() {
    const std::string path =
        posix::UnderMachineRoot("run/zepmaintenance/pipe/") + posix::NativePath(gPipeName.substr(9));
    const posix::UniqueFd client(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return 1;
    }
    const std::vector<uint8_t> frame = SerializeMessage({kForged, L"/tmp/forged.sh"});
    if (send(client.Get(), frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
        return 0; // dropped before the message went
    }
    pollfd entry{client.Get(), POLLIN, 0};
    char byte = 0;
    return poll(&entry, 1, 30000) == 1 && recv(client.Get(), &byte, 1, MSG_DONTWAIT) <= 0 ? 0 : 2;
}

class PipePeerIdentityPosixTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "another user's pipe needs root to play that user";
        }
        gBindLimitMs = 60000;
        gPipeName = test::FreshPipeName();
        // The pipe folder is root's to make: nobody's servers need it there already.
        PipeServer first;
        first.Create(test::FreshPipeName(), ReadMode);
    }

    ClientTiming Quick() {
        ClientTiming timing = counted.Timing();
        timing.retryPauseMs = 1;
        timing.busyWaitMs = 200;
        return timing;
    }

    CapturedLog log;
    test::ScopedMachineRoot machine;
    test::CountedPauses counted;
};

TEST_F(PipePeerIdentityPosixTest, RootsWorkerWritesToAUsersPipeOnlyWhenTheRunIsForThatUser) {
    const CSid nobody = posix::UnixUserSid(test::kNobody);
    const test::ExpectedServerCase cases[] = {
        {"no -usid: administrators only", std::nullopt, false},
        {"-usid of root", CSid::Administrators(), false},
        {"-usid LocalSystem", CSid::LocalSystem(), false},
        {"-usid of another user", posix::UnixUserSid(1000), false},
        {"-usid of the user who serves it", nobody, true},
    };
    for (const auto& [what, expected, used] : cases) {
        SCOPED_TRACE(what);
        gPipeName = test::FreshPipeName();
        log.Clear();
        Reports reports;
        Child loader(test::StartAsNobody(ServeOneMessage));
        ASSERT_TRUE(reports.Next()) << "nobody's loader did not start";
        {
            PipeClient worker(Quick());
            EXPECT_EQ(CodeOf([&] { worker.Connect(gPipeName, WriteMode, expected); }), used ? 0 : 149);
            const std::wstring refusal =
                test::RefusalLine(gPipeName, nobody.Sid(), static_cast<uint32_t>(loader.Pid()), expected);
            EXPECT_EQ(log.Has(LevelError, refusal), !used) << log.Dump();
            worker.WriteSynch({kProgress, L"progress"});
            // Connected until the loader has read: it ends with what it read, 0 for a worker that went.
            EXPECT_EQ(loader.Wait(), used ? kProgress : 0);
        }
        EXPECT_EQ(reports.AfterBind().second, std::optional<uint32_t>(0))
            << "the loader dropped root's worker";
    }
}

TEST_F(PipePeerIdentityPosixTest, AUsersLoaderDropsClientsThatAreNotRootsAndWaitsForTheWorker) {
    Reports reports;
    Child loader(test::StartAsNobody(ServeOneMessage));
    ASSERT_TRUE(reports.Next()) << "nobody's loader did not start";
    // One after the other: each has been dropped, its forged message unread, before the next comes.
    for (int forger = 0; forger < 2; ++forger) {
        Child client(test::StartAsNobody(ForgeAMessage));
        ASSERT_EQ(client.Wait(), 0) << "forger " << forger << " was not dropped";
    }
    PipeClient worker(Quick());
    worker.Connect(gPipeName, WriteMode, posix::UnixUserSid(test::kNobody));
    worker.WriteSynch({kProgress, L"progress"});
    EXPECT_EQ(loader.Wait(), kProgress) << "the loader read a forged message or none";
    EXPECT_EQ(reports.AfterBind().second, std::optional<uint32_t>(2)) << "a drop without its warning";
}

TEST_F(PipePeerIdentityPosixTest, ADroppedClientLeavesTheLoaderNoMoreTimeThanItsLimit) {
    gBindLimitMs = 2000;
    Reports reports;
    Child loader(test::StartAsNobody(ServeOneMessage));
    ASSERT_TRUE(reports.Next()) << "nobody's loader did not start";
    usleep(1500 * 1000);
    Child client(test::StartAsNobody(ForgeAMessage));
    EXPECT_EQ(client.Wait(), 0);
    EXPECT_EQ(loader.Wait(), kNoWorker);
    // A wait that began anew after the drop would end 3.5 s after the start at the earliest.
    const auto [waited, drops] = reports.AfterBind();
    ASSERT_TRUE(waited);
    EXPECT_GE(*waited, 2000u);
    EXPECT_LT(*waited, 3200u);
    EXPECT_EQ(drops, std::optional<uint32_t>(1));
}

// A loader that serves the name again and again until gUntil, a short Bind each time; reports the
// workers that connected and the messages it read.
int ServeUntilTheEnd() {
    uint32_t connected = 0;
    uint32_t read = 0;
    while (Clock::now() < gUntil) {
        PipeServer server;
        // Taken by the other server: 147, and another try.
        if (CodeOf([&] { server.Create(gPipeName, ReadMode); }) != 0) {
            usleep(200);
            continue;
        }
        if (CodeOf([&] { server.Bind(20); }) != 0) {
            continue;
        }
        ++connected;
        PipeMessage message;
        read += test::NextMessage(server, message) ? 1 : 0;
    }
    Report(connected);
    Report(read);
    return 0;
}

TEST_F(PipePeerIdentityPosixTest, RootsWorkerNeverWritesToNobodyWhileTheServerChangesHands) {
    constexpr auto kRace = std::chrono::seconds(10);
    gUntil = Clock::now() + kRace + std::chrono::milliseconds(500);
    Reports nobodysReports;
    Child nobodysLoader(test::StartAsNobody(ServeUntilTheEnd));
    Reports rootsReports;
    Child rootsLoader(test::StartInForkedProcess(ServeUntilTheEnd));

    int attempts = 0;
    int delivered = 0;
    int refused = 0;
    const auto end = Clock::now() + kRace;
    while (Clock::now() < end) {
        ++attempts;
        log.Clear();
        ClientTiming timing = Quick();
        timing.busyWaitMs = 50;
        PipeClient worker(timing);
        if (CodeOf([&] { worker.Connect(gPipeName, WriteMode); }) == 0) {
            worker.WriteSynch({kProgress, L"progress"});
            ++delivered;
            // A closed end discards what the loader has not read yet.
            usleep(2000);
        } else if (log.Contains(L"Connect: Pipe served by another user")) {
            ++refused;
        }
    }
    EXPECT_EQ(nobodysLoader.Wait(), 0);
    EXPECT_EQ(rootsLoader.Wait(), 0);
    const auto nobodysConnections = nobodysReports.Next();
    const auto nobodysMessages = nobodysReports.Next();
    const auto rootsConnections = rootsReports.Next();
    const auto rootsMessages = rootsReports.Next();
    ASSERT_TRUE(nobodysMessages && rootsMessages);
    std::cout << "attempts " << attempts << ", written " << delivered << ", refused as nobody's " << refused
              << "; nobody's loader: " << *nobodysConnections << " connections, " << *nobodysMessages
              << " messages; root's loader: " << *rootsConnections << " connections, " << *rootsMessages
              << " messages" << std::endl;
    EXPECT_EQ(*nobodysMessages, 0u);
    // Both servers had the name while the worker connected, or the race was not run.
    EXPECT_GT(refused, 0);
    EXPECT_GT(*rootsMessages, 0u);
}

} // namespace
} // namespace ZEPMaintenance
