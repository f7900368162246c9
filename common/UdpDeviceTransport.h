#pragma once
// The message transport of one device object: frames every request with the
// device's MAC address, broadcasts it to the devices' port, and passes on only
// the replies that carry the same MAC.

#include <cstdint>
#include <string>

#include "common/MessageTransport.h"
#include "common/WinSocket.h"

class UdpDeviceTransport : public MessageTransport {
public:
    static constexpr unsigned short kDevicePort = 65535;
    static constexpr int kReceiveBufferSize = 1024;

    UdpDeviceTransport();
    ~UdpDeviceTransport() override;

    // Takes the Address text (ANSI): exactly six decimal numbers of 0 to 255
    // joined by points. An empty text clears the address (S_OK); any other
    // text clears it and gives E_INVALIDARG. Replies are read more loosely
    // (OnDatagram).
    HRESULT SetAddress(const std::string& address);
    const std::string& Address() const { return m_Address; }
    const std::string& Header() const { return m_Header; }
    const uint8_t* Mac() const { return m_Mac; }

    // Opens the socket on an ephemeral port; replies go through OnDatagram.
    BOOL Open();
    void Close();
    bool IsOpen() const { return m_Socket.IsOpen(); }
    unsigned short LocalPort() const { return m_Socket.LocalPort(); }

    // The inbound filter: "[" MAC "]" reply-text, for this device only.
    void OnDatagram(const char* data, int length);

protected:
    BOOL SendDatagram(const void* bytes, int length) override;
    int GetHeaderLength() override { return static_cast<int>(m_Header.size()); }
    void ComposeFrame(uint8_t* frame, const void* payload, int length) override;

private:
    static void OnReceive(const char* data, int length, const SOCKADDR_IN* sender, void* user);
    void ClearAddress();

    std::string m_Address;
    std::string m_Header;
    uint8_t m_Mac[6] = {};
    SOCKADDR_IN m_Destination{};
    WinAsyncSocket m_Socket;
};
