// Linux side of the process wrapper: elevation without root, owners of other users' processes.
#include "system/WinProcess.h"

#include "base/Platform.h"
#include "diag/IMException.h"
#include "system/Text.h"
#include "system/posix/PosixSupport.h"

#include "support/TempDir.h"
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
using test::kNobody;

std::wstring ChildProgram() {
    return GetModuleDirectory() + platform::kPathSeparator + Utf8ToWide(ZEP_TEST_CHILD_NAME);
}

// The state letter of /proc/<pid>/stat, or 0 once the process is gone.
char ProcessState(uint32_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(file, text) || text.rfind(')') == std::string::npos ||
        text.size() < text.rfind(')') + 3) {
        return 0;
    }
    return text[text.rfind(')') + 2];
}

// Waits up to five seconds for the process to be gone; its last state otherwise.
char StateAfterWaiting(uint32_t pid) {
    for (int i = 0; i < 100; ++i) {
        if (ProcessState(pid) == 0) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ProcessState(pid);
}

bool HasPkexec() {
    return access("/usr/bin/pkexec", X_OK) == 0 || access("/bin/pkexec", X_OK) == 0;
}

TEST(WinProcessPosixTest, AProcessThatHasEndedAndBeenCollectedIsGone) {
    uint32_t gone = 0;
    {
        WinProcess ended;
        ended.Start(ChildProgram(), L"--exit 0", L"", false);
        gone = ended.GetProcessId();
        ASSERT_TRUE(ended.WaitToClose(30));
        EXPECT_EQ(ended.GetExitCode(), 0u);
    }
    WinProcess process;
    try {
        process.Open(gone);
        FAIL() << "opened a process that is gone";
    } catch (const IMException& e) {
        EXPECT_EQ(e.GetErrorNumber(), 156);
    }
}

TEST(WinProcessPosixTest, RootStartsElevatedProgramsDirectly) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    WinProcess process;
    process.Start(ChildProgram(), L"--exit 9", L"", true);
    ASSERT_TRUE(process.WaitToClose(30));
    EXPECT_EQ(process.GetExitCode(), 9u);
    EXPECT_EQ(process.GetOwner().Sid(), L"S-1-5-18");
}

TEST(WinProcessPosixTest, WithoutRootOrPkexecElevationIsDeclined) {
    if (geteuid() != 0 || HasPkexec()) {
        GTEST_SKIP() << "needs root to become another user, and no pkexec";
    }
    const int result = AsNobody([] {
        WinProcess process;
        try {
            process.Start(ChildProgram(), L"--exit 0", L"", true);
        } catch (const IMException& e) {
            return e.GetErrorNumber() == 111 ? 0 : 1;
        }
        return 2;
    });
    EXPECT_EQ(result, 0);
}

TEST(WinProcessPosixTest, OwnersAreTheUsersSids) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to become another user";
    }
    // The owner of a process of another user, seen from that user and from root.
    const int result = AsNobody([] {
        WinProcess self;
        self.OpenCurrentProcess();
        return self.GetOwner().Sid() == L"S-1-22-1-65534" ? 0 : 1;
    });
    EXPECT_EQ(result, 0);

    const pid_t sleeper = fork();
    if (sleeper == 0) {
        if (setresuid(kNobody, kNobody, kNobody) != 0) {
            _exit(100);
        }
        sleep(2);
        _exit(0);
    }
    usleep(200000);
    WinProcess other;
    other.Open(static_cast<uint32_t>(sleeper));
    EXPECT_EQ(other.GetOwner().Sid(), L"S-1-22-1-65534");
    kill(sleeper, SIGKILL);
    EXPECT_TRUE(other.WaitToClose(10));
    // Our child, opened by id: its status is read while it waits to be collected.
    EXPECT_EQ(other.GetExitCode(), 128u + SIGKILL);
    waitpid(sleeper, nullptr, 0);
}

TEST(WinProcessPosixTest, ChildrenLetGoWhileRunningLeaveNoZombie) {
    uint32_t replaced = 0;
    uint32_t released = 0;
    {
        WinProcess process;
        process.Start(ChildProgram(), L"--sleep 300", L"", false);
        replaced = process.GetProcessId();
        process.Start(ChildProgram(), L"--sleep 300", L"", false);
        released = process.GetProcessId();
    }
    EXPECT_EQ(StateAfterWaiting(replaced), 0) << "pid " << replaced;
    EXPECT_EQ(StateAfterWaiting(released), 0) << "pid " << released;
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
    const int strayNumber = stray.Get();
    stray.Reset();
    sigaction(SIGUSR1, &savedAction, nullptr);
    pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);

    std::ifstream file(report);
    unsigned long long blockedSet = ~0ull;
    unsigned long long ignoredSet = ~0ull;
    std::vector<std::string> fds;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("SigBlk:", 0) == 0) {
            blockedSet = std::stoull(line.substr(7), nullptr, 16);
        } else if (line.rfind("SigIgn:", 0) == 0) {
            ignoredSet = std::stoull(line.substr(7), nullptr, 16);
        } else if (line.rfind("fd ", 0) == 0) {
            fds.push_back(line.substr(3));
        }
    }
    EXPECT_EQ(blockedSet, 0u);
    EXPECT_EQ(ignoredSet & (1ull << (SIGUSR1 - 1)), 0u);
    ASSERT_FALSE(fds.empty());
    EXPECT_EQ(std::count(fds.begin(), fds.end(), std::to_string(strayNumber)), 0);
}

