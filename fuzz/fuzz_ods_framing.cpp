// The Device Server side of the host: an address text for a device object
// reached by IP or by MAC, then datagrams. Only replies of the addressed
// server may reach the engines, with the text after the frame; every
// discovery reply that parses formats back to the MAC it carried.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "ods/OdsDeviceTransport.h"
#include "ods/OdsProtocol.h"

namespace {

struct Seen {
    const char* datagram = nullptr;
    int datagramLength = 0;
    int count = 0;
};

void OnText(const char* text, int length, void* user) {
    auto* seen = static_cast<Seen*>(user);
    ++seen->count;
    const char* end = seen->datagram + seen->datagramLength;
    if (length < 0 || text < seen->datagram || text + length != end || text[length] != 0)
        std::abort();
}

void CheckDiscoveryReply(const std::string& datagram) {
    OdsProtocol::ServerRecord record;
    if (!OdsProtocol::ParseDiscoveryReply(datagram, &record))
        return;
    uint8_t mac[6];
    uint32_t ip = 0;
    if (!OdsProtocol::ParseMac(OdsProtocol::FormatMac(record.mac), mac) ||
        std::memcmp(mac, record.mac, 6) != 0 || !OdsProtocol::ParseIpv4(record.ip, &ip) ||
        record.directAccess < 0 || record.uptime < 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    oskan::fuzz::Script script(data, size);
    const OdsAddressing addressing = (script.Byte() & 1) ? OdsAddressing::ByMac : OdsAddressing::ByIp;
    OdsDeviceTransport transport(addressing);
    const std::string address(script.Text());
    const HRESULT hr = transport.SetAddress(address);
    if ((hr != S_OK && hr != E_INVALIDARG) || (hr == E_INVALIDARG && transport.HasAddress()))
        std::abort();
    uint8_t mac[6] = {};
    const OdsProtocol::AddressText parts = OdsProtocol::SplitAddress(address);
    const bool hasMac = addressing == OdsAddressing::ByMac && OdsProtocol::ParseMac(parts.address, mac);

    Seen seen;
    TransportClient* client = transport.OpenClient(&OnText, &seen);
    SOCKADDR_IN sender{};
    sender.sin_family = AF_INET;
    while (!script.Done()) {
        const uint8_t control = script.Byte();
        std::string datagram;
        if (control & 1)
            datagram = "#[" + OdsProtocol::FormatMac(mac) + "]";
        datagram += script.Text();
        sender.sin_addr.s_addr = script.Word();
        seen.datagram = datagram.c_str();
        seen.datagramLength = static_cast<int>(datagram.size());
        const int before = seen.count;
        transport.OnDatagram(datagram.c_str(), seen.datagramLength, &sender);
        CheckDiscoveryReply(datagram);
        if (seen.count == before)
            continue;
        // Passed on: a frame of the addressed server.
        uint8_t framed[6];
        std::string_view text;
        if (!transport.HasAddress() || !OdsProtocol::ParseReplyHeader(datagram, framed, &text))
            std::abort();
        if (hasMac && std::memcmp(framed, mac, 6) != 0)
            std::abort();
    }
    transport.CloseClient(client);
    return 0;
}
