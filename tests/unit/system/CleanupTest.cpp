// The scope guard: its tear-down runs once on every way out of the scope, unless it was cancelled.
#include "base/Cleanup.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

namespace ZEPMaintenance {
namespace {

TEST(CleanupTest, RunsOnceOnEveryWayOutUnlessCancelled) {
    int runs = 0;
    {
        const Cleanup guard([&] { ++runs; });
    }
    EXPECT_EQ(runs, 1);

    // Any exception, not only the program's own.
    EXPECT_THROW(
        {
            const Cleanup guard([&] { ++runs; });
            throw std::runtime_error("not the program's own");
        },
        std::runtime_error);
    EXPECT_EQ(runs, 2);

    {
        Cleanup guard([&] { ++runs; });
        guard.Cancel();
    }
    EXPECT_EQ(runs, 2);

    {
        Cleanup first([&] { ++runs; });
        const Cleanup taken(std::move(first));
    }
    EXPECT_EQ(runs, 3);
}

} // namespace
} // namespace ZEPMaintenance
