// Test support, Linux side: running a test step in a process of its own, as the unprivileged user
// nobody or as the test's own user.
#include "support/posix/AsNobody.h"

#include <sys/wait.h>
#include <unistd.h>

namespace ZEPMaintenance::test {

namespace {

pid_t StartChild(int (*body)(), bool asNobody) {
    const pid_t pid = fork();
    if (pid == 0) {
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
    return pid;
}

} // namespace

int WaitForChild(pid_t pid) {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) {
        return 101;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

pid_t StartAsNobody(int (*body)()) {
    return StartChild(body, true);
}

pid_t StartInForkedProcess(int (*body)()) {
    return StartChild(body, false);
}

int AsNobody(int (*body)()) {
    return WaitForChild(StartAsNobody(body));
}

int InForkedProcess(int (*body)()) {
    return WaitForChild(StartInForkedProcess(body));
}

} // namespace ZEPMaintenance::test
