// Test support, Linux side: running a test step in a process of its own, as the unprivileged user
// nobody or as the test's own user.
#include "support/posix/AsNobody.h"

#include <sys/wait.h>
#include <unistd.h>

namespace ZEPMaintenance::test {

namespace {

int InChild(int (*body)(), bool asNobody) {
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
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

} // namespace

int AsNobody(int (*body)()) {
    return InChild(body, true);
}

int InForkedProcess(int (*body)()) {
    return InChild(body, false);
}

} // namespace ZEPMaintenance::test
