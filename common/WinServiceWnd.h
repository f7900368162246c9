#pragma once
// Hidden service windows and the one-shot timer built on them. Every socket and
// every timer has a window of its own whose user data points back at it, so a
// notification reaches its owner on the owner's thread.

#include "winport/loop/window.h"

// Creates a hidden window of the class named after the procedure, registering
// that class on first use; the window's user data is the owner. Null on failure.
HWND CreateServiceWindow(WNDPROC windowProc, void* owner);

class WinTimer {
public:
    using Handler = void (*)(void* user);

    WinTimer() = default;
    WinTimer(const WinTimer&) = delete;
    WinTimer& operator=(const WinTimer&) = delete;
    ~WinTimer();

    // Arms the timer (restarting it when armed): handler(user) runs once after
    // delayMs. FALSE, with nothing armed, when the window or the system timer
    // cannot be created.
    BOOL Set(UINT delayMs, Handler handler, void* user);
    // Disarms the timer; does nothing when it is idle.
    BOOL Kill();
    bool IsArmed() const { return m_pfnHandler != nullptr; }

private:
    static LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    static constexpr UINT_PTR kTimerId = 1;

    HWND m_hWnd = nullptr;
    Handler m_pfnHandler = nullptr;
    void* m_pUser = nullptr;
};
