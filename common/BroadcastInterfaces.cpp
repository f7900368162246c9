#include "common/BroadcastInterfaces.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

constexpr unsigned kRequiredFlags = IFF_UP | IFF_RUNNING | IFF_BROADCAST;

bool Qualifies(unsigned flags) {
    return (flags & kRequiredFlags) == kRequiredFlags && !(flags & IFF_LOOPBACK);
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// A routing socket that the kernel writes to whenever a link or an IPv4
// address changes; reading it is far cheaper than enumerating on every send.
int OpenNotifications() {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

InterfaceSelection InterfaceSelection::Parse(std::string_view list) {
    InterfaceSelection selection;
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view name = Trim(list.substr(0, comma));
        auto& names = selection.m_names;
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
            names.emplace_back(name);
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    }
    return selection;
}

InterfaceSelection InterfaceSelection::FromEnvironment() {
    const char* list = std::getenv(BroadcastInterfaces::kEnvironmentVariable);
    return list ? Parse(list) : InterfaceSelection{};
}

bool InterfaceSelection::Allows(std::string_view name) const {
    return m_names.empty() || std::find(m_names.begin(), m_names.end(), name) != m_names.end();
}

std::string InterfaceSelection::Text() const {
    std::string text;
    for (const std::string& name : m_names)
        text += (text.empty() ? "" : ",") + name;
    return text;
}

BroadcastInterfaces::List BroadcastInterfaces::Enumerate(const InterfaceSelection& selection) {
    List found;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0)
        return found;
    for (ifaddrs* entry = all; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !Qualifies(entry->ifa_flags))
            continue;
        if (!selection.Allows(entry->ifa_name))
            continue;
        auto same = [&](const BroadcastInterface& known) { return known.name == entry->ifa_name; };
        if (std::any_of(found.begin(), found.end(), same))
            continue;  // one copy per link, from its first address
        BroadcastInterface item;
        item.name = entry->ifa_name;
        item.index = if_nametoindex(entry->ifa_name);
        item.address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        if (entry->ifa_broadaddr && entry->ifa_broadaddr->sa_family == AF_INET)
            item.broadcast = reinterpret_cast<const sockaddr_in*>(entry->ifa_broadaddr)->sin_addr;
        if (item.index != 0)
            found.push_back(std::move(item));
    }
    freeifaddrs(all);
    return found;
}

std::string BroadcastInterfaces::Unusable(std::string_view name) {
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0)
        return "the interfaces cannot be read";
    bool exists = false;
    bool hasIpv4 = false;
    unsigned flags = 0;
    for (ifaddrs* entry = all; entry; entry = entry->ifa_next) {
        if (name != entry->ifa_name)
            continue;
        exists = true;
        flags = entry->ifa_flags;
        hasIpv4 = hasIpv4 || (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET);
    }
    freeifaddrs(all);
    if (!exists)
        return "no such interface";
    if (flags & IFF_LOOPBACK)
        return "the loopback is never used";
    if (!(flags & IFF_UP))
        return "it is down";
    if (!(flags & IFF_RUNNING))
        return "it has no carrier";
    if (!(flags & IFF_BROADCAST))
        return "it cannot broadcast";
    if (!hasIpv4)
        return "it has no IPv4 address";
    return {};
}

BroadcastInterfaces& BroadcastInterfaces::Shared() {
    static BroadcastInterfaces shared;
    return shared;
}

BroadcastInterfaces::BroadcastInterfaces() : m_hNotifications(OpenNotifications()) {}

BroadcastInterfaces::~BroadcastInterfaces() {
    if (m_hNotifications >= 0)
        close(m_hNotifications);
}

bool BroadcastInterfaces::ChangesPending() {
    if (m_hNotifications < 0)
        return true;
    bool changed = false;
    char buffer[4096];
    for (;;) {
        ssize_t got = recv(m_hNotifications, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            changed = true;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        // ENOBUFS: notifications were lost, so anything may have changed.
        if (got < 0 && errno == ENOBUFS)
            changed = true;
        return changed;
    }
}

BroadcastInterfaces::Snapshot BroadcastInterfaces::Current() {
    int savedErrno = errno;
    std::lock_guard<std::mutex> lock(m_Lock);
    const char* env = std::getenv(kEnvironmentVariable);
    std::string selectionText = env ? env : "";
    bool changed = ChangesPending();
    if (changed || !m_bValid || selectionText != m_SelectionText) {
        InterfaceSelection selection = InterfaceSelection::Parse(selectionText);
        m_Current.interfaces = std::make_shared<const List>(Enumerate(selection));
        m_Current.restricted = selection.IsRestricted();
        m_SelectionText = std::move(selectionText);
        m_bValid = true;
    }
    errno = savedErrno;
    return m_Current;
}
