// The device framing and MAC filter: an address text, then datagrams; only
// replies framed with this device's MAC may reach the engines, and the text
// they get is what follows the frame.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/UdpDeviceTransport.h"
#include "fuzz/FuzzSupport.h"

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

// The datagram's bracket names this MAC (all zero while no address is set).
bool CarriesMac(const std::string& datagram, const uint8_t* mac) {
    const size_t close = datagram.find(']');
    if (datagram.empty() || datagram[0] != '[' || close == std::string::npos)
        return false;
    uint8_t parsed[6];
    return MessageTransport::ParseMacText(datagram.data() + 1, static_cast<int>(close) - 1, parsed) == 6 &&
           std::memcmp(parsed, mac, 6) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    oskan::fuzz::Script script(data, size);
    UdpDeviceTransport transport;
    const std::string address(script.Text());
    const HRESULT hr = transport.SetAddress(address);
    if (hr != S_OK && hr != E_INVALIDARG)
        std::abort();
    if (hr == E_INVALIDARG && !transport.Address().empty())
        std::abort();
    const std::string header = "[" + transport.Address() + "]";

    Seen seen;
    TransportClient* client = transport.OpenClient(&OnText, &seen);
    while (!script.Done()) {
        const bool framed = script.Byte() & 1;
        std::string datagram = framed ? header : std::string();
        datagram += script.Text();
        seen.datagram = datagram.c_str();
        seen.datagramLength = static_cast<int>(datagram.size());
        const int before = seen.count;
        transport.OnDatagram(datagram.c_str(), seen.datagramLength);
        if (seen.count != before && !CarriesMac(datagram, transport.Mac()))
            std::abort();
    }
    transport.CloseClient(client);
    return 0;
}
