// The one owner of handles: each handle it takes is released exactly once, by whoever holds it last.
#include "base/UniqueHandle.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace ZEPMaintenance {
namespace {

std::vector<int> gClosed;

struct CountedTraits {
    using Value = int;
    static int Invalid() noexcept { return 0; }
    static void Close(int handle) noexcept { gClosed.push_back(handle); }
};
using Counted = UniqueHandle<CountedTraits>;

TEST(UniqueHandleTest, EachHandleIsClosedOnceByItsLastOwnerUnlessReleased) {
    gClosed.clear();
    int released = 0;
    {
        Counted first(1);
        Counted second(2);
        Counted moved(std::move(first));
        EXPECT_FALSE(first);
        second = std::move(moved); // 2 is closed, 1 changes hands
        EXPECT_EQ(gClosed, std::vector<int>{2});
        EXPECT_EQ(second.Get(), 1);
        second.Reset(1); // the handle it holds already
        EXPECT_EQ(gClosed, std::vector<int>{2});
        second.Reset(3);
        EXPECT_EQ(gClosed, (std::vector<int>{2, 1}));
        Counted empty;
        EXPECT_FALSE(empty.IsValid());
        Counted owner(4);
        released = owner.Release();
        EXPECT_FALSE(owner);
    }
    // The released handle is the caller's to close.
    EXPECT_EQ(released, 4);
    EXPECT_EQ(gClosed, (std::vector<int>{2, 1, 3}));
}

} // namespace
} // namespace ZEPMaintenance
