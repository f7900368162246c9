#include "sim/Simulator.h"

#include "sim/SimSocket.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace oskan::sim {

namespace {

// Bounds one read notification, so timers are not starved by a flood; the
// watch is level-triggered and comes back for the rest.
constexpr int kReadsPerWakeup = 256;
// Room for any UDP datagram, so nothing is truncated into a different request.
constexpr size_t kDatagramBufferBytes = 65536;
// Datagrams taken by one read.
constexpr int kReadBatch = 16;

// Where a device may answer: a loopback address, or 0.0.0.0, which is what a
// broadcast on the loopback carries as its source when the route names none
// (the kernel delivers a datagram sent there to this host).
bool IsThisHost(in_addr address) {
    uint32_t host = ntohl(address.s_addr);
    return host == INADDR_ANY || (host >> 24) == 127;
}

// 169.254.0.0/16: the only addresses a test bed link carries.
bool IsLinkLocal(in_addr address) {
    return (ntohl(address.s_addr) >> 16) == 0xa9fe;
}

}  // namespace

uint64_t SimDeviceStats::Requests(std::string_view kind) const {
    auto it = requests.find(kind);
    return it == requests.end() ? 0 : it->second;
}

Simulator::Simulator() : m_loop(winport::ServiceLoop::Current()) {}

Simulator::~Simulator() {
    Close();
}

bool Simulator::Open(uint16_t port) {
    Close();
    int fd = OpenSimSocket(port, {.receiveBufferBytes = kReceiveBufferBytes});
    if (fd < 0)
        return false;
    m_watch = m_loop.AddWatch(fd, EPOLLIN, [this](uint32_t) { OnReadable(); });
    if (m_watch == 0) {
        int error = errno;
        close(fd);
        errno = error;
        return false;
    }
    m_fd = fd;
    m_buffer.resize(kDatagramBufferBytes * kReadBatch);
    return true;
}

