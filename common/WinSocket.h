#pragma once
// A socket whose network events arrive as callbacks on the owner's thread, and
// on it a datagram endpoint that hands each datagram, zero-terminated, to one
// receive handler.

#include <vector>

#include "common/AliveGuard.h"
#include "common/BroadcastInterfaces.h"
#include "winport/loop/winsock.h"

class WinSocket {
public:
    using EventHandler = void (*)(long eventBit, int errorCode, void* user);

    // One entry of a subscription list; the list ends with an entry of mask 0.
    struct Subscription {
        long mask;
        EventHandler handler;
        void* user;
    };

    static constexpr UINT kSocketMessage = WM_USER + 1;

    WinSocket() = default;
    WinSocket(const WinSocket&) = delete;
    WinSocket& operator=(const WinSocket&) = delete;
    virtual ~WinSocket();

    bool IsOpen() const { return m_hSocket != INVALID_SOCKET; }
    BOOL Create(int protocol, unsigned short localPort);
    void Close();
    // Routes each event of the list to its handler; null ends notification.
    BOOL Select(const Subscription* subscriptions);
    // A datagram to the limited broadcast address goes out once on each
    // interface of BroadcastInterfaces, or where the routing table sends it
    // when none qualifies and OSKAN_INTERFACES names none.
    int SendTo(const void* data, int length, const SOCKADDR_IN* address);
    // One copy through each interface, from that interface's address. The
    // length when any copy left (a link that fails does not fail the others),
    // otherwise SOCKET_ERROR with the reason of the last failure.
    int SendToEach(const void* data, int length, const SOCKADDR_IN* address,
                   const BroadcastInterfaces::List& interfaces);
    // SOCKET_ERROR for a datagram that does not fit the buffer (it is dropped).
    int ReceiveFrom(void* buffer, int size, SOCKADDR_IN* sender);

    SOCKET Handle() const { return m_hSocket; }
    long EventMask() const { return m_lEventMask; }
    // The local port the socket is bound to, or 0.
    unsigned short LocalPort() const;

protected:
    static LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    struct EventSlot {
        EventHandler handler = nullptr;
        void* user = nullptr;
    };

    HWND m_hWnd = nullptr;
    SOCKET m_hSocket = INVALID_SOCKET;
    long m_lEventMask = 0;
    EventSlot m_Slots[FD_MAX_EVENTS];
    // The running calls to handlers; they nest when a handler runs a loop of
    // its own.
    FrameStack<> m_Dispatches;
};

class WinAsyncSocket : public WinSocket {
public:
    using ReceiveHandler = void (*)(const char* data, int length, const SOCKADDR_IN* sender, void* user);

    ~WinAsyncSocket() override;

    // Opens a broadcast-capable UDP socket on an ephemeral port; datagrams of up
    // to bufferSize - 1 bytes reach the handler.
    BOOL OpenDatagram(ReceiveHandler handler, void* user, int bufferSize);
    void CloseDatagram();

    // Asks the system for a receive buffer of at least this many bytes, so a
    // burst of datagrams is not lost before the loop reads them.
    void SetSystemReceiveBuffer(int bytes);

private:
    static void OnRead(long eventBit, int errorCode, void* user);

    // Lent to each read while its handler runs: a handler may close the socket,
    // open it again or run a nested read, and the datagram stays whole.
    std::vector<char> m_ReceiveBuffer;
    size_t m_nReceiveBufferSize = 0;
    ReceiveHandler m_pfnReceive = nullptr;
    void* m_pUser = nullptr;
};
