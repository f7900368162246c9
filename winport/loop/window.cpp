#include "winport/loop/window.h"

#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "winport/loop/ServiceWindow.h"

using winport::ServiceLoop;
using winport::ServiceWindow;

namespace {

// Windows never fires a timer sooner than this.
constexpr UINT kMinimumTimerMs = 10;

std::mutex g_classMutex;
std::unordered_map<std::string, WNDCLASSA>& Classes() {
    static std::unordered_map<std::string, WNDCLASSA> classes;
    return classes;
}

// Windows belong to the thread that created them.
thread_local std::unordered_map<HWND, std::unique_ptr<ServiceWindow>> t_windows;

// Throws std::bad_alloc with nothing armed.
void ArmTimer(HWND window, UINT_PTR id, UINT elapseMs) {
    ServiceLoop::TimerId armed = window->loop->AddTimer(elapseMs, [window, id, elapseMs] {
        // Periodic: armed again before the procedure runs, so that the procedure
        // may kill the timer or destroy the window. Out of memory stops it.
        try {
            ArmTimer(window, id, elapseMs);
        } catch (const std::bad_alloc&) {
            window->timers.erase(id);
        }
        window->proc(window, WM_TIMER, id, 0);
    });
    if (!armed) {
        window->timers.erase(id);
        return;
    }
    try {
        window->timers[id] = armed;
    } catch (const std::bad_alloc&) {
        window->loop->CancelTimer(armed);
        throw;
    }
}

}  // namespace

HMODULE GetModuleHandleA(LPCSTR moduleName) {
    static char processModule;
    return moduleName == nullptr ? &processModule : nullptr;
}

ATOM RegisterClassA(const WNDCLASSA* wndClass) {
    if (!wndClass || !wndClass->lpszClassName || !wndClass->lpfnWndProc)
        return 0;
    std::lock_guard<std::mutex> lock(g_classMutex);
    auto [it, inserted] = Classes().emplace(wndClass->lpszClassName, *wndClass);
    if (!inserted)
        return 0;  // already registered
    it->second.lpszClassName = it->first.c_str();
    return static_cast<ATOM>(Classes().size());
}

BOOL GetClassInfoA(HINSTANCE, LPCSTR className, WNDCLASSA* wndClass) {
    if (!className || !wndClass)
        return FALSE;
    std::lock_guard<std::mutex> lock(g_classMutex);
    auto it = Classes().find(className);
    if (it == Classes().end())
        return FALSE;
    *wndClass = it->second;
    return TRUE;
}

HWND CreateWindowExA(DWORD, LPCSTR className, LPCSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE,
                     void*) {
    WNDCLASSA wndClass{};
    if (!GetClassInfoA(nullptr, className, &wndClass))
        return nullptr;
    // Out of memory is a failed call (null), as for any other API.
    try {
        auto window = std::make_unique<ServiceWindow>();
        window->proc = wndClass.lpfnWndProc;
        window->loop = &ServiceLoop::Current();
        HWND handle = window.get();
        t_windows.emplace(handle, std::move(window));
        return handle;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

BOOL IsWindow(HWND window) {
    return window && t_windows.count(window) ? TRUE : FALSE;
}

BOOL DestroyWindow(HWND window) {
    auto it = t_windows.find(window);
    if (it == t_windows.end())
        return FALSE;
    std::unique_ptr<ServiceWindow> owned = std::move(it->second);
    t_windows.erase(it);
    for (auto& [id, armed] : owned->timers)
        owned->loop->CancelTimer(armed);
    for (int socket : std::set<int>(owned->selectedSockets))
        winport::DetachSocketSelection(socket);
    return TRUE;
}

LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
    if (!IsWindow(window) || index != GWLP_USERDATA)
        return 0;
    LONG_PTR previous = window->userData;
    window->userData = value;
    return previous;
}

LONG_PTR GetWindowLongPtrA(HWND window, int index) {
    if (!IsWindow(window) || index != GWLP_USERDATA)
        return 0;
    return window->userData;
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

LRESULT CallWindowProcA(WNDPROC proc, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return proc ? proc(window, message, wParam, lParam) : 0;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapseMs, TIMERPROC) {
    if (!IsWindow(window))
        return 0;
    KillTimer(window, id);
    // Out of memory leaves the timer unarmed, and the call failed (0).
    try {
        ArmTimer(window, id, elapseMs < kMinimumTimerMs ? kMinimumTimerMs : elapseMs);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return window->timers.count(id) ? (id ? id : 1) : 0;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    if (!IsWindow(window))
        return FALSE;
    auto it = window->timers.find(id);
    if (it == window->timers.end())
        return FALSE;
    window->loop->CancelTimer(it->second);
    window->timers.erase(it);
    return TRUE;
}
