// The loop's descriptor on the real clock when timers are killed and set
// again: it is left armed for the earlier deadline, and that early wake-up
// must run nothing and arm the real one.

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "winport/loop/ServiceLoop.h"

namespace {

using winport::ServiceLoop;

bool WaitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

// On a thread of its own: the real clock needs a loop of its own.
TEST(ServiceLoopRearm, TimerSetAgainLaterFiresAtItsOwnDeadlineOnly) {
    std::thread([] {
        ServiceLoop& loop = ServiceLoop::Current();
        ASSERT_FALSE(loop.IsManualClock());
        int fired = 0;
        ServiceLoop::TimerId early = loop.AddTimer(5, [&] { ++fired; });
        loop.CancelTimer(early);
        const auto start = std::chrono::steady_clock::now();
        loop.AddTimer(60, [&] { ++fired; });

        // A host with a loop of its own may be woken for the dropped
        // deadline; that pass runs nothing.
        if (WaitReadable(loop.Fd(), 40)) {
            EXPECT_EQ(loop.Dispatch(), 0u);
        }
        EXPECT_EQ(fired, 0);
        ASSERT_TRUE(WaitReadable(loop.Fd(), 1000));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(59));
        EXPECT_EQ(loop.Dispatch(), 1u);
        EXPECT_EQ(fired, 1);
        EXPECT_FALSE(loop.HasTimers());
    }).join();
}

TEST(ServiceLoopRearm, EarlierDeadlineIsArmedAtOnce) {
    std::thread([] {
        ServiceLoop& loop = ServiceLoop::Current();
        int fired = 0;
        ServiceLoop::TimerId late = loop.AddTimer(60000, [] {});
        loop.AddTimer(3, [&] { ++fired; });
        ASSERT_TRUE(WaitReadable(loop.Fd(), 1000));
        EXPECT_EQ(loop.Dispatch(), 1u);
        EXPECT_EQ(fired, 1);
        loop.CancelTimer(late);
    }).join();
}

}  // namespace
