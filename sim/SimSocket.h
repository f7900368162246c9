#pragma once
// The one UDP socket on which a simulator serves many devices: bound to every
// address of this namespace, and answering from each device's own address.

#include <netinet/in.h>

#include <cstdint>
#include <string_view>

namespace oskan::sim {

struct SimSocketOptions {
    bool destinationInfo = false;  // each read also says which address it was sent to
    int receiveBufferBytes = 0;    // 0: the system's default
};

// A non-blocking socket on 0.0.0.0:port that may broadcast; -1 with errno set.
int OpenSimSocket(uint16_t port, const SimSocketOptions& options);

// Sends one datagram to `to` from the address `from`; true when all of it went.
bool SendFrom(int fd, std::string_view datagram, const sockaddr_in& to, in_addr from);

}  // namespace oskan::sim
