// Test support, Linux side: running a test step as the unprivileged user nobody.
#include "support/posix/AsNobody.h"

#include <sys/wait.h>
#include <unistd.h>

namespace ZEPMaintenance::test {

int AsNobody(int (*body)()) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0) {
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

} // namespace ZEPMaintenance::test
