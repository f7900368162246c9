#include "common/WinServiceWnd.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "tests/support/ManualClockTest.h"

namespace {

using ::testing::ElementsAre;

class WinTimerTest : public oskan::test::ManualClockTest {
protected:
    // Logs the time of the call; the user pointer is the log.
    static void Record(void* user) {
        static_cast<std::vector<uint64_t>*>(user)->push_back(Loop().NowMs() - kStartMs);
    }

    std::vector<uint64_t> m_fired;
};

TEST_F(WinTimerTest, HandlerMayRearmItsOwnTimer) {
    struct Periodic {
        WinTimer timer;
        std::vector<uint64_t> fired;
        WinTimerTest* test;
        bool idleInHandler = true;
        static void OnTimer(void* user) {
            auto* self = static_cast<Periodic*>(user);
            self->idleInHandler = self->idleInHandler && !self->timer.IsArmed();
            self->fired.push_back(self->test->Elapsed());
            UINT next = 100 * static_cast<UINT>(self->fired.size() + 1);
            if (self->fired.size() < 3)
                self->timer.Set(next, &OnTimer, user);
        }
    } periodic{{}, {}, this};
    periodic.timer.Set(100, &Periodic::OnTimer, &periodic);
    Advance(2000);
    EXPECT_THAT(periodic.fired, ElementsAre(100, 300, 600));
    EXPECT_TRUE(periodic.idleInHandler);
}

TEST_F(WinTimerTest, OwnerMayBeDestroyedInsideTheHandler) {
    struct Owner {
        WinTimer timer;
        int* destroyed;
        ~Owner() { ++*destroyed; }
        static void OnTimer(void* user) { delete static_cast<Owner*>(user); }
    };
    int destroyed = 0;
    auto* owner = new Owner{{}, &destroyed};
    owner->timer.Set(100, &Owner::OnTimer, owner);
    Advance(500);
    EXPECT_EQ(destroyed, 1);
}

TEST_F(WinTimerTest, KillDisarmsAnArmedTimerAndDoesNothingOnAnIdleOne) {
    WinTimer never;
    EXPECT_FALSE(never.Kill());

    WinTimer timer;
    timer.Set(100, &Record, &m_fired);
    Advance(100);
    EXPECT_FALSE(timer.IsArmed());
    EXPECT_FALSE(timer.Kill());
    timer.Set(100, &Record, &m_fired);
    EXPECT_TRUE(timer.Kill());
    EXPECT_FALSE(timer.Kill());
    Advance(500);
    EXPECT_THAT(m_fired, ElementsAre(100));
}

TEST_F(WinTimerTest, TwoTimersFireIndependently) {
    std::vector<uint64_t> other;
    WinTimer first, second;
    first.Set(200, &Record, &m_fired);
    second.Set(100, &Record, &other);
    Advance(150);
    second.Set(100, &Record, &other);  // re-armed at 150: the first keeps its deadline
    Advance(1000);
    first.Set(100, &Record, &m_fired);
    second.Set(100, &Record, &other);
    first.Kill();  // the second stays armed
    Advance(100);
    EXPECT_THAT(m_fired, ElementsAre(200));
    EXPECT_THAT(other, ElementsAre(100, 250, 1250));
}

TEST_F(WinTimerTest, SetOnAnArmedTimerRestartsItWithTheNewDelayAndHandler) {
    std::vector<uint64_t> other;
    WinTimer timer;
    timer.Set(300, &Record, &m_fired);
    Advance(200);
    timer.Set(300, &Record, &other);
    Advance(1000);
    EXPECT_TRUE(m_fired.empty());
    EXPECT_THAT(other, ElementsAre(500));
}

LRESULT TestProc(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

TEST(CreateServiceWindowTest, SecondWindowOfAProcedureReusesItsClass) {
    int first = 0, second = 0;
    HWND a = CreateServiceWindow(&TestProc, &first);
    HWND b = CreateServiceWindow(&TestProc, &second);  // registering again would fail
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(GetWindowLongPtrA(a, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&first));
    EXPECT_EQ(GetWindowLongPtrA(b, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&second));

    char name[64];
    std::snprintf(name, sizeof name, "SERVICE_WINDOW_CLASS:%08x",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(&TestProc)));
    WNDCLASSA wndClass{};
    ASSERT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), name, &wndClass));
    EXPECT_EQ(wndClass.lpfnWndProc, &TestProc);
    DestroyWindow(a);
    DestroyWindow(b);
}

}  // namespace
