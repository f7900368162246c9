// The simulated Device Server's receive path: any datagram, as the server
// simulator reads it, reaches a server; replies are framed with its MAC, and
// a datagram that is no request changes nothing.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "sim/SimServer.h"

using namespace oskan::sim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    oskan::fuzz::Script script(data, size);
    SimServerSettings settings;
    if (script.Byte() & 1)
        settings.password = "pw";
    SimServer server(settings);
    const std::string frame = "#[" + FormatServerMac(server.Mac()) + "]";
    while (!script.Done()) {
        const uint8_t control = script.Byte();
        std::string datagram;
        if (control & 1)
            datagram = frame;
        else if (control & 2)
            datagram = "#[*/" + server.Key() + "]";
        datagram += script.Text();
        const std::optional<SimServerRequest> request = ParseServerRequest(datagram);
        if (!request)
            continue;
        (void)SimServer::KindOf(*request);
        for (const std::string& reply : server.Handle(*request))
            if (reply.compare(0, frame.size(), frame) != 0)
                std::abort();
        if (server.TakeRebootRequest())
            server.Reboot();
        (void)server.DiscoveryReply(script.Word());
    }
    return 0;
}
