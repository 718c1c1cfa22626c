// Linux side of the process wrapper: elevation without root, owners of other users' processes.
#include "system/WinProcess.h"

#include "base/Platform.h"
#include "diag/IMException.h"
#include "system/Text.h"
#include "system/posix/PosixSupport.h"

#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "support/TestChild.h"
#include "support/posix/AsNobody.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

using test::AsNobody;
using test::ChildProgram;
using test::CodeOf;
using test::ForkedStep;

// The state letter of /proc/<pid>/stat, or 0 once the process is gone.
char ProcessState(uint32_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(file, text);
    const std::size_t end = text.rfind(')');
    return end != std::string::npos && text.size() >= end + 3 ? text[end + 2] : 0;
}

TEST(WinProcessPosixTest, AProcessThatHasEndedAndBeenCollectedIsGone) {
    uint32_t gone = 0;
    {
        WinProcess ended;
        ended.Start(ChildProgram(), L"--exit 0", L"", false);
        gone = ended.GetProcessId();
        ASSERT_TRUE(ended.WaitToClose(30));
    }
    WinProcess process;
    EXPECT_EQ(CodeOf([&] { process.Open(gone); }), 156);
}

class RootProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to become another user";
        }
    }
};

TEST_F(RootProcessTest, StartsElevatedProgramsDirectly) {
    WinProcess process;
    process.Start(ChildProgram(), L"--exit 9", L"", true);
    ASSERT_TRUE(process.WaitToClose(30));
    EXPECT_EQ(process.GetExitCode(), 9u);
    EXPECT_EQ(process.GetOwner().Sid(), L"S-1-5-18");
}

TEST_F(RootProcessTest, OwnersAreTheUsersSids) {
    // The owner of a process of another user, seen from that user and from root.
    EXPECT_EQ(AsNobody([] {
                  WinProcess self;
                  self.OpenCurrentProcess();
                  return self.GetOwner().Sid() == L"S-1-22-1-65534" ? 0 : 1;
              }),
              0);
    ForkedStep other(
        [] {
            test::SignalReady();
            sleep(60);
            return 0;
        },
        ForkedStep::User::Nobody);
    ASSERT_TRUE(other.WaitUntilReady());
    WinProcess opened;
    opened.Open(static_cast<uint32_t>(other.Pid()));
    EXPECT_EQ(opened.GetOwner().Sid(), L"S-1-22-1-65534");
    kill(other.Pid(), SIGKILL);
    EXPECT_TRUE(opened.WaitToClose(10));
    // Our child, opened by id: its status is read while it waits to be collected.
    EXPECT_EQ(opened.GetExitCode(), 128u + SIGKILL);
}

TEST_F(RootProcessTest, AnotherUsersEndedProcessHasNoExitCodeToRead) {
    // A process of root that has ended and waits for this process to collect it.
    ForkedStep ended([] { return 7; }, ForkedStep::User::Same);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(ended.Pid()), &info, WEXITED | WNOWAIT), 0);
    ASSERT_EQ(ProcessState(static_cast<uint32_t>(ended.Pid())), 'Z');
    const auto pid = static_cast<uint32_t>(ended.Pid());
    EXPECT_EQ(AsNobody([pid] {
                  WinProcess process;
                  process.Open(pid);
                  if (!process.WaitToClose(10)) {
                      return 1;
                  }
                  return CodeOf([&] { process.GetExitCode(); }) == 110 ? 0 : 2;
              }),
              0);
    EXPECT_EQ(ended.Wait(), 7);
}

TEST(WinProcessPosixTest, ChildrenLetGoWhileRunningLeaveNoZombie) {
    const test::Go go;
    uint32_t children[2] = {};
    {
        WinProcess process;
        process.Start(ChildProgram(), go.WaitingFor(), L"", false);
        children[0] = process.GetProcessId();
        process.Start(ChildProgram(), go.WaitingFor(), L"", false);
        children[1] = process.GetProcessId();
    }
    go.Now();
    for (const uint32_t pid : children) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (ProcessState(pid) != 0 && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(ProcessState(pid), 0) << "pid " << pid;
    }
}

