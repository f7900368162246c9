#include "common/WinSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "common/WinServiceWnd.h"
#include "winport/loop/winsock.h"

WinSocket::~WinSocket() {
    Close();
    if (m_hWnd)
        DestroyWindow(m_hWnd);
}

BOOL WinSocket::Create(int protocol, unsigned short localPort) {
    Close();
    if (!m_hWnd) {
        m_hWnd = CreateServiceWindow(&WinSocket::WindowProc, this);
        if (!m_hWnd)
            return FALSE;
    }
    int type = protocol == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
    m_hSocket = socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    if (m_hSocket == INVALID_SOCKET)
        return FALSE;
    if (protocol == IPPROTO_UDP) {
        int on = 1;
        setsockopt(m_hSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    }
    SOCKADDR_IN local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(localPort);
    if (bind(m_hSocket, reinterpret_cast<SOCKADDR*>(&local), sizeof local) == 0)
        return TRUE;
    int err = errno;
    Close();
    errno = err;  // the caller may ask WSAGetLastError why
    return FALSE;
}

void WinSocket::Close() {
    if (!IsOpen())
        return;
    closesocket(m_hSocket);
    m_hSocket = INVALID_SOCKET;
    m_lEventMask = 0;
}

BOOL WinSocket::Select(const Subscription* subscriptions) {
    if (!IsOpen())
        return FALSE;
    for (EventSlot& slot : m_Slots)
        slot = EventSlot{};
    m_lEventMask = 0;
    if (!subscriptions)
        return WSAAsyncSelect(m_hSocket, m_hWnd, 0, 0) == 0;
    for (const Subscription* entry = subscriptions; entry->mask != 0; ++entry) {
        m_lEventMask |= entry->mask;
        for (int i = 0; i < FD_MAX_EVENTS; ++i)
            if (entry->mask & (1L << i))
                m_Slots[i] = EventSlot{entry->handler, entry->user};
    }
    return WSAAsyncSelect(m_hSocket, m_hWnd, kSocketMessage, m_lEventMask) == 0;
}

int WinSocket::SendTo(const void* data, int length, const SOCKADDR_IN* address) {
    if (!IsOpen()) {
        errno = ENOTSOCK;
        return SOCKET_ERROR;
    }
    if (address && address->sin_addr.s_addr == htonl(INADDR_BROADCAST)) {
        BroadcastInterfaces::Snapshot links = BroadcastInterfaces::Shared().Current();
        if (!links.interfaces->empty())
            return SendToEach(data, length, address, *links.interfaces);
        if (links.restricted) {
            errno = ENETUNREACH;  // none of the interfaces asked for can carry it now
            return SOCKET_ERROR;
        }
    }
    ssize_t sent = sendto(m_hSocket, data, static_cast<size_t>(length), 0,
                          reinterpret_cast<const SOCKADDR*>(address), sizeof(SOCKADDR_IN));
    return sent < 0 ? SOCKET_ERROR : static_cast<int>(sent);
}

int WinSocket::SendToEach(const void* data, int length, const SOCKADDR_IN* address,
                          const BroadcastInterfaces::List& interfaces) {
    if (!IsOpen()) {
        errno = ENOTSOCK;
        return SOCKET_ERROR;
    }
    int lastError = ENETUNREACH;
    bool anySent = false;
    for (const BroadcastInterface& link : interfaces) {
        // Devices answer to the address of the link they heard.
        if (winport::SendFromAddress(m_hSocket, data, static_cast<size_t>(length), *address, link.address,
                                     link.index))
            anySent = true;
        else
            lastError = errno;
    }
    if (anySent)
        return length;
    errno = lastError;
    return SOCKET_ERROR;
}

int WinSocket::ReceiveFrom(void* buffer, int size, SOCKADDR_IN* sender) {
    iovec io{buffer, static_cast<size_t>(size)};
    msghdr message{};
    SOCKADDR_IN from{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    ssize_t received = recvmsg(m_hSocket, &message, 0);
    if (received < 0)
        return SOCKET_ERROR;
    if (message.msg_flags & MSG_TRUNC) {
        errno = EMSGSIZE;  // as Windows does, a datagram too long for the buffer fails
        return SOCKET_ERROR;
    }
    if (sender)
        *sender = from;
    return static_cast<int>(received);
}

unsigned short WinSocket::LocalPort() const {
    if (!IsOpen())
        return 0;
    SOCKADDR_IN local{};
    socklen_t len = sizeof local;
    if (getsockname(m_hSocket, reinterpret_cast<SOCKADDR*>(&local), &len) != 0)
        return 0;
    return ntohs(local.sin_port);
}

LRESULT WinSocket::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kSocketMessage)
        return DefWindowProcA(window, message, wParam, lParam);
    auto* self = reinterpret_cast<WinSocket*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self->IsOpen())
        return 0;
    long events = WSAGETSELECTEVENT(lParam);
    int error = WSAGETSELECTERROR(lParam);
    // A handler may destroy the socket; then the remaining events are dropped,
    // here and in every dispatch this one runs inside.
    FrameStack<>::Frame dispatch(self->m_Dispatches);
    for (int i = 0; i < FD_MAX_EVENTS && events && dispatch.Alive(); ++i) {
        long bit = 1L << i;
        if ((events & bit) && self->m_Slots[i].handler) {
            self->m_Slots[i].handler(bit, error, self->m_Slots[i].user);
            events &= ~bit;
        }
    }
    return 0;
}

