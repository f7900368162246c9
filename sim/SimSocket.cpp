#include "sim/SimSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "winport/loop/winsock.h"

namespace oskan::sim {

namespace {

void SetReceiveBuffer(int fd, int bytes) {
    // The forced variant ignores the system maximum where we are allowed to.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

}  // namespace

int OpenSimSocket(uint16_t port, const SimSocketOptions& options) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        (options.destinationInfo && setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    if (options.receiveBufferBytes > 0)
        SetReceiveBuffer(fd, options.receiveBufferBytes);
    return fd;
}

bool SendFrom(int fd, std::string_view datagram, const sockaddr_in& to, in_addr from) {
    return winport::SendFromAddress(fd, datagram.data(), datagram.size(), to, from, 0, MSG_DONTWAIT);
}

}  // namespace oskan::sim
