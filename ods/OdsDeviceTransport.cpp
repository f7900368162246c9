#include "ods/OdsDeviceTransport.h"

#include <cstring>

#include "ods/OdsProtocol.h"

OdsDeviceTransport::OdsDeviceTransport(OdsAddressing addressing) : m_Addressing(addressing) {}

// The socket closes before the base class frees the requests that remain.
OdsDeviceTransport::~OdsDeviceTransport() = default;

HRESULT OdsDeviceTransport::SetAddress(const std::string& text) {
    m_Password.clear();
    m_Target.clear();
    m_Key.clear();
    m_Header.clear();
    std::memset(m_Mac, 0, sizeof m_Mac);
    std::memset(&m_Destination, 0, sizeof m_Destination);
    if (text.empty())
        return S_OK;
    OdsProtocol::AddressText parts = OdsProtocol::SplitAddress(text);
    uint32_t ip = htonl(INADDR_BROADCAST);
    uint8_t mac[6] = {};
    if (m_Addressing == OdsAddressing::ByIp ? !OdsProtocol::ParseIpv4(parts.address, &ip)
                                            : !OdsProtocol::ParseMac(parts.address, mac))
        return E_INVALIDARG;
    // A password that would break the request it travels in is refused here.
    if (parts.password.find_first_of("|\r\n") != std::string::npos)
        return E_INVALIDARG;
    m_Password = std::move(parts.password);
    std::memcpy(m_Mac, mac, sizeof m_Mac);
    m_Target = m_Addressing == OdsAddressing::ByIp ? "*" : OdsProtocol::FormatMac(mac);
    m_Destination.sin_family = AF_INET;
    m_Destination.sin_port = htons(OdsProtocol::kServerPort);
    m_Destination.sin_addr.s_addr = ip;
    MakeHeader();
    return S_OK;
}

bool OdsDeviceTransport::IsBroadcast() const {
    return m_Addressing == OdsAddressing::ByIp && m_Destination.sin_addr.s_addr == htonl(INADDR_BROADCAST);
}

void OdsDeviceTransport::SetKey(const std::string& key) {
    m_Key = key;
    MakeHeader();
}

void OdsDeviceTransport::MakeHeader() {
    m_Header.clear();
    if (m_Target.empty())
        return;
    m_Header = "#[" + m_Target;
    if (!m_Key.empty())
        m_Header += "/" + m_Key;
    m_Header += "]";
}

BOOL OdsDeviceTransport::Open() {
    return m_Socket.OpenDatagram(&OdsDeviceTransport::OnReceive, this, kReceiveBufferSize);
}

void OdsDeviceTransport::Close() {
    m_Socket.CloseDatagram();
}

BOOL OdsDeviceTransport::SendDatagram(const void* bytes, int length) {
    if (!m_Socket.IsOpen() || m_Header.empty())
        return FALSE;
    return m_Socket.SendTo(bytes, length, &m_Destination) == length ? TRUE : FALSE;
}

void OdsDeviceTransport::ComposeFrame(uint8_t* frame, const void* payload, int length) {
    std::memcpy(frame, m_Header.data(), m_Header.size());
    if (length > 0)
        std::memcpy(frame + m_Header.size(), payload, static_cast<size_t>(length));
}

void OdsDeviceTransport::OnRequestExpired(RetransmitterPacket* packet, const void*, int) {
    if (m_pfnExpiry)
        m_pfnExpiry(packet, m_pExpiryUser);
}

void OdsDeviceTransport::OnReceive(const char* data, int length, const SOCKADDR_IN* sender, void* user) {
    static_cast<OdsDeviceTransport*>(user)->OnDatagram(data, length, sender);
}

void OdsDeviceTransport::OnDatagram(const char* data, int length, const SOCKADDR_IN* sender) {
    if (!data || length < 1 || m_Target.empty())
        return;
    uint8_t mac[6];
    std::string_view text;
    if (!OdsProtocol::ParseReplyHeader(std::string_view(data, static_cast<size_t>(length)), mac, &text))
        return;
    if (m_Addressing == OdsAddressing::ByMac) {
        if (std::memcmp(mac, m_Mac, sizeof mac) != 0)
            return;
    } else if (!IsBroadcast() && (!sender || sender->sin_addr.s_addr != m_Destination.sin_addr.s_addr)) {
        return;
    }
    // The text stays zero-terminated: it ends where the datagram does.
    DispatchReceived(text.data(), static_cast<int>(text.size()));
}
