#pragma once
// A simulator without a socket that the test hands datagrams to, as if from a
// host on the loopback. Every reply a device makes then fails to go out, which
// is how a test sees that one was made.

#include <arpa/inet.h>

#include <cstdint>
#include <string_view>

#include "sim/Simulator.h"

namespace oskan::sim::test {

class FedSimulator {
protected:
    static sockaddr_in Host() {
        sockaddr_in host{};
        host.sin_family = AF_INET;
        host.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        host.sin_port = htons(40000);
        return host;
    }
    void Receive(std::string_view datagram) { simulator.OnDatagram(datagram, Host()); }
    uint64_t RepliesMade(const MacAddress& mac) { return simulator.Stats(mac)->sendFailures; }

    Simulator simulator;
};

}  // namespace oskan::sim::test
