#pragma once
// The host's side in simulator tests: a plain UDP socket that broadcasts
// requests to the device port and reads the replies.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "sim/SimProtocol.h"

namespace oskan::sim::test {

struct HostReply {
    std::string text;
    std::string from;  // the sender's address, dotted
    uint16_t port = 0;
};

class HostSocket {
public:
    HostSocket() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        // Room for the replies of thousands of devices to one echo.
        int bytes = 16 << 20;
        if (setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    ~HostSocket() { close(m_fd); }
    HostSocket(const HostSocket&) = delete;
    HostSocket& operator=(const HostSocket&) = delete;

    int Fd() const { return m_fd; }

    bool Broadcast(std::string_view text, uint16_t port = kDevicePort) const {
        return SendTo(text, htonl(INADDR_BROADCAST), port);
    }
    // address in network order.
    bool SendTo(std::string_view text, uint32_t address, uint16_t port) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = address;
        return sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(text.size());
    }

    // A reply already waiting, without blocking.
    std::optional<HostReply> TryReceive() const {
        char buffer[4096];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0)
            return std::nullopt;
        char address[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
        return HostReply{std::string(buffer, static_cast<size_t>(n)), address, ntohs(from.sin_port)};
    }

    // Waits (in real time, at most timeoutMs) for a reply.
    std::optional<HostReply> Receive(int timeoutMs) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (auto reply = TryReceive())
                return reply;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd ready{m_fd, POLLIN, 0};
            poll(&ready, 1, static_cast<int>(left.count()));
        }
    }

private:
    int m_fd = -1;
};

}  // namespace oskan::sim::test