void Simulator::Close() {
    DiscardPending();
    DiscardLater();
    // Reboots end at once, so a device is never left silent for good.
    for (auto& slot : m_slots) {
        if (slot->rebootTimer) {
            m_loop.CancelTimer(slot->rebootTimer);
            FinishReboot(*slot);
        }
    }
    if (m_watch)
        m_loop.RemoveWatch(m_watch);
    m_watch = 0;
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

SimDevice* Simulator::AddDevice(const MacAddress& mac) {
    return AddDevice(std::make_unique<SimDevice>(mac));
}

SimDevice* Simulator::AddDevice(std::unique_ptr<SimDevice> device) {
    if (!device)
        return nullptr;
    uint64_t key = MacToNumber(device->Mac());
    if (m_byMac.count(key))
        return nullptr;
    auto slot = std::make_unique<Slot>();
    slot->index = m_slots.size();
    slot->address = DeviceAddress(slot->index);
    slot->faults = m_defaultFaults;
    slot->random = SimRandom(DeviceSeed(m_seed, key));
    slot->device = std::move(device);
    m_byMac.emplace(key, slot.get());
    m_slots.push_back(std::move(slot));
    return m_slots.back()->device.get();
}

void Simulator::SetLinkAddresses(in_addr first, uint32_t count) {
    m_firstLinkAddress = ntohl(first.s_addr);
    m_linkAddressCount = count;
}

in_addr Simulator::DeviceAddress(size_t index) {
    // 127.0.0.2 to 127.0.0.251, then the same in 127.0.1.x and so on: the last
    // byte stays clear of 0, 1 and 255.
    uint32_t host = static_cast<uint32_t>(2 + index % 250);
    uint32_t net = static_cast<uint32_t>(index / 250) & 0xffff;
    in_addr address{};
    address.s_addr = htonl((127u << 24) | (net << 8) | host);
    return address;
}

Simulator::Slot* Simulator::FindSlot(const MacAddress& mac) const {
    auto it = m_byMac.find(MacToNumber(mac));
    return it == m_byMac.end() ? nullptr : it->second;
}

SimDevice* Simulator::Find(const MacAddress& mac) const {
    Slot* slot = FindSlot(mac);
    return slot ? slot->device.get() : nullptr;
}

in_addr Simulator::AddressOf(const MacAddress& mac) const {
    Slot* slot = FindSlot(mac);
    return slot ? slot->address : in_addr{};
}

void Simulator::Seed(uint64_t seed) {
    m_seed = seed;
    for (auto& slot : m_slots)
        slot->random = SimRandom(DeviceSeed(seed, MacToNumber(slot->device->Mac())));
}

bool Simulator::SetFaults(const MacAddress& mac, const SimFaults& faults) {
    Slot* slot = FindSlot(mac);
    if (!slot)
        return false;
    slot->faults = faults;
    return true;
}

void Simulator::SetFaultsForAll(const SimFaults& faults) {
    m_defaultFaults = faults;
    for (auto& slot : m_slots)
        slot->faults = faults;
}

const SimFaults* Simulator::Faults(const MacAddress& mac) const {
    Slot* slot = FindSlot(mac);
    return slot ? &slot->faults : nullptr;
}

const SimDeviceStats* Simulator::Stats(const MacAddress& mac) const {
    Slot* slot = FindSlot(mac);
    return slot ? &slot->stats : nullptr;
}

uint64_t Simulator::RequestCount(const MacAddress& mac, std::string_view kind) const {
    const SimDeviceStats* stats = Stats(mac);
    return stats ? stats->Requests(kind) : 0;
}

std::string Simulator::LastRequest(const MacAddress& mac) const {
    const SimDeviceStats* stats = Stats(mac);
    return stats ? stats->lastRequest : std::string();
}

bool Simulator::IsRebooting(const MacAddress& mac) const {
    Slot* slot = FindSlot(mac);
    return slot && slot->rebootTimer != 0;
}

void Simulator::OnReadable() {
    // One system call takes what is waiting, up to a batch: a lockstep peer
    // costs no second read that only finds the socket empty.
    for (int read = 0; read < kReadsPerWakeup && m_fd >= 0;) {
        mmsghdr messages[kReadBatch] = {};
        sockaddr_in senders[kReadBatch] = {};
        iovec io[kReadBatch];
        for (int i = 0; i < kReadBatch; ++i) {
            io[i] =
                iovec{m_buffer.data() + static_cast<size_t>(i) * kDatagramBufferBytes, kDatagramBufferBytes};
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_iov = &io[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int received = recvmmsg(m_fd, messages, kReadBatch, MSG_DONTWAIT, nullptr);
        if (received <= 0)
            return;
        for (int i = 0; i < received && m_fd >= 0; ++i) {
            if (messages[i].msg_hdr.msg_flags & MSG_TRUNC)
                continue;
            OnDatagram(std::string_view(static_cast<const char*>(io[i].iov_base), messages[i].msg_len),
                       senders[i]);
        }
        read += received;
        if (received < kReadBatch)
            return;  // the socket is empty; the watch is level-triggered anyway
    }
}

void Simulator::OnDatagram(std::string_view datagram, const sockaddr_in& sender) {
    ++m_datagrams;
    if (m_hook)
        m_hook(datagram, sender);
    std::optional<SimRequest> request = ParseRequest(datagram);
    if (!request)
        return;
    if (!request->echo) {
        if (Slot* slot = FindSlot(request->mac))
            Deliver(*slot, *request, datagram, sender);
        return;
    }
    // By index: a hook may add devices, which moves the vector.
    for (size_t i = 0; i < m_slots.size(); ++i)
        Deliver(*m_slots[i], *request, datagram, sender);
}

void Simulator::Deliver(Slot& slot, const SimRequest& request, std::string_view datagram,
                        const sockaddr_in& sender) {
    if (slot.random.Chance(slot.faults.dropRequest)) {
        ++slot.stats.requestsDropped;
        return;
    }
    // A duplicated datagram reaches the device twice, and each copy is handled.
    const bool twice = slot.random.Chance(slot.faults.duplicateRequest);
    if (twice)
        ++slot.stats.requestsDuplicated;
    HandleCopy(slot, request, datagram, sender);
    if (twice)
        HandleCopy(slot, request, datagram, sender);
}

void Simulator::HandleCopy(Slot& slot, const SimRequest& request, std::string_view datagram,
                           const sockaddr_in& sender) {
    std::string_view kind = slot.device->KindOf(request);
    auto counter = slot.stats.requests.find(kind);
    if (counter == slot.stats.requests.end())
        counter = slot.stats.requests.emplace(std::string(kind), 0).first;
    ++counter->second;
    slot.stats.lastRequest.assign(datagram);
    if (slot.rebootTimer) {
        ++slot.stats.requestsWhileRebooting;
        return;
    }
    if (slot.faults.IsSilent(kind)) {
        ++slot.stats.requestsSilenced;
        return;
    }
    std::vector<std::string> replies = slot.device->Handle(request);
    if (slot.device->TakeRebootRequest())
        StartReboot(slot);
    for (auto& [delayMs, make] : slot.device->TakeLaterMessages())
        ScheduleLater(slot, delayMs, std::move(make), sender);
    for (std::string& reply : replies)
        Dispatch(slot, std::move(reply), sender);
}

void Simulator::StartReboot(Slot& slot) {
    Slot* target = &slot;  // slots never move: the vector holds pointers
    slot.rebootTimer = m_loop.AddTimer(slot.device->RebootMs(), [this, target] { FinishReboot(*target); });
    if (slot.rebootTimer == 0)
        FinishReboot(slot);
}

void Simulator::FinishReboot(Slot& slot) {
    slot.rebootTimer = 0;
    SimDevice& device = *slot.device;
    const uint64_t oldKey = MacToNumber(device.Mac());
    // One simulator cannot hold two devices with one MAC: a change to a MAC in
    // use is forgotten, as if the device had not stored it.
    if (const std::optional<MacAddress>& next = device.NextMac();
        next && MacToNumber(*next) != oldKey && m_byMac.count(MacToNumber(*next)))
        device.SetNextMac(std::nullopt);
    device.Reboot();
    const uint64_t newKey = MacToNumber(device.Mac());
    if (newKey != oldKey) {
        m_byMac.erase(oldKey);
        m_byMac.emplace(newKey, &slot);
    }
}

void Simulator::Dispatch(Slot& slot, std::string reply, const sockaddr_in& to) {
    if (slot.random.Chance(slot.faults.dropReply)) {
        ++slot.stats.repliesDropped;
        return;
    }
    bool twice = slot.random.Chance(slot.faults.duplicateReply);
    if (twice) {
        ++slot.stats.repliesDuplicated;
        Schedule(slot, reply, to, DrawReplyDelay(slot.faults, slot.random));
    }
    Schedule(slot, std::move(reply), to, DrawReplyDelay(slot.faults, slot.random));
}

void Simulator::Schedule(Slot& slot, std::string reply, const sockaddr_in& to, uint32_t delayMs) {
    if (delayMs == 0) {
        Send(slot, reply, to);
        return;
    }
    uint64_t key = m_nextPending++;
    winport::ServiceLoop::TimerId timer = m_loop.AddTimer(delayMs, [this, key] { OnReplyDue(key); });
    if (timer == 0) {
        ++slot.stats.sendFailures;
        return;
    }
    m_pending.emplace(key, PendingReply{timer, &slot, to, std::move(reply)});
}

void Simulator::OnReplyDue(uint64_t key) {
    auto it = m_pending.find(key);
    if (it == m_pending.end())
        return;
    PendingReply due = std::move(it->second);
    m_pending.erase(it);
    Send(*due.slot, due.data, due.to);
}

void Simulator::Send(Slot& slot, std::string_view reply, const sockaddr_in& to) {
    // The devices live on loopback addresses, or on a test bed link; they
    // answer nobody else.
    bool onLink = m_linkAddressCount != 0 && IsLinkLocal(to.sin_addr);
    if (m_fd < 0 || !(IsThisHost(to.sin_addr) || onLink) || to.sin_port == 0) {
        ++slot.stats.sendFailures;
        return;
    }
    in_addr from = slot.address;  // the source address of the reply
    if (onLink)
        from.s_addr = htonl(m_firstLinkAddress + static_cast<uint32_t>(slot.index % m_linkAddressCount));
    if (SendFrom(m_fd, reply, to, from))
        ++slot.stats.repliesSent;
    else
        ++slot.stats.sendFailures;
}

void Simulator::ScheduleLater(Slot& slot, uint32_t delayMs, SimDevice::LaterMessage make,
                              const sockaddr_in& to) {
    uint64_t key = m_nextPending++;
    winport::ServiceLoop::TimerId timer = m_loop.AddTimer(delayMs, [this, key] {
        auto it = m_later.find(key);
        if (it == m_later.end())
            return;
        LaterMessage due = std::move(it->second);
        m_later.erase(it);
        // A rebooting device has forgotten what it was about to say.
        if (due.slot->rebootTimer)
            return;
        if (std::optional<std::string> text = due.make(*due.slot->device))
            Dispatch(*due.slot, FormatReply(due.slot->device->Mac(), *text), due.to);
    });
    if (timer == 0) {
        ++slot.stats.sendFailures;
        return;
    }
    m_later.emplace(key, LaterMessage{timer, &slot, to, std::move(make)});
}

void Simulator::DiscardLater() {
    for (auto& [key, later] : m_later)
        m_loop.CancelTimer(later.timer);
    m_later.clear();
}

void Simulator::DiscardPending() {
    for (auto& [key, pending] : m_pending)
        m_loop.CancelTimer(pending.timer);
    m_pending.clear();
}

}  // namespace oskan::sim
