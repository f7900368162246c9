#include "sim/ServerSimulator.h"

#include "sim/SimSocket.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace oskan::sim {

namespace {

constexpr size_t kDatagramBufferBytes = 65536;
constexpr int kReadsPerWakeup = 256;

bool IsLoopback(uint32_t networkAddress) {
    return (ntohl(networkAddress) >> 24) == 127;
}

}  // namespace

uint64_t SimServerStats::Requests(std::string_view kind) const {
    auto it = requests.find(kind);
    return it == requests.end() ? 0 : it->second;
}

ServerSimulator::ServerSimulator() : m_loop(winport::ServiceLoop::Current()) {}

ServerSimulator::~ServerSimulator() {
    Close();
}

bool ServerSimulator::Open(uint16_t port) {
    Close();
    int fd = OpenSimSocket(port, {.destinationInfo = true});
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
    m_buffer.resize(kDatagramBufferBytes);
    return true;
}

void ServerSimulator::Close() {
    for (auto& [key, pending] : m_pending)
        m_loop.CancelTimer(pending.timer);
    m_pending.clear();
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

in_addr ServerSimulator::ServerAddress(size_t index) {
    uint32_t host = static_cast<uint32_t>(2 + index % 250);
    uint32_t net = static_cast<uint32_t>(index / 250) & 0xff;
    in_addr address{};
    address.s_addr = htonl((127u << 24) | (1u << 16) | (net << 8) | host);
    return address;
}

SimServer* ServerSimulator::AddServer(SimServerSettings settings) {
    const uint64_t key = MacToNumber(settings.mac);
    if (m_byMac.count(key))
        return nullptr;
    auto slot = std::make_unique<Slot>();
    slot->address = ServerAddress(m_slots.size());
    if (settings.ip == 0)
        settings.ip = slot->address.s_addr;
    slot->faults = m_defaultFaults;
    slot->random = SimRandom(DeviceSeed(m_seed, key));
    slot->bootMs = m_loop.NowMs();
    slot->server = std::make_unique<SimServer>(std::move(settings));
    m_byMac.emplace(key, slot.get());
    m_slots.push_back(std::move(slot));
    return m_slots.back()->server.get();
}

ServerSimulator::Slot* ServerSimulator::FindSlot(const MacAddress& mac) const {
    auto it = m_byMac.find(MacToNumber(mac));
    return it == m_byMac.end() ? nullptr : it->second;
}

SimServer* ServerSimulator::Find(const MacAddress& mac) const {
    Slot* slot = FindSlot(mac);
    return slot ? slot->server.get() : nullptr;
}

void ServerSimulator::Seed(uint64_t seed) {
    m_seed = seed;
    for (auto& slot : m_slots)
        slot->random = SimRandom(DeviceSeed(seed, MacToNumber(slot->server->Mac())));
}

bool ServerSimulator::SetFaults(const MacAddress& mac, const SimFaults& faults) {
    Slot* slot = FindSlot(mac);
    if (!slot)
        return false;
    slot->faults = faults;
    return true;
}

void ServerSimulator::SetFaultsForAll(const SimFaults& faults) {
    m_defaultFaults = faults;
    for (auto& slot : m_slots)
        slot->faults = faults;
}

const SimServerStats* ServerSimulator::Stats(const MacAddress& mac) const {
    Slot* slot = FindSlot(mac);
    return slot ? &slot->stats : nullptr;
}

uint64_t ServerSimulator::RequestCount(const MacAddress& mac, std::string_view kind) const {
    const SimServerStats* stats = Stats(mac);
    return stats ? stats->Requests(kind) : 0;
}

bool ServerSimulator::IsRebooting(const MacAddress& mac) const {
    Slot* slot = FindSlot(mac);
    return slot && slot->rebootTimer != 0;
}

void ServerSimulator::OnReadable() {
    for (int read = 0; read < kReadsPerWakeup && m_fd >= 0; ++read) {
        sockaddr_in sender{};
        iovec io{m_buffer.data(), m_buffer.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t received = recvmsg(m_fd, &message, MSG_DONTWAIT);
        if (received < 0)
            return;
        if (message.msg_flags & MSG_TRUNC)
            continue;
        in_addr destination{};
        destination.s_addr = htonl(INADDR_BROADCAST);
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(header), sizeof info);
                destination = info.ipi_addr;
            }
        }
        OnDatagram(std::string_view(m_buffer.data(), static_cast<size_t>(received)), sender, destination);
    }
}

