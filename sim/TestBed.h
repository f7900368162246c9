#pragma once
// The links of "scripts/netns-run --links N": veth pairs from this namespace
// into private namespaces of their own, with link-local addresses only.
// Simulators for a link are opened inside its far namespace (a socket stays in
// the namespace it was made in), so one thread and one service loop can run
// the host and every link's devices.

#include <netinet/in.h>

#include <functional>
#include <string>
#include <vector>

namespace oskan::sim {

struct TestBedLink {
    std::string name;                // this end, oskan-tbN
    int holderPid = 0;               // the process that holds the far namespace
    in_addr nearAddress{};           // 169.254.N.1
    in_addr farAddress{};            // 169.254.N.2, the first of the far end's addresses
    uint32_t farAddressCount = 253;  // 169.254.N.2 to 169.254.N.254
};

class TestBed {
public:
    // The links OSKAN_TESTBED names; empty outside a test bed.
    static std::vector<TestBedLink> Links();
    // True when name is one of them.
    static bool IsLink(const std::string& name);

    // Runs work with this thread in the link's far namespace, after checking
    // that the namespace holds nothing but lo and the link. False, with work
    // not run, when it cannot be entered or holds anything else.
    static bool InFarNamespace(const TestBedLink& link, const std::function<void()>& work);

    // Brings this end of a link up or down, as a pulled cable or ip link would.
    static bool SetUp(const std::string& name, bool up);
};

// The interfaces of the current namespace other than lo are all test bed
// links: veth, named in OSKAN_TESTBED (or, with farEnd, the far end of one),
// with link-local IPv4 addresses only.
bool OnlyTestBedInterfaces(bool farEnd);

}  // namespace oskan::sim
