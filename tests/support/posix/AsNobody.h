// Test support, Linux side: the unprivileged account, and test steps run in forked processes.
#pragma once

#include "system/posix/PosixSupport.h"

#include <chrono>
#include <functional>
#include <sys/types.h>

namespace ZEPMaintenance::test {

inline constexpr uid_t kNobody = 65534;

// A step run in a forked process while the test goes on, as the user nobody or as the test's own user.
// Only a process with no other thread forks: a child forked beside running threads can inherit a lock
// one of them held (the allocator's, the logger's) and never get past it, so a step started while a
// test's thread runs fails with 104 instead. Its result is the process's exit status: 100 when the switch
// of user failed, 101 when it did not exit, 102 on an exception, 103 when it ran past the limit and was
// killed. A process still running when the object goes, as after a failed assertion or an exception, is
// killed and collected.
class ForkedStep {
public:
    enum class User { Nobody, Same };
    ForkedStep(const std::function<int()>& body, User user);
    ~ForkedStep();
    ForkedStep(const ForkedStep&) = delete;
    ForkedStep& operator=(const ForkedStep&) = delete;

    pid_t Pid() const { return pid_; }
    // True once the step has called SignalReady; false when it ended or the limit passed first.
    bool WaitUntilReady(std::chrono::milliseconds limit = std::chrono::minutes(1));
    int Wait(std::chrono::milliseconds limit = std::chrono::minutes(1));

private:
    pid_t pid_ = -1;
    int result_ = 101;
    posix::UniqueFd ready_;
    posix::UniqueFd pidfd_;
};

// Called by a step to let its test's WaitUntilReady return.
void SignalReady();

// A step run to its end, with ForkedStep's results.
int AsNobody(const std::function<int()>& body);
int InForkedProcess(const std::function<int()>& body);

// A step that runs beside the test's own, without a readiness signal: the process's id, which
// WaitForChild turns into the status above. Fork before any thread of the test has started.
pid_t StartAsNobody(int (*body)());
pid_t StartInForkedProcess(int (*body)());
int WaitForChild(pid_t pid);

} // namespace ZEPMaintenance::test
