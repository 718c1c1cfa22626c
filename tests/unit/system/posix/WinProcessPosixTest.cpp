// Linux side of the process wrapper: elevation without root, owners of other users' processes.
#include "system/WinProcess.h"

#include "diag/IMException.h"
#include "system/Platform.h"
#include "system/Text.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

constexpr uid_t kNobody = 65534;

std::wstring ChildProgram() {
    return GetModuleDirectory() + platform::kPathSeparator + Utf8ToWide(ZEP_TEST_CHILD_NAME);
}

// Runs body in a forked process as the user nobody; its result is the process's exit status.
int AsNobody(int (*body)()) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0) {
            _exit(100);
        }
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
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

} // namespace
} // namespace ZEPMaintenance