TEST(WinProcessPosixTest, StartedProgramsGetDefaultSignalsAndNoStrayDescriptors) {
    test::TempDir folder;
    const std::filesystem::path report = folder.FsPath() / "report.txt";
    sigset_t blocked;
    sigset_t savedMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &savedMask), 0);
    struct sigaction ignore {};
    struct sigaction savedAction {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR1, &ignore, &savedAction);
    posix::UniqueFd stray(fcntl(STDERR_FILENO, F_DUPFD, 200));
    ASSERT_GE(stray.Get(), 200);
    {
        WinProcess process;
        process.Start(ChildProgram(), L"--describe \"" + report.wstring() + L"\"", L"", false);
        EXPECT_TRUE(process.WaitToClose(30));
    }
    const std::string strayLine = "fd " + std::to_string(stray.Get());
    stray.Reset();
    sigaction(SIGUSR1, &savedAction, nullptr);
    pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);

    const std::vector<std::string> lines = test::ReadLines(report.wstring());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::stoull(lines[0].substr(7), nullptr, 16), 0u) << lines[0];
    EXPECT_EQ(std::stoull(lines[1].substr(7), nullptr, 16) & (1ull << (SIGUSR1 - 1)), 0u) << lines[1];
    EXPECT_EQ(std::count(lines.begin(), lines.end(), strayLine), 0);
}

// Elevated starts by nobody through a stand-in for pkexec, first on the PATH, that accepts or declines
// as the test tells it to.
class PkexecElevationTest : public RootProcessTest {
protected:
    void SetUp() override {
        RootProcessTest::SetUp();
        chmod(folder.FsPath().c_str(), 0777);
    }

    void WritePkexec(const std::string& body) const {
        const std::string path = Folder() + "/pkexec";
        std::ofstream(path) << "#!/bin/bash\necho \"$*\" > \"$(dirname \"$0\")/arguments\"\n" << body << '\n';
        chmod(path.c_str(), 0755);
    }

    // The exit code of the elevated test child, or 111 when the start failed.
    int StartElevated(const std::string& path) const {
        return AsNobody([&path] {
            setenv("PATH", path.c_str(), 1);
            WinProcess process;
            const int32_t code = CodeOf([&] { process.Start(ChildProgram(), L"--exit 5", L"", true); });
            return code != 0 ? code : process.WaitToClose(30) ? static_cast<int>(process.GetExitCode()) : 2;
        });
    }

    std::string Folder() const { return folder.FsPath().string(); }
    std::string Path() const { return Folder() + ":/usr/bin:/bin"; }

    test::TempDir folder;
};

TEST_F(PkexecElevationTest, ADeclinedPromptFailsTheStart) {
    // Accepted: the program itself is what pkexec is asked to run, with its arguments.
    WritePkexec("for fd in /proc/$$/fd/*; do n=${fd##*/}; [ \"$n\" -gt 2 ] && eval \"exec $n>&-\"; done\n"
                "exec \"$@\"");
    EXPECT_EQ(StartElevated(Path()), 5);
    EXPECT_EQ(test::ReadLines((folder.FsPath() / "arguments").wstring()),
              std::vector<std::string>{WideToMultiByte(ChildProgram(), kUtf8CodePage) + " --exit 5"});

    // Declined at once, after a while at the prompt, and without any pkexec to ask.
    WritePkexec("exit 126");
    EXPECT_EQ(StartElevated(Path()), 111);
    WritePkexec("sleep 0.5; exit 126");
    EXPECT_EQ(StartElevated(Path()), 111);
    std::filesystem::remove(folder.FsPath() / "pkexec");
    EXPECT_EQ(StartElevated(Folder()), 111);
}

// The descriptors this process holds, as the kernel lists them.
std::size_t OpenDescriptorCount() {
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

TEST_F(PkexecElevationTest, DeclinedAndFailedStartsKeepNoDescriptor) {
    WritePkexec("exit 126");
    // A program the system cannot run: its start fails once the child is made.
    const std::string unrunnable = Folder() + "/unrunnable";
    std::ofstream(unrunnable) << "neither a script nor a program\n";
    chmod(unrunnable.c_str(), 0755);

    // Counted in a process of its own, where no thread of another test opens or closes descriptors.
    const std::string path = Path();
    const int gained = AsNobody([&] {
        setenv("PATH", path.c_str(), 1);
        const std::size_t before = OpenDescriptorCount();
        const std::wstring failing[] = {ChildProgram() + L".missing", Utf8ToWide(unrunnable)};
        for (int i = 0; i < 200; ++i) {
            WinProcess process;
            const bool elevated = i < 100;
            if (CodeOf([&] {
                    process.Start(elevated ? ChildProgram() : failing[i % 2], L"", L"", elevated);
                }) == 0) {
                return 250; // started although declined or unable to run
            }
        }
        return static_cast<int>(std::min<std::size_t>(OpenDescriptorCount() - before, 249));
    });
    EXPECT_EQ(gained, 0) << "descriptors gained over 100 declined and 100 failed starts";
}

} // namespace
} // namespace ZEPMaintenance
