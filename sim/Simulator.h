#pragma once
// Many simulated SkOS devices behind one UDP socket on the device port, run on
// the thread's service loop. Each device answers from its own loopback
// address, so a host sees as many IP addresses as devices. Faults (loss,
// duplication, delay, silence) are injected per device; delayed replies wait
// on loop timers, so a test on the manual clock decides when they go out.
//
// Everything runs on the thread that created the simulator. Hooks must not
// destroy it.

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sim/SimDevice.h"
#include "sim/SimFaults.h"
#include "sim/SimProtocol.h"
#include "winport/loop/ServiceLoop.h"

namespace oskan::sim {

// What happened to one device's traffic.
struct SimDeviceStats {
    std::map<std::string, uint64_t, std::less<>> requests;  // by kind, as the device got them
    std::string lastRequest;                                // the whole datagram
    uint64_t requestsDropped = 0;
    uint64_t requestsDuplicated = 0;
    uint64_t requestsSilenced = 0;
    uint64_t requestsWhileRebooting = 0;  // counted by kind, never answered
    uint64_t repliesSent = 0;
    uint64_t repliesDropped = 0;
    uint64_t repliesDuplicated = 0;
    uint64_t sendFailures = 0;

    uint64_t Requests(std::string_view kind) const;
};

class Simulator {
public:
    using DatagramHook = std::function<void(std::string_view datagram, const sockaddr_in& sender)>;

    // Generous, since a burst of queries from a host arrives faster than one
    // loop pass reads it.
    static constexpr int kReceiveBufferBytes = 4 << 20;

    Simulator();
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds 0.0.0.0:port, shared with other simulators (SO_REUSEADDR). False
    // with errno set on failure.
    bool Open(uint16_t port = kDevicePort);
    // On a test bed link (a veth whose far end is this simulator's namespace):
    // device i answers from the i-th (modulo count) of the link's addresses
    // from first on, to peers on link-local addresses as well as this host.
    // A count of 0 returns to loopback addresses.
    void SetLinkAddresses(in_addr first, uint32_t count);
    // Closes the socket; replies still waiting are discarded.
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    // Null when a device with that MAC exists. Device i answers from
    // DeviceAddress(i) and starts with the faults set for all.
    SimDevice* AddDevice(const MacAddress& mac);
    SimDevice* AddDevice(std::unique_ptr<SimDevice> device);
    SimDevice* Find(const MacAddress& mac) const;
    size_t DeviceCount() const { return m_slots.size(); }
    SimDevice& DeviceAt(size_t index) const { return *m_slots.at(index)->device; }
    // 127.0.0.2 for the first device, counting up across 127/8.
    static in_addr DeviceAddress(size_t index);
    in_addr AddressOf(const MacAddress& mac) const;

    // Restarts every device's random source from this seed (default 1).
    void Seed(uint64_t seed);
    // False for an unknown MAC.
    bool SetFaults(const MacAddress& mac, const SimFaults& faults);
    // Every device now, and devices added later.
    void SetFaultsForAll(const SimFaults& faults);
    const SimFaults* Faults(const MacAddress& mac) const;

    // Observation. Null / 0 / empty for an unknown MAC.
    const SimDeviceStats* Stats(const MacAddress& mac) const;
    uint64_t RequestCount(const MacAddress& mac, std::string_view kind) const;
    std::string LastRequest(const MacAddress& mac) const;
    // Between a device's accepted reboot command and the end of its RebootMs.
    bool IsRebooting(const MacAddress& mac) const;
    // Sees every datagram that reaches the socket, before anything else.
    void SetDatagramHook(DatagramHook hook) { m_hook = std::move(hook); }
    uint64_t DatagramsReceived() const { return m_datagrams; }
    size_t PendingReplies() const { return m_pending.size(); }

    // One received datagram, as the socket delivers it; open to tests that
    // drive the dispatch directly.
    void OnDatagram(std::string_view datagram, const sockaddr_in& sender);

private:
    struct Slot {
        std::unique_ptr<SimDevice> device;
        in_addr address{};
        size_t index = 0;
        SimFaults faults;
        SimRandom random;
        SimDeviceStats stats;
        winport::ServiceLoop::TimerId rebootTimer = 0;  // set while the device reboots
    };
    struct PendingReply {
        winport::ServiceLoop::TimerId timer = 0;
        Slot* slot = nullptr;
        sockaddr_in to{};
        std::string data;
    };

    Slot* FindSlot(const MacAddress& mac) const;
    void OnReadable();
    void Deliver(Slot& slot, const SimRequest& request, std::string_view datagram, const sockaddr_in& sender);
    void HandleCopy(Slot& slot, const SimRequest& request, std::string_view datagram,
                    const sockaddr_in& sender);
    void Dispatch(Slot& slot, std::string reply, const sockaddr_in& to);
    void Schedule(Slot& slot, std::string reply, const sockaddr_in& to, uint32_t delayMs);
    void OnReplyDue(uint64_t key);
    void Send(Slot& slot, std::string_view reply, const sockaddr_in& to);
    void DiscardPending();
    void StartReboot(Slot& slot);
    void FinishReboot(Slot& slot);
    void ScheduleLater(Slot& slot, uint32_t delayMs, SimDevice::LaterMessage make, const sockaddr_in& to);
    void DiscardLater();

    winport::ServiceLoop& m_loop;
    int m_fd = -1;
    winport::ServiceLoop::WatchId m_watch = 0;
    std::vector<char> m_buffer;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::unordered_map<uint64_t, Slot*> m_byMac;
    SimFaults m_defaultFaults;
    uint64_t m_seed = 1;
    std::unordered_map<uint64_t, PendingReply> m_pending;
    uint64_t m_nextPending = 1;
    // Messages devices send on their own, by the key of their timer.
    struct LaterMessage {
        winport::ServiceLoop::TimerId timer = 0;
        Slot* slot = nullptr;
        sockaddr_in to{};
        SimDevice::LaterMessage make;
    };
    std::unordered_map<uint64_t, LaterMessage> m_later;
    DatagramHook m_hook;
    uint64_t m_datagrams = 0;
    uint32_t m_firstLinkAddress = 0;  // host order
    uint32_t m_linkAddressCount = 0;
};

}  // namespace oskan::sim