WinAsyncSocket::~WinAsyncSocket() {
    m_ReceiveBuffer.clear();
    m_ReceiveBuffer.shrink_to_fit();
}

BOOL WinAsyncSocket::OpenDatagram(ReceiveHandler handler, void* user, int bufferSize) {
    if (bufferSize < 1 || !Create(IPPROTO_UDP, 0))
        return FALSE;
    const Subscription subscriptions[] = {{FD_READ, &WinAsyncSocket::OnRead, this}, {0, nullptr, nullptr}};
    Select(subscriptions);
    m_ReceiveBuffer.assign(static_cast<size_t>(bufferSize), 0);
    m_nReceiveBufferSize = static_cast<size_t>(bufferSize);
    m_pfnReceive = handler;
    m_pUser = user;
    return TRUE;
}

void WinAsyncSocket::CloseDatagram() {
    Close();
    m_ReceiveBuffer.clear();
    m_ReceiveBuffer.shrink_to_fit();
    m_nReceiveBufferSize = 0;
    m_pfnReceive = nullptr;
    m_pUser = nullptr;
    for (EventSlot& slot : m_Slots)
        slot = EventSlot{};
}

void WinAsyncSocket::SetSystemReceiveBuffer(int bytes) {
    if (!IsOpen())
        return;
    // Beyond the system's ordinary limit where the process may (CAP_NET_ADMIN);
    // otherwise as much as that limit allows.
    if (setsockopt(m_hSocket, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(m_hSocket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void WinAsyncSocket::OnRead(long, int, void* user) {
    auto* self = static_cast<WinAsyncSocket*>(user);
    if (self->m_nReceiveBufferSize == 0)
        return;
    // The read takes the buffer; a nested read finds it taken and uses its own.
    std::vector<char> buffer = std::exchange(self->m_ReceiveBuffer, {});
    if (buffer.empty()) {
        try {
            buffer.resize(self->m_nReceiveBufferSize);
        } catch (const std::bad_alloc&) {
            return;  // the datagram waits for the next notification
        }
    }
    SOCKADDR_IN sender{};
    int received = self->ReceiveFrom(buffer.data(), static_cast<int>(buffer.size()) - 1, &sender);
    if (received > 0) {
        buffer[static_cast<size_t>(received)] = 0;
        FrameStack<>::Frame read(self->m_Dispatches);  // the handler may destroy the socket
        if (self->m_pfnReceive)
            self->m_pfnReceive(buffer.data(), received, &sender, self->m_pUser);
        if (!read.Alive())
            return;
    }
    // Back to the socket unless it was closed or opened anew meanwhile.
    if (self->m_ReceiveBuffer.empty() && buffer.size() == self->m_nReceiveBufferSize)
        self->m_ReceiveBuffer = std::move(buffer);
}
