#include "winport/loop/window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/ManualClockTest.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

class WindowTimerTest : public oskan::test::ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        s_current = this;
        WNDCLASSA wndClass{};
        wndClass.lpfnWndProc = &WindowTimerTest::Proc;
        wndClass.lpszClassName = "WindowTimerTest";
        RegisterClassA(&wndClass);  // fails harmlessly from the second test on
        m_window =
            CreateWindowExA(0, "WindowTimerTest", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m_window, nullptr);
    }
    void TearDown() override {
        if (IsWindow(m_window))
            DestroyWindow(m_window);
        s_current = nullptr;
        ManualClockTest::TearDown();
    }

    static LRESULT Proc(HWND window, UINT message, WPARAM wParam, LPARAM) {
        if (message == WM_TIMER) {
            s_current->m_fired.emplace_back(wParam, s_current->Elapsed());
            if (s_current->m_destroyOnTimer)
                DestroyWindow(window);
        }
        return 0;
    }

    static inline WindowTimerTest* s_current = nullptr;
    HWND m_window = nullptr;
    std::vector<std::pair<UINT_PTR, uint64_t>> m_fired;
    bool m_destroyOnTimer = false;
};

TEST_F(WindowTimerTest, SetTimerIsPeriodicUntilKilled) {
    EXPECT_EQ(SetTimer(m_window, 7, 100, nullptr), 7u);
    Advance(150);
    SetTimer(m_window, 7, 0, nullptr);  // restarts; as on Windows, never sooner than 10 ms
    Advance(30);
    EXPECT_THAT(m_fired, ElementsAre(Pair(7, 100), Pair(7, 160), Pair(7, 170), Pair(7, 180)));
    EXPECT_TRUE(KillTimer(m_window, 7));
    EXPECT_FALSE(KillTimer(m_window, 7));
    Advance(500);
    EXPECT_EQ(m_fired.size(), 4u);
}

TEST_F(WindowTimerTest, WindowDestroyedByItsOwnTimerStopsItsTimers) {
    m_destroyOnTimer = true;
    SetTimer(m_window, 1, 100, nullptr);
    SetTimer(m_window, 2, 100, nullptr);
    Advance(500);
    EXPECT_THAT(m_fired, ElementsAre(Pair(1, 100)));
    EXPECT_FALSE(IsWindow(m_window));
    EXPECT_EQ(SetTimer(m_window, 1, 100, nullptr), 0u);
}

}  // namespace