// Elevation through a stand-in for pkexec that accepts or declines as the test tells it to.
std::string gFakeFolder;

void WriteFakePkexec(const std::string& body) {
    const std::string path = gFakeFolder + "/pkexec";
    std::ofstream(path) << "#!/bin/bash\necho \"$*\" > \"$(dirname \"$0\")/arguments\"\n" << body << '\n';
    chmod(path.c_str(), 0755);
}

int StartElevatedAsNobody() {
    return AsNobody([] {
        setenv("PATH", (gFakeFolder + ":/usr/bin:/bin").c_str(), 1);
        WinProcess process;
        try {
            process.Start(ChildProgram(), L"--exit 5", L"", true);
        } catch (const IMException& e) {
            return e.GetErrorNumber() == 111 ? 111 : 1;
        }
        return process.WaitToClose(30) ? static_cast<int>(process.GetExitCode()) : 2;
    });
}

// Elevated starts by nobody, whose PATH finds the stand-in for pkexec first.
class PkexecElevationTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to become another user";
        }
        chmod(folder.FsPath().c_str(), 0777);
        gFakeFolder = folder.FsPath().string();
    }

    test::TempDir folder;
};

TEST_F(PkexecElevationTest, ADeclinedPromptFailsTheStart) {
    // Accepted: the program itself is what pkexec is asked to run, with its arguments.
    WriteFakePkexec("for fd in /proc/$$/fd/*; do n=${fd##*/}; [ \"$n\" -gt 2 ] && eval \"exec $n>&-\"; done\n"
                    "exec \"$@\"");
    EXPECT_EQ(StartElevatedAsNobody(), 5);
    std::ifstream arguments(folder.FsPath() / "arguments");
    std::string line;
    std::getline(arguments, line);
    EXPECT_EQ(line, WideToMultiByte(ChildProgram(), kUtf8CodePage) + " --exit 5");

    // Declined at once, and after a while at the prompt.
    WriteFakePkexec("exit 126");
    EXPECT_EQ(StartElevatedAsNobody(), 111);
    WriteFakePkexec("sleep 0.5; exit 126");
    EXPECT_EQ(StartElevatedAsNobody(), 111);
}

// The descriptors this process holds, as the kernel lists them.
std::size_t OpenDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

TEST_F(PkexecElevationTest, DeclinedAndFailedStartsKeepNoDescriptor) {
    WriteFakePkexec("exit 126");
    // A program the system cannot run: its start fails once the child is made.
    const std::string unrunnable = gFakeFolder + "/unrunnable";
    std::ofstream(unrunnable) << "neither a script nor a program\n";
    chmod(unrunnable.c_str(), 0755);

    // Counted in a process of its own, where no thread of another test opens or closes descriptors.
    const int gained = AsNobody([] {
        setenv("PATH", (gFakeFolder + ":/usr/bin:/bin").c_str(), 1);
        const std::size_t before = OpenDescriptorCount();
        for (int i = 0; i < 100; ++i) {
            WinProcess process;
            try {
                process.Start(ChildProgram(), L"--exit 0", L"", true);
                return 250; // started although declined
            } catch (const IMException&) {
            }
        }
        const std::wstring failing[] = {ChildProgram() + L".missing",
                                        Utf8ToWide(gFakeFolder + "/unrunnable")};
        for (int i = 0; i < 100; ++i) {
            WinProcess process;
            try {
                process.Start(failing[i % 2], L"", L"", false);
                return 251; // started what cannot run
            } catch (const IMException&) {
            }
        }
        return static_cast<int>(std::min<std::size_t>(OpenDescriptorCount() - before, 249));
    });
    EXPECT_EQ(gained, 0) << "descriptors gained over 100 declined and 100 failed starts";
}

TEST(WinProcessPosixTest, AnotherUsersEndedProcessHasNoExitCodeToRead) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to become another user";
    }
    // A process of root that has ended and waits for this process to collect it.
    const pid_t ended = fork();
    if (ended == 0) {
        _exit(7);
    }
    static uint32_t pid = 0;
    pid = static_cast<uint32_t>(ended);
    for (int i = 0; i < 100 && ProcessState(pid) != 'Z'; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(ProcessState(pid), 'Z');
    const int result = AsNobody([] {
        WinProcess process;
        process.Open(pid);
        if (!process.WaitToClose(10)) {
            return 1;
        }
        try {
            return static_cast<int>(process.GetExitCode()) + 10;
        } catch (const IMException& e) {
            return e.GetErrorNumber() == 110 ? 0 : 2;
        }
    });
    EXPECT_EQ(result, 0) << "10 + the exit code read";
    waitpid(ended, nullptr, 0);
}

} // namespace
} // namespace ZEPMaintenance
