#pragma once
// For tests run by "scripts/netns-run --links N": simulators on the far end of
// each link, and links taken down and brought back.

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/Simulator.h"
#include "sim/TestBed.h"

namespace oskan::test {

inline unsigned LinkFlags(const std::string& name) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    unsigned flags =
        ioctl(fd, SIOCGIFFLAGS, &request) == 0 ? static_cast<unsigned short>(request.ifr_flags) : 0;
    close(fd);
    return flags;
}

// Brings a link up and waits, on the kernel's own notifications, until it
// carries traffic (the carrier of a veth comes up a moment after the link).
inline bool BringUp(const std::string& name) {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK;
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    bool up = oskan::sim::TestBed::SetUp(name, true);
    for (int waits = 0; up && (LinkFlags(name) & IFF_RUNNING) == 0; ++waits) {
        pollfd ready{fd, POLLIN, 0};
        if (waits == 50 || poll(&ready, 1, 100) < 0) {
            up = false;
            break;
        }
        char buffer[8192];
        if (ready.revents & POLLIN)
            recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    }
    close(fd);
    return up;
}

inline bool TakeDown(const std::string& name) {
    return oskan::sim::TestBed::SetUp(name, false);
}

// The test bed's links, at least `count` of them, or the test is skipped.
inline std::vector<oskan::sim::TestBedLink> RequireLinks(size_t count) {
    std::vector<oskan::sim::TestBedLink> links = oskan::sim::TestBed::Links();
    return links.size() >= count ? links : std::vector<oskan::sim::TestBedLink>{};
}

// Opens a simulator on the far end of a link: its devices answer from the
// link's far address.
inline bool OpenOnLink(oskan::sim::Simulator& sim, const oskan::sim::TestBedLink& link) {
    bool opened = false;
    oskan::sim::TestBed::InFarNamespace(link, [&] { opened = sim.Open(); });
    if (opened)
        sim.SetLinkAddresses(link.farAddress, link.farAddressCount);
    return opened;
}

}  // namespace oskan::test
