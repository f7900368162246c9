#include "winport/loop/winsock.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "winport/loop/ServiceWindow.h"

namespace winport {

namespace {

struct Selection {
    HWND window;
    ServiceLoop::WatchId watch;
};

thread_local std::unordered_map<int, Selection> t_selections;

uint32_t EpollEventsFor(long mask) {
    uint32_t events = 0;
    if (mask & (FD_READ | FD_ACCEPT | FD_OOB))
        events |= EPOLLIN;
    if (mask & (FD_WRITE | FD_CONNECT))
        events |= EPOLLOUT;
    if (mask & FD_CLOSE)
        events |= EPOLLRDHUP;
    return events;
}

WORD SelectEventsFor(uint32_t events, long mask) {
    long bits = 0;
    if (events & (EPOLLIN | EPOLLERR))
        bits |= FD_READ | FD_ACCEPT;
    if (events & EPOLLPRI)
        bits |= FD_OOB;
    if (events & EPOLLOUT)
        bits |= FD_WRITE | FD_CONNECT;
    if (events & (EPOLLRDHUP | EPOLLHUP))
        bits |= FD_CLOSE;
    return static_cast<WORD>(bits & mask);
}

}  // namespace

void DetachSocketSelection(int socket) {
    auto it = t_selections.find(socket);
    if (it == t_selections.end())
        return;
    it->second.window->loop->RemoveWatch(it->second.watch);
    it->second.window->selectedSockets.erase(socket);
    t_selections.erase(it);
}

}  // namespace winport

int WSAStartup(WORD versionRequested, WSADATA* data) {
    if (data) {
        data->wVersion = versionRequested;
        data->wHighVersion = MAKEWORD(2, 2);
    }
    return 0;
}

int WSAGetLastError() {
    return winport::WsaErrorFromErrno(errno);
}

int closesocket(SOCKET s) {
    winport::DetachSocketSelection(s);
    return close(s);
}

int WSAAsyncSelect(SOCKET s, HWND window, UINT message, long mask) {
    if (!IsWindow(window)) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    winport::DetachSocketSelection(s);
    if (mask == 0)
        return 0;
    // As on Windows, a selected socket is non-blocking.
    int flags = fcntl(s, F_GETFL);
    if (flags < 0)
        return SOCKET_ERROR;
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    winport::ServiceLoop::WatchId watch =
        window->loop->AddWatch(s, winport::EpollEventsFor(mask), [window, s, message, mask](uint32_t events) {
            WORD error = 0;
            if (events & EPOLLERR) {
                int pending = 0;
                socklen_t len = sizeof pending;
                getsockopt(s, SOL_SOCKET, SO_ERROR, &pending, &len);  // also clears it
                if (pending)
                    error = static_cast<WORD>(winport::WsaErrorFromErrno(pending));
            }
            WORD bits = winport::SelectEventsFor(events, mask);
            if (bits)
                window->proc(window, message, static_cast<WPARAM>(s), WSAMAKESELECTREPLY(bits, error));
        });
    if (!watch)
        return SOCKET_ERROR;  // errno tells why (EBADF, EPERM...)
    winport::t_selections[s] = winport::Selection{window, watch};
    window->selectedSockets.insert(s);
    return 0;
}

namespace winport {

bool SendFromAddress(int fd, const void* data, size_t length, const sockaddr_in& to, in_addr source,
                     unsigned ifindex, int flags) {
    iovec io{const_cast<void*>(data), length};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_in*>(&to);
    message.msg_namelen = sizeof to;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = static_cast<int>(ifindex);
    info.ipi_spec_dst = source;
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
    return sendmsg(fd, &message, flags) == static_cast<ssize_t>(length);
}

}  // namespace winport
