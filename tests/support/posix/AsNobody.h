// Test support, Linux side: the unprivileged account, and running a step as that account.
#pragma once

#include <sys/types.h>

namespace ZEPMaintenance::test {

inline constexpr uid_t kNobody = 65534;

// Runs body in a forked process as the user nobody; its result is the process's exit status
// (100 when the switch of user failed, 101 when the process did not exit, 102 on an exception).
int AsNobody(int (*body)());
// The same as the test's own user, in a process that shares no state with the test's beyond the fork.
int InForkedProcess(int (*body)());

// The same without waiting, for steps that run beside the test's own: the process's id, which
// WaitForChild turns into the status above. Fork before any thread of the test has started.
pid_t StartAsNobody(int (*body)());
pid_t StartInForkedProcess(int (*body)());
int WaitForChild(pid_t pid);

} // namespace ZEPMaintenance::test
