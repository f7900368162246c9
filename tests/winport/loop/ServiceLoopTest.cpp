#include "winport/loop/ServiceLoop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/ManualClockTest.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;
using winport::ServiceLoop;

bool IsReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// An eventfd that is readable until it is closed.
struct ReadableFd {
    int fd = eventfd(1, EFD_CLOEXEC);
    ~ReadableFd() { close(fd); }
};

class ServiceLoopTest : public oskan::test::ManualClockTest {};

TEST_F(ServiceLoopTest, TimersFireInDeadlineOrderAtTheirDeadlines) {
    std::vector<std::pair<std::string, uint64_t>> fired;
    auto record = [&](const char* name) { return [&, name] { fired.emplace_back(name, Elapsed()); }; };
    Loop().AddTimer(300, record("a"));
    Loop().AddTimer(100, record("b"));
    Loop().AddTimer(200, record("c"));
    Loop().AddTimer(100, record("d"));  // same deadline: in order of addition
    Loop().AddTimer(0, record("e"));
    Advance(1000);
    EXPECT_THAT(fired,
                ElementsAre(Pair("e", 0), Pair("b", 100), Pair("d", 100), Pair("c", 200), Pair("a", 300)));
    EXPECT_EQ(Elapsed(), 1000u);
}

TEST_F(ServiceLoopTest, TimerCallbackMayCancelItselfAndOthersAndAddTimers) {
    std::vector<std::pair<std::string, uint64_t>> fired;
    ServiceLoop::TimerId self = 0, sameBatch = 0, later = 0;
    self = Loop().AddTimer(100, [&] {
        fired.emplace_back("self", Elapsed());
        Loop().CancelTimer(self);       // already idle: nothing happens
        Loop().CancelTimer(sameBatch);  // due now, behind this one
        Loop().CancelTimer(later);
        Loop().AddTimer(50, [&] { fired.emplace_back("added", Elapsed()); });
    });
    sameBatch = Loop().AddTimer(100, [&] { fired.emplace_back("sameBatch", Elapsed()); });
    later = Loop().AddTimer(400, [&] { fired.emplace_back("later", Elapsed()); });
    Advance(1000);
    EXPECT_THAT(fired, ElementsAre(Pair("self", 100), Pair("added", 150)));
}

TEST_F(ServiceLoopTest, WatchCallbackMayRemoveItselfAndAnotherReadyWatch) {
    ReadableFd first, second;
    ServiceLoop::WatchId a = 0, b = 0;
    std::vector<std::string> ran;
    // The callbacks own heap state that they use after removing their own watch.
    auto callback = [&](std::string name) {
        return [&, name = std::move(name)](uint32_t) {
            Loop().RemoveWatch(a);
            Loop().RemoveWatch(b);
            ran.push_back(name + " ran after removing its own watch");
        };
    };
    a = Loop().AddWatch(first.fd, EPOLLIN, callback("first"));
    b = Loop().AddWatch(second.fd, EPOLLIN, callback("second"));
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_EQ(Loop().Dispatch(), 1u);  // both were ready; the second was removed before its turn
    EXPECT_EQ(ran.size(), 1u);
    EXPECT_EQ(Loop().Dispatch(), 0u);
}

TEST_F(ServiceLoopTest, WatchAndTimerCallbacksMayRemoveEachOther) {
    ReadableFd fd;
    int watchRuns = 0;
    bool dueTimerRan = false;
    ServiceLoop::TimerId due = Loop().AddTimer(0, [&] { dueTimerRan = true; });
    ServiceLoop::WatchId watch = Loop().AddWatch(fd.fd, EPOLLIN, [&](uint32_t) {
        ++watchRuns;
        Loop().CancelTimer(due);  // watches run first in a pass: the due timer never runs
    });
    Loop().AddTimer(100, [&] { Loop().RemoveWatch(watch); });
    Advance(100);  // level-triggered: the watch runs in the pass at 0 and in the pass at 100
    EXPECT_FALSE(dueTimerRan);
    EXPECT_EQ(watchRuns, 2);
    Advance(100);
    EXPECT_EQ(watchRuns, 2);
}

// A pass reads the clock once: what a timer arms for 0 ms is due at that same
// reading but was not due when the pass collected its timers, so it waits for
// the next pass; what a watch arms for 0 ms runs in the pass's timer step.
TEST_F(ServiceLoopTest, ZeroDelayTimerArmedInAPassRunsWhereThePassReadsTheClock) {
    std::vector<std::string> ran;
    Loop().AddTimer(0, [&] {
        ran.push_back("timer");
        Loop().AddTimer(0, [&] { ran.push_back("armed by the timer"); });
    });
    EXPECT_EQ(Loop().Dispatch(), 1u);
    EXPECT_EQ(ran, (std::vector<std::string>{"timer"}));
    EXPECT_EQ(Loop().Dispatch(), 1u);
    EXPECT_EQ(ran, (std::vector<std::string>{"timer", "armed by the timer"}));

    ReadableFd fd;
    ServiceLoop::WatchId watch = 0;
    watch = Loop().AddWatch(fd.fd, EPOLLIN, [&](uint32_t) {
        Loop().RemoveWatch(watch);
        Loop().AddTimer(0, [&] { ran.push_back("armed by the watch"); });
    });
    EXPECT_EQ(Loop().Dispatch(), 2u);
    EXPECT_EQ(ran.back(), "armed by the watch");

    // Advancing the clock runs such a chain at the same time, one pass a link.
    ran.clear();
    uint64_t before = Loop().WakeupCount();
    Loop().AddTimer(10, [&] {
        ran.push_back("first");
        Loop().AddTimer(0, [&] { ran.push_back("second"); });
    });
    Advance(10);
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(Loop().WakeupCount(), before + 2);
    EXPECT_EQ(Elapsed(), 10u);

    // So does a run until a predicate holds, without moving the clock.
    bool done = false;
    Loop().AddTimer(0, [&] { Loop().AddTimer(0, [&] { done = true; }); });
    before = Loop().WakeupCount();
    EXPECT_TRUE(Loop().RunUntil([&] { return done; }, 1000));
    EXPECT_EQ(Loop().WakeupCount(), before + 2);
    EXPECT_EQ(Elapsed(), 10u);
}

