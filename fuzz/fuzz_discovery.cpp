// The discovery reply handler, over real sockets inside a private network
// namespace: echo replies, query replies with and without their ids, junk
// and oversized datagrams, interleaved with Refresh, Cancel, Reset and time.
// Every scan completes exactly once.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelUdpRefresh.h"
#include "fuzz/FuzzSupport.h"
#include "sim/NetworkIsolation.h"
#include "winport/host/DispatchSink.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using winport::ServiceLoop;

// Stands where the devices are: sees the broadcasts, answers their sender.
struct Peer {
    int fd = -1;
    sockaddr_in host{};
    std::string lastQuery;

    bool Open() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(65535);
        return fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    void Drain() {
        char buffer[2048];
        socklen_t length = sizeof host;
        ssize_t n;
        while ((n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&host), &length)) >
               0) {
            std::string text(buffer, static_cast<size_t>(n));
            if (text.find('|') != std::string::npos)
                lastQuery = text;
        }
    }
    void Send(const std::string& text) {
        if (host.sin_port == 0)
            return;
        sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&host), sizeof host);
    }
};

Peer g_peer;

void Pump() {
    ServiceLoop::Current().Dispatch();
    g_peer.Drain();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!oskan::sim::IsNetworkIsolated()) {
        std::fprintf(stderr, "fuzz_discovery broadcasts: run it through scripts/netns-run\n");
        std::exit(2);
    }
    ServiceLoop::Current().UseManualClock(1'000'000);
    if (!g_peer.Open())
        std::exit(2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    oskan::fuzz::Script script(data, size);
    long started = 0;
    long completed = 0;
    ComPtr<ISkRefresh> refresh;
    if (CMirelUdpRefresh::CreateInstance(IID_ISkRefresh, refresh.ReleaseAndGetVoidAddressOf()) != S_OK)
        std::abort();
    auto sink = winport::DispatchSink::Create(DIID__ISkRefreshEvents, [&](DISPID id, const DISPPARAMS&) {
        if (id == DISPID_OnRefreshComplete)
            ++completed;
    });
    ComPtr<IConnectionPointContainer> container;
    refresh.As(IID_IConnectionPointContainer, &container);
    ComPtr<IConnectionPoint> point;
    container->FindConnectionPoint(DIID__ISkRefreshEvents, point.ReleaseAndGetAddressOf());
    DWORD cookie = 0;
    point->Advise(sink.Get(), &cookie);
    auto* engine = static_cast<CMirelUdpRefresh*>(refresh.Get());

    if (refresh->Refresh() == S_OK)
        ++started;
    Pump();
    while (!script.Done()) {
        switch (script.Byte() % 8) {
            case 0:
                g_peer.Send(std::string(script.Text()));
                break;
            case 1: {
                const uint8_t b = script.Byte();
                char frame[32];
                std::snprintf(frame, sizeof frame, "[2.0.0.0.%u.%u]", b >> 4, b & 15u);
                g_peer.Send(frame + std::string(script.Text()));
                break;
            }
            case 2: {
                // A reply for the last query seen: its MAC, a body, its id.
                const std::string& q = g_peer.lastQuery;
                const size_t open = q.find('['), close = q.find(']'), bar = q.rfind('|');
                if (open == std::string::npos || close == std::string::npos || bar == std::string::npos)
                    break;
                g_peer.Send(q.substr(open, close - open + 1) + std::string(script.Text()) + q.substr(bar));
                break;
            }
            case 3:
                g_peer.Send(std::string(5000 + script.Byte(), static_cast<char>(script.Byte())));
                break;
            case 4:
                ServiceLoop::Current().AdvanceClock(script.Byte() * 20u);
                break;
            case 5: {
                // A restart replaces the running scan: one completion for both.
                const bool busy = engine->IsBusy();
                if (refresh->Refresh() == S_OK && !busy)
                    ++started;
                break;
            }
            case 6:
                refresh->Cancel();
                break;
            case 7:
                refresh->Reset();
                break;
        }
        Pump();
    }
    for (int i = 0; i < 100 && engine->IsBusy(); ++i) {
        ServiceLoop::Current().AdvanceClock(200);
        Pump();
    }
    if (completed != started)
        std::abort();
    point->Unadvise(cookie);
    return 0;
}
