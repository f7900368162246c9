#pragma once
// The message transport of one Device Server object. Requests are framed
// "#[" TARGET "]" (with "/" KEY once a login has given one), where TARGET is
// the server's MAC for a server reached by broadcast, or "*" for one reached
// at its IP address (or every server, at 255.255.255.255). Only replies of the
// addressed server are passed on: by MAC, or by the sender's address.

#include <cstdint>
#include <string>

#include "common/MessageTransport.h"
#include "common/WinSocket.h"

enum class OdsAddressing { ByIp, ByMac };

class OdsDeviceTransport : public MessageTransport {
public:
    static constexpr int kReceiveBufferSize = 1024;
    using ExpiryHandler = void (*)(RetransmitterPacket* packet, void* user);

    explicit OdsDeviceTransport(OdsAddressing addressing);
    ~OdsDeviceTransport() override;

    // "PASSWORD@ADDRESS", "@ADDRESS" or "ADDRESS"; ADDRESS a dotted IPv4
    // address (ByIp) or a MAC (ByMac, as ParseMac reads it). An empty text
    // clears the address (S_OK); any unreadable one clears it and gives
    // E_INVALIDARG.
    HRESULT SetAddress(const std::string& text);
    bool HasAddress() const { return !m_Target.empty(); }
    const std::string& Password() const { return m_Password; }
    // At 255.255.255.255: every server, nobody to log in to.
    bool IsBroadcast() const;
    // The login's key, sent in every header from now on; empty: none.
    void SetKey(const std::string& key);

    BOOL Open();
    void Close();
    bool IsOpen() const { return m_Socket.IsOpen(); }
    // Told of every request that expired unanswered.
    void SetExpiryHandler(ExpiryHandler handler, void* user) {
        m_pfnExpiry = handler;
        m_pExpiryUser = user;
    }

    // The inbound filter.
    void OnDatagram(const char* data, int length, const SOCKADDR_IN* sender);

protected:
    BOOL SendDatagram(const void* bytes, int length) override;
    int GetHeaderLength() override { return static_cast<int>(m_Header.size()); }
    void ComposeFrame(uint8_t* frame, const void* payload, int length) override;
    void OnRequestExpired(RetransmitterPacket* packet, const void* data, int length) override;

private:
    static void OnReceive(const char* data, int length, const SOCKADDR_IN* sender, void* user);
    void MakeHeader();

    const OdsAddressing m_Addressing;
    std::string m_Password;
    std::string m_Target;  // "*" or the MAC text
    std::string m_Key;
    std::string m_Header;
    uint8_t m_Mac[6] = {};
    SOCKADDR_IN m_Destination{};
    WinAsyncSocket m_Socket;
    ExpiryHandler m_pfnExpiry = nullptr;
    void* m_pExpiryUser = nullptr;
};
