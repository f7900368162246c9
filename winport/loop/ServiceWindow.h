#pragma once
// Inside of a service window; only the window manager and the socket layer of
// winport see it.

#include <map>
#include <set>

#include "winport/loop/ServiceLoop.h"
#include "winport/loop/window.h"

namespace winport {

struct ServiceWindow {
    WNDPROC proc = nullptr;
    LONG_PTR userData = 0;
    ServiceLoop* loop = nullptr;
    std::map<UINT_PTR, ServiceLoop::TimerId> timers;  // timer id -> armed loop timer
    std::set<int> selectedSockets;                    // sockets that notify this window
};

// Ends the asynchronous selection of a socket, whichever window it notifies.
void DetachSocketSelection(int socket);

}  // namespace winport