TEST_F(ServiceLoopTest, IdleLoopNeverWakesUp) {
    uint64_t before = Loop().WakeupCount();
    Advance(1000);
    EXPECT_EQ(Loop().WakeupCount(), before);
    EXPECT_FALSE(IsReadable(Loop().Fd()));
    EXPECT_EQ(Loop().Dispatch(), 0u);
}

TEST_F(ServiceLoopTest, WakeupCountCountsPassesThatRanCallbacks) {
    int fired = 0;
    uint64_t before = Loop().WakeupCount();
    Loop().AddTimer(100, [&] { ++fired; });
    Loop().AddTimer(200, [&] { ++fired; });
    Loop().AddTimer(200, [&] { ++fired; });
    Advance(500);
    EXPECT_EQ(fired, 3);
    EXPECT_EQ(Loop().WakeupCount(), before + 2);  // one pass at 100, one at 200

    bool done = false;
    Loop().AddTimer(0, [&] { ++fired; });
    Loop().AddTimer(100, [&] { done = true; });
    before = Loop().WakeupCount();
    EXPECT_TRUE(Loop().RunUntil([&] { return done; }, 1000));
    EXPECT_EQ(Loop().WakeupCount(), before + 2);  // one pass at once, one at 100
}

TEST_F(ServiceLoopTest, RunUntilReturnsWhenThePredicateHoldsOrAtTheTimeout) {
    bool done = false;
    Loop().AddTimer(300, [&] { done = true; });
    Loop().AddTimer(400, [&] { done = false; });
    EXPECT_TRUE(Loop().RunUntil([&] { return done; }, 1000));
    EXPECT_EQ(Elapsed(), 300u);
    EXPECT_FALSE(Loop().RunUntil([] { return false; }, 500));
    EXPECT_EQ(Elapsed(), 800u);
    EXPECT_FALSE(done);  // the timer at 400 ran on the way
}

// The real clock needs a loop of its own, hence a thread of its own: this
// thread's loop stays on the manual clock.
TEST(ServiceLoopRealClockTest, FdBecomesReadableWhenATimerIsDue) {
    std::thread([] {
        ServiceLoop& loop = ServiceLoop::Current();
        ASSERT_FALSE(loop.IsManualClock());
        EXPECT_FALSE(IsReadable(loop.Fd()));

        ServiceLoop::TimerId far = loop.AddTimer(60000, [] {});
        EXPECT_FALSE(IsReadable(loop.Fd()));  // armed, not due

        int fired = 0;
        loop.AddTimer(3, [&] { ++fired; });
        pollfd p{loop.Fd(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 1000), 1);
        EXPECT_EQ(loop.Dispatch(), 1u);
        EXPECT_EQ(fired, 1);
        EXPECT_FALSE(IsReadable(loop.Fd()));
        loop.CancelTimer(far);
        EXPECT_FALSE(loop.HasTimers());
    }).join();
}

// A loop whose descriptors cannot be made says so, and its runs end at once
// instead of spinning on a descriptor that is not there.
class UnusableLoopTest : public ::testing::TestWithParam<int> {};

struct UnusableLoopReport {
    int error = 0;
    int fd = 0;
    bool ranUntil = true;
    int predicateChecks = 0;
    size_t dispatched = 1;
    ServiceLoop::TimerId timer = 1;
};

TEST_P(UnusableLoopTest, ReportsTheFailureAndRunsEndAtOnce) {
    // With the limit at the lowest free descriptor plus the parameter, the
    // loop's first (0) or second (1) descriptor cannot be made.
    const int spare = GetParam();
    UnusableLoopReport report;
    std::thread([&] {
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        const int lowestFree = dup(0);
        ASSERT_GE(lowestFree, 0);
        close(lowestFree);
        rlimit low = saved;
        low.rlim_cur = static_cast<rlim_t>(lowestFree + spare);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        ServiceLoop& loop = ServiceLoop::Current();  // this thread's, made under the limit
        setrlimit(RLIMIT_NOFILE, &saved);
        report.error = loop.Error();
        report.fd = loop.Fd();
        report.ranUntil = loop.RunUntil([&] { return ++report.predicateChecks > 1000; }, 60000);
        report.dispatched = loop.Dispatch();
        report.timer = loop.AddTimer(10, [] {});
        if (report.error != 0) {
            EXPECT_EQ(loop.Run(), report.error);
        }
    }).join();
    EXPECT_EQ(report.error, EMFILE);
    EXPECT_EQ(report.fd, -1);
    EXPECT_FALSE(report.ranUntil);
    EXPECT_LE(report.predicateChecks, 2) << "RunUntil spun";  // checked once more on the way out
    EXPECT_EQ(report.dispatched, 0u);
    EXPECT_EQ(report.timer, 0u);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, UnusableLoopTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == 0 ? std::string("Epoll") : std::string("TimerFd");
                         });

}  // namespace
