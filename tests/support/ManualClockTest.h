#pragma once
// A fixture for everything timed: the thread's service loop runs on a manual
// clock, and no test may leave a timer armed for the next one (the loop lives
// as long as the thread, across all tests of a binary). The checks bracket a
// derived fixture's members: the clock is set and the loop found empty before
// they are made, and the loop is found empty again after they have gone, with
// whatever timers they were entitled to hold.

#include <gtest/gtest.h>

#include <cstdint>

#include "winport/loop/ServiceLoop.h"

namespace oskan::test {

class ManualClockTest : public ::testing::Test {
public:
    static constexpr uint64_t kStartMs = 1'000'000;

    static winport::ServiceLoop& Loop() { return winport::ServiceLoop::Current(); }
    // Milliseconds since the test's start on the manual clock.
    uint64_t Elapsed() const { return Loop().NowMs() - m_startMs; }

    ManualClockTest() {
        EXPECT_FALSE(Loop().HasTimers()) << "an earlier test left a timer armed";
        StartClockAt(kStartMs);
    }
    ~ManualClockTest() override { EXPECT_FALSE(Loop().HasTimers()) << "the test left a timer armed"; }

protected:
    // Nothing of their own: the checks are the constructor's and destructor's.
    void SetUp() override {}
    void TearDown() override {}

    void StartClockAt(uint64_t ms) {
        Loop().UseManualClock(ms);
        m_startMs = ms;
    }
    void Advance(uint64_t ms) { Loop().AdvanceClock(ms); }
    // Advances to the given time since the test's start.
    void AdvanceTo(uint64_t elapsedMs) { Loop().AdvanceClock(elapsedMs - Elapsed()); }

private:
    uint64_t m_startMs = kStartMs;
};

}  // namespace oskan::test
