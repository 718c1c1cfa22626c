// Test support, Linux side: running a test step in a process of its own, as the unprivileged user
// nobody or as the test's own user.
#include "support/posix/AsNobody.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern "C" {
#include <sys/pidfd.h>
}

namespace ZEPMaintenance::test {

namespace {

// The step's end of its readiness pipe, in the step's process.
posix::UniqueFd gReadyEnd;

bool Readable(int fd, std::chrono::milliseconds limit) {
    pollfd entry{fd, POLLIN, 0};
    return posix::RetryAfterSignal(-1, poll, &entry, 1, static_cast<int>(limit.count())) == 1;
}

// Whether this process is down to one thread, given a few seconds for threads that are ending (the one
// that collects a child WinProcess let go ends once it has).
bool SingleThreaded() {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::error_code error;
        const auto tasks = std::filesystem::directory_iterator("/proc/self/task", error);
        if (!error && std::distance(begin(tasks), end(tasks)) == 1) {
            return true;
        }
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// In the forked process: becomes nobody if asked, runs the step and exits with its result.
[[noreturn]] void RunStep(const std::function<int()>& body, bool asNobody) {
    if (asNobody &&
        (setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0)) {
        _exit(100);
    }
    int result = 102;
    try {
        result = body();
    } catch (...) {
    }
    _exit(result);
}

} // namespace

ForkedStep::ForkedStep(const std::function<int()>& body, User user) {
    int ends[2] = {-1, -1};
    if (!SingleThreaded()) {
        result_ = 104;
        return;
    }
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return;
    }
    ready_.Reset(ends[0]);
    posix::UniqueFd writeEnd(ends[1]);
    pid_ = fork();
    if (pid_ == 0) {
        ready_.Reset();
        gReadyEnd = std::move(writeEnd);
        RunStep(body, user == User::Nobody);
    }
    if (pid_ > 0) {
        pidfd_.Reset(pidfd_open(pid_, 0));
    }
}

ForkedStep::~ForkedStep() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        posix::RetryAfterSignal(-1, waitpid, pid_, nullptr, 0);
    }
}

bool ForkedStep::WaitUntilReady(std::chrono::milliseconds limit) {
    char byte = 0;
    return ready_ && Readable(ready_.Get(), limit) && read(ready_.Get(), &byte, 1) == 1;
}

int ForkedStep::Wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0 || !pidfd_) {
        return result_;
    }
    const bool ended = Readable(pidfd_.Get(), limit);
    if (!ended) {
        kill(pid_, SIGKILL);
    }
    int status = 0;
    posix::RetryAfterSignal(-1, waitpid, pid_, &status, 0);
    pid_ = -1;
    result_ = !ended ? 103 : WIFEXITED(status) ? WEXITSTATUS(status) : 101;
    return result_;
}

void SignalReady() {
    const char byte = 1;
    if (gReadyEnd && write(gReadyEnd.Get(), &byte, 1) == 1) {
        gReadyEnd.Reset();
    }
}

pid_t StartAsNobody(int (*body)()) {
    const pid_t pid = fork();
    if (pid == 0) {
        RunStep(body, true);
    }
    return pid;
}

pid_t StartInForkedProcess(int (*body)()) {
    const pid_t pid = fork();
    if (pid == 0) {
        RunStep(body, false);
    }
    return pid;
}

int WaitForChild(pid_t pid) {
    int status = 0;
    if (pid <= 0 || posix::RetryAfterSignal(-1, waitpid, pid, &status, 0) != pid) {
        return 101;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

int AsNobody(const std::function<int()>& body) {
    return ForkedStep(body, ForkedStep::User::Nobody).Wait();
}

int InForkedProcess(const std::function<int()>& body) {
    return ForkedStep(body, ForkedStep::User::Same).Wait();
}

} // namespace ZEPMaintenance::test
