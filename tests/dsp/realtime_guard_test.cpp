#include "support/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using corvana::test::RealtimeGuard;

// The guard must see what it is meant to catch, or every real-time test passes vacuously.
TEST(RealtimeGuard, SeesAllocationsAndLocksOfItsOwnThreadOnly)
{
    std::mutex m;
    RealtimeGuard guard;
    {
        auto p = std::make_unique<std::vector<int>>(100);
        std::lock_guard lock(m);
    }
    EXPECT_GE(guard.allocations(), 2u);
    if (RealtimeGuard::countsLocks())
    {
        EXPECT_EQ(guard.locks(), 1u);
    }

    std::thread([] {
        RealtimeGuard other;
        EXPECT_EQ(other.allocations(), 0u);
    }).join();
}

TEST(RealtimeGuard, CountsNothingOutsideItsLifetime)
{
    auto first = std::make_unique<int>(1);
    RealtimeGuard guard;
    EXPECT_EQ(guard.allocations(), 0u);
    EXPECT_EQ(guard.locks(), 0u);
}