void ServerSimulator::OnDatagram(std::string_view datagram, const sockaddr_in& sender, in_addr destination) {
    std::optional<SimServerRequest> request = ParseServerRequest(datagram);
    if (!request)
        return;
    const bool broadcast = destination.s_addr == htonl(INADDR_BROADCAST);
    if (!request->discovery && !request->anyServer) {
        if (Slot* slot = FindSlot(request->mac))
            Deliver(*slot, *request, sender);
        return;
    }
    // By index: a server added meanwhile moves the vector.
    for (size_t i = 0; i < m_slots.size(); ++i) {
        Slot& slot = *m_slots[i];
        if (broadcast || slot.server->Ip() == destination.s_addr)
            Deliver(slot, *request, sender);
    }
}

void ServerSimulator::Deliver(Slot& slot, const SimServerRequest& request, const sockaddr_in& sender) {
    if (slot.random.Chance(slot.faults.dropRequest)) {
        ++slot.stats.requestsDropped;
        return;
    }
    const bool twice = slot.random.Chance(slot.faults.duplicateRequest);
    HandleCopy(slot, request, sender);
    if (twice)
        HandleCopy(slot, request, sender);
}

void ServerSimulator::HandleCopy(Slot& slot, const SimServerRequest& request, const sockaddr_in& sender) {
    const std::string_view kind = SimServer::KindOf(request);
    auto counter = slot.stats.requests.find(kind);
    if (counter == slot.stats.requests.end())
        counter = slot.stats.requests.emplace(std::string(kind), 0).first;
    ++counter->second;
    if (slot.rebootTimer) {
        ++slot.stats.requestsWhileRebooting;
        return;
    }
    if (slot.faults.IsSilent(kind))
        return;
    std::vector<std::string> replies;
    if (request.discovery)
        replies.push_back(slot.server->DiscoveryReply((m_loop.NowMs() - slot.bootMs) / 1000));
    else
        replies = slot.server->Handle(request);
    if (slot.server->TakeRebootRequest())
        StartReboot(slot);
    for (std::string& reply : replies)
        Dispatch(slot, std::move(reply), sender);
}

void ServerSimulator::StartReboot(Slot& slot) {
    Slot* target = &slot;
    slot.rebootTimer =
        m_loop.AddTimer(slot.server->Settings().rebootMs, [this, target] { FinishReboot(*target); });
    if (slot.rebootTimer == 0)
        FinishReboot(slot);
}

void ServerSimulator::FinishReboot(Slot& slot) {
    slot.rebootTimer = 0;
    slot.server->Reboot();
    slot.bootMs = m_loop.NowMs();
}

void ServerSimulator::Dispatch(Slot& slot, std::string reply, const sockaddr_in& to) {
    if (slot.random.Chance(slot.faults.dropReply)) {
        ++slot.stats.repliesDropped;
        return;
    }
    if (slot.random.Chance(slot.faults.duplicateReply))
        Schedule(slot, reply, to, DrawReplyDelay(slot.faults, slot.random));
    Schedule(slot, std::move(reply), to, DrawReplyDelay(slot.faults, slot.random));
}

void ServerSimulator::Schedule(Slot& slot, std::string reply, const sockaddr_in& to, uint32_t delayMs) {
    if (delayMs == 0) {
        Send(slot, reply, to);
        return;
    }
    const uint64_t key = m_nextPending++;
    winport::ServiceLoop::TimerId timer = m_loop.AddTimer(delayMs, [this, key] {
        auto it = m_pending.find(key);
        if (it == m_pending.end())
            return;
        PendingReply due = std::move(it->second);
        m_pending.erase(it);
        Send(*due.slot, due.data, due.to);
    });
    if (timer == 0) {
        ++slot.stats.sendFailures;
        return;
    }
    m_pending.emplace(key, PendingReply{timer, &slot, to, std::move(reply)});
}

void ServerSimulator::Send(Slot& slot, std::string_view reply, const sockaddr_in& to) {
    // Servers answer nobody beyond this host.
    if (m_fd < 0 || to.sin_port == 0 ||
        (to.sin_addr.s_addr != INADDR_ANY && !IsLoopback(to.sin_addr.s_addr))) {
        ++slot.stats.sendFailures;
        return;
    }
    // From the address it was given, when this host has it.
    in_addr from = slot.address;
    if (IsLoopback(slot.server->Ip()))
        from.s_addr = slot.server->Ip();
    if (SendFrom(m_fd, reply, to, from))
        ++slot.stats.repliesSent;
    else
        ++slot.stats.sendFailures;
}

}  // namespace oskan::sim
