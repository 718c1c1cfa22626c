// Linux side: a call that a signal interrupts is made again, any other failure is the caller's.
#include "system/posix/PosixSupport.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

// Fails with error until it has been called failures times, then returns how often it was called.
struct FailingCall {
    int error;
    int failures;
    int calls = 0;

    int operator()() {
        if (++calls <= failures) {
            errno = error;
            return -1;
        }
        return calls;
    }
};

TEST(RetryAfterSignalPosixTest, OnlyInterruptionsAreRetried) {
    FailingCall interrupted{EINTR, 2};
    EXPECT_EQ(posix::RetryAfterSignal(-1, [&] { return interrupted(); }), 3);

    FailingCall refused{EBADF, 2};
    EXPECT_EQ(posix::RetryAfterSignal(-1, [&] { return refused(); }), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(refused.calls, 1);
}

} // namespace
} // namespace ZEPMaintenance
