#pragma once
// The Windows Sockets names the system uses, over POSIX sockets. Sockets are
// plain descriptors; asynchronous selection posts the owner window's message
// from the thread's ServiceLoop.

#include <netinet/in.h>
#include <sys/socket.h>

#include "winport/base/errors.h"
#include "winport/loop/window.h"

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

using SOCKADDR = sockaddr;
using SOCKADDR_IN = sockaddr_in;

constexpr long FD_READ = 1 << 0;
constexpr long FD_WRITE = 1 << 1;
constexpr long FD_OOB = 1 << 2;
constexpr long FD_ACCEPT = 1 << 3;
constexpr long FD_CONNECT = 1 << 4;
constexpr long FD_CLOSE = 1 << 5;
constexpr long FD_QOS = 1 << 6;
constexpr long FD_GROUP_QOS = 1 << 7;
constexpr long FD_ROUTING_INTERFACE_CHANGE = 1 << 8;
constexpr long FD_ADDRESS_LIST_CHANGE = 1 << 9;
constexpr int FD_MAX_EVENTS = 10;

constexpr LPARAM WSAMAKESELECTREPLY(WORD events, WORD error) {
    return static_cast<LPARAM>((static_cast<DWORD>(error) << 16) | events);
}
constexpr WORD WSAGETSELECTEVENT(LPARAM l) {
    return LOWORD(l);
}
constexpr WORD WSAGETSELECTERROR(LPARAM l) {
    return HIWORD(l);
}

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
};
constexpr WORD MAKEWORD(BYTE low, BYTE high) {
    return static_cast<WORD>(low | (high << 8));
}

int WSAStartup(WORD versionRequested, WSADATA* data);
// The Windows Sockets code of the calling thread's last socket failure.
int WSAGetLastError();
int closesocket(SOCKET s);
// Posts message to window, with wParam the socket and lParam WSAMAKESELECTREPLY,
// whenever one of the events in mask is pending; mask 0 ends notification.
int WSAAsyncSelect(SOCKET s, HWND window, UINT message, long mask);

namespace winport {

// Sends one datagram from the given source address (and out of the given
// interface, when ifindex is not 0), as IP_PKTINFO says: how a host answers
// or asks from one address of several. True when the whole datagram went.
bool SendFromAddress(int fd, const void* data, size_t length, const sockaddr_in& to, in_addr source,
                     unsigned ifindex = 0, int flags = 0);

}  // namespace winport
