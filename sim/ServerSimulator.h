#pragma once
// Many simulated Device Servers behind one UDP socket on the servers' port,
// run on the thread's service loop. Each answers from its own loopback address
// (127.1.0.2 upwards, apart from the SkOS devices'), or from the address it
// was given when that is a loopback one too, and is reached there directly or
// by broadcast. Faults (loss, duplication, delay, silence) are injected per
// server, as for SkOS devices; delayed replies and reboots wait on loop
// timers, so a test on the manual clock decides when they happen.
//
// Everything runs on the thread that created the simulator.

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sim/SimFaults.h"
#include "sim/SimServer.h"
#include "winport/loop/ServiceLoop.h"

namespace oskan::sim {

struct SimServerStats {
    std::map<std::string, uint64_t, std::less<>> requests;  // by kind
    uint64_t requestsDropped = 0;
    uint64_t requestsWhileRebooting = 0;
    uint64_t repliesSent = 0;
    uint64_t repliesDropped = 0;
    uint64_t sendFailures = 0;

    uint64_t Requests(std::string_view kind) const;
};

class ServerSimulator {
public:
    ServerSimulator();
    ~ServerSimulator();
    ServerSimulator(const ServerSimulator&) = delete;
    ServerSimulator& operator=(const ServerSimulator&) = delete;

    // Binds 0.0.0.0:port (SO_REUSEADDR). False with errno set on failure.
    bool Open(uint16_t port = kServerPort);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    // Null when a server with that MAC exists. A server without an IP address
    // gets its slot's, ServerAddress(index).
    SimServer* AddServer(SimServerSettings settings);
    SimServer* Find(const MacAddress& mac) const;
    size_t ServerCount() const { return m_slots.size(); }
    SimServer& ServerAt(size_t index) const { return *m_slots.at(index)->server; }
    static in_addr ServerAddress(size_t index);

    void Seed(uint64_t seed);
    bool SetFaults(const MacAddress& mac, const SimFaults& faults);
    void SetFaultsForAll(const SimFaults& faults);

    const SimServerStats* Stats(const MacAddress& mac) const;
    uint64_t RequestCount(const MacAddress& mac, std::string_view kind) const;
    bool IsRebooting(const MacAddress& mac) const;

    // One datagram as the socket delivers it, with the address it was sent to.
    void OnDatagram(std::string_view datagram, const sockaddr_in& sender, in_addr destination);

private:
    struct Slot {
        std::unique_ptr<SimServer> server;
        in_addr address{};
        SimFaults faults;
        SimRandom random;
        SimServerStats stats;
        uint64_t bootMs = 0;
        winport::ServiceLoop::TimerId rebootTimer = 0;
    };

    Slot* FindSlot(const MacAddress& mac) const;
    void OnReadable();
    void Deliver(Slot& slot, const SimServerRequest& request, const sockaddr_in& sender);
    void HandleCopy(Slot& slot, const SimServerRequest& request, const sockaddr_in& sender);
    void Dispatch(Slot& slot, std::string reply, const sockaddr_in& to);
    void Schedule(Slot& slot, std::string reply, const sockaddr_in& to, uint32_t delayMs);
    void Send(Slot& slot, std::string_view reply, const sockaddr_in& to);
    void StartReboot(Slot& slot);
    void FinishReboot(Slot& slot);

    winport::ServiceLoop& m_loop;
    int m_fd = -1;
    winport::ServiceLoop::WatchId m_watch = 0;
    std::vector<char> m_buffer;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::unordered_map<uint64_t, Slot*> m_byMac;
    SimFaults m_defaultFaults;
    uint64_t m_seed = 1;
    struct PendingReply {
        winport::ServiceLoop::TimerId timer = 0;
        Slot* slot = nullptr;
        sockaddr_in to{};
        std::string data;
    };
    std::unordered_map<uint64_t, PendingReply> m_pending;
    uint64_t m_nextPending = 1;
};

}  // namespace oskan::sim
