#include "sim/TestBed.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>

namespace oskan::sim {

namespace {

constexpr std::string_view kFarSuffix = "-far";

in_addr LinkAddress(int link, int host) {
    in_addr address{};
    address.s_addr =
        htonl((169u << 24) | (254u << 16) | (static_cast<uint32_t>(link) << 8) | static_cast<uint32_t>(host));
    return address;
}

bool IsLinkLocal(const sockaddr* address) {
    auto* in = reinterpret_cast<const sockaddr_in*>(address);
    return (ntohl(in->sin_addr.s_addr) >> 16) == 0xa9fe;
}

// Asks the driver itself: a name is only a name.
bool IsVeth(const char* name) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    request.ifr_data = reinterpret_cast<char*>(&info);
    bool veth = ioctl(fd, SIOCETHTOOL, &request) == 0 && std::strcmp(info.driver, "veth") == 0;
    close(fd);
    return veth;
}

bool IsExpectedName(const std::string& name, bool farEnd) {
    if (!farEnd)
        return TestBed::IsLink(name);
    if (name.size() <= kFarSuffix.size() ||
        name.compare(name.size() - kFarSuffix.size(), kFarSuffix.size(), kFarSuffix) != 0)
        return false;
    return TestBed::IsLink(name.substr(0, name.size() - kFarSuffix.size()));
}

}  // namespace

std::vector<TestBedLink> TestBed::Links() {
    std::vector<TestBedLink> links;
    const char* text = std::getenv("OSKAN_TESTBED");
    if (!text)
        return links;
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view entry = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        size_t colon = entry.find(':');
        if (colon == std::string_view::npos || entry.rfind("oskan-tb", 0) != 0)
            continue;
        TestBedLink link;
        link.name = std::string(entry.substr(0, colon));
        link.holderPid = std::atoi(std::string(entry.substr(colon + 1)).c_str());
        int number = std::atoi(link.name.c_str() + 8);
        if (link.holderPid <= 0 || number < 1 || number > 254)
            continue;
        link.nearAddress = LinkAddress(number, 1);
        link.farAddress = LinkAddress(number, 2);
        links.push_back(std::move(link));
    }
    return links;
}

bool TestBed::IsLink(const std::string& name) {
    for (const TestBedLink& link : Links())
        if (link.name == name)
            return true;
    return false;
}

bool OnlyTestBedInterfaces(bool farEnd) {
    // Asks the namespace itself: /sys/class/net would still show the host's
    // interfaces after unshare -n.
    struct if_nameindex* names = if_nameindex();
    if (!names)
        return false;
    std::set<std::string> others;
    bool isolated = true;
    for (struct if_nameindex* n = names; n->if_index != 0; ++n) {
        std::string name = n->if_name;
        if (name == "lo")
            continue;
        others.insert(name);
        isolated = isolated && IsExpectedName(name, farEnd) && IsVeth(n->if_name);
    }
    if_freenameindex(names);
    if (!isolated || others.empty())
        return isolated;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0)
        return false;
    for (ifaddrs* entry = all; entry; entry = entry->ifa_next)
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET && others.count(entry->ifa_name) &&
            !IsLinkLocal(entry->ifa_addr))
            isolated = false;
    freeifaddrs(all);
    return isolated;
}

bool TestBed::InFarNamespace(const TestBedLink& link, const std::function<void()>& work) {
    int here = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    std::string farPath = "/proc/" + std::to_string(link.holderPid) + "/ns/net";
    int far = open(farPath.c_str(), O_RDONLY | O_CLOEXEC);
    bool entered = here >= 0 && far >= 0 && setns(far, CLONE_NEWNET) == 0;
    bool ran = false;
    if (entered) {
        if (OnlyTestBedInterfaces(true)) {
            work();
            ran = true;
        }
        if (setns(here, CLONE_NEWNET) != 0)
            std::abort();  // never go on in the wrong namespace
    }
    if (here >= 0)
        close(here);
    if (far >= 0)
        close(far);
    return ran;
}

bool TestBed::SetUp(const std::string& name, bool up) {
    if (!IsLink(name))
        return false;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    bool done = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (done) {
        if (up)
            request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        else
            request.ifr_flags = static_cast<short>(request.ifr_flags & ~IFF_UP);
        done = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    close(fd);
    return done;
}

}  // namespace oskan::sim
