#include "common/UdpDeviceTransport.h"

#include <cstring>

UdpDeviceTransport::UdpDeviceTransport() = default;

// The socket closes before the base class frees the requests that remain.
UdpDeviceTransport::~UdpDeviceTransport() = default;

void UdpDeviceTransport::ClearAddress() {
    m_Address.clear();
    m_Header.clear();
    std::memset(m_Mac, 0, sizeof m_Mac);
    std::memset(&m_Destination, 0, sizeof m_Destination);
}

namespace {

// Exactly six numbers of 0 to 255 (up to three digits each) joined by points:
// the text goes out in every header as it is, so nothing else may be in it.
bool IsStrictMacText(const std::string& text, uint8_t mac[6]) {
    size_t at = 0;
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && (at >= text.size() || text[at++] != '.'))
            return false;
        unsigned value = 0;
        size_t digits = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4; ++at, ++digits)
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        mac[i] = static_cast<uint8_t>(value);
    }
    return at == text.size();
}

}  // namespace

HRESULT UdpDeviceTransport::SetAddress(const std::string& address) {
    ClearAddress();
    if (address.empty())
        return S_OK;
    uint8_t mac[6] = {};
    if (!IsStrictMacText(address, mac))
        return E_INVALIDARG;
    m_Address = address;
    m_Header = "_[" + address + "]";
    std::memcpy(m_Mac, mac, sizeof m_Mac);
    m_Destination.sin_family = AF_INET;
    m_Destination.sin_port = htons(kDevicePort);
    m_Destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return S_OK;
}

BOOL UdpDeviceTransport::Open() {
    return m_Socket.OpenDatagram(&UdpDeviceTransport::OnReceive, this, kReceiveBufferSize);
}

void UdpDeviceTransport::Close() {
    m_Socket.CloseDatagram();
}

BOOL UdpDeviceTransport::SendDatagram(const void* bytes, int length) {
    if (!m_Socket.IsOpen())
        return FALSE;
    return m_Socket.SendTo(bytes, length, &m_Destination) == length ? TRUE : FALSE;
}

void UdpDeviceTransport::ComposeFrame(uint8_t* frame, const void* payload, int length) {
    std::memcpy(frame, m_Header.data(), m_Header.size());
    if (length > 0)
        std::memcpy(frame + m_Header.size(), payload, static_cast<size_t>(length));
}

void UdpDeviceTransport::OnReceive(const char* data, int length, const SOCKADDR_IN*, void* user) {
    static_cast<UdpDeviceTransport*>(user)->OnDatagram(data, length);
}

void UdpDeviceTransport::OnDatagram(const char* data, int length) {
    if (!data || length < 1 || data[0] != '[')
        return;
    const char* close = static_cast<const char*>(std::memchr(data, ']', static_cast<size_t>(length)));
    if (!close)
        return;
    uint8_t mac[6];
    int macLength = static_cast<int>(close - data) - 1;
    if (ParseMacText(data + 1, macLength, mac) != 6 || std::memcmp(mac, m_Mac, sizeof mac) != 0)
        return;
    const char* text = close + 1;
    DispatchReceived(text, length - static_cast<int>(text - data));
}
