#include "common/WinServiceWnd.h"

#include <cstdio>
#include <cstring>

HWND CreateServiceWindow(WNDPROC windowProc, void* owner) {
    HINSTANCE module = GetModuleHandleA(nullptr);
    char className[64];
    std::snprintf(className, sizeof className, "SERVICE_WINDOW_CLASS:%08x",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(windowProc)));

    WNDCLASSA wndClass;
    if (!GetClassInfoA(module, className, &wndClass)) {
        std::memset(&wndClass, 0, sizeof wndClass);
        wndClass.lpfnWndProc = windowProc;
        wndClass.hInstance = module;
        wndClass.lpszClassName = className;
        if (!RegisterClassA(&wndClass))
            return nullptr;
    }
    HWND window = CreateWindowExA(0, className, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, module, nullptr);
    if (!window)
        return nullptr;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner));
    return window;
}

WinTimer::~WinTimer() {
    Kill();
    if (m_hWnd)
        DestroyWindow(m_hWnd);
}

BOOL WinTimer::Set(UINT delayMs, Handler handler, void* user) {
    if (!m_hWnd) {
        m_hWnd = CreateServiceWindow(&WinTimer::WindowProc, this);
        if (!m_hWnd)
            return FALSE;
    }
    if (!SetTimer(m_hWnd, kTimerId, delayMs, nullptr)) {
        m_pfnHandler = nullptr;
        m_pUser = nullptr;
        return FALSE;
    }
    m_pfnHandler = handler;
    m_pUser = user;
    return TRUE;
}

BOOL WinTimer::Kill() {
    if (!m_hWnd || !m_pfnHandler)
        return FALSE;
    BOOL killed = KillTimer(m_hWnd, kTimerId);
    m_pfnHandler = nullptr;
    m_pUser = nullptr;
    return killed;
}

LRESULT WinTimer::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_TIMER || wParam != kTimerId)
        return CallWindowProcA(DefWindowProcA, window, message, wParam, lParam);
    auto* timer = reinterpret_cast<WinTimer*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    Handler handler = timer->m_pfnHandler;
    void* user = timer->m_pUser;
    timer->Kill();
    // The timer is idle again: the handler may arm it or destroy its owner.
    if (handler)
        handler(user);
    return 0;
}
