// The simulator on a real socket inside the test's network namespace, run on
// this thread's service loop with a manual clock: replies go out as the loop
// dispatches, delayed ones only when the clock is advanced.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/Simulator.h"
#include "tests/sim/HostSocket.h"
#include "tests/support/SimulatorTest.h"

namespace oskan::sim {
namespace {

using test::HostReply;
using test::HostSocket;

constexpr int kPatienceMs = 5000;  // real time; only reached when something is broken

MacAddress MacOf(size_t index) {
    return MacFromNumber(MacToNumber(MacAddress{2, 0, 0, 1, 2, 3}) + index);
}

std::string Dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

class SimNetworkTest : public oskan::test::SimulatorTest {
protected:
    void AddDevices(size_t count) {
        for (size_t i = 0; i < count; ++i)
            ASSERT_TRUE(sim.AddDevice(MacOf(i)));
    }

    // Runs what the loop has ready, in real time and without moving the
    // manual clock, until done holds; wakes up for replies to the host too.
    bool Pump(const std::function<bool()>& done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        while (!done()) {
            if (Loop().Dispatch() > 0)
                continue;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd ready[2] = {{Loop().Fd(), POLLIN, 0}, {host.Fd(), POLLIN, 0}};
            poll(ready, 2, static_cast<int>(left.count()));
        }
        return true;
    }

    // Pumps the loop until count replies have arrived.
    std::vector<HostReply> Collect(size_t count) {
        std::vector<HostReply> replies;
        Pump([&] {
            while (auto reply = host.TryReceive())
                replies.push_back(*reply);
            return replies.size() >= count;
        });
        return replies;
    }

    // Sends a request and waits until the simulator has read it.
    void Request(std::string_view text) {
        uint64_t before = sim.DatagramsReceived();
        ASSERT_TRUE(host.Broadcast(text));
        ASSERT_TRUE(Pump([&] { return sim.DatagramsReceived() > before; })) << text;
    }

    // Replies that arrived so far. A reply the simulator sent within a
    // dispatch has been delivered on loopback by the time sendmsg returns,
    // but a final answered marker request makes sure of it.
    std::vector<HostReply> DrainAfterMarker(const MacAddress& markerDevice) {
        std::string marker = "_[" + FormatMacText(markerDevice) + "]PC|7e577e57";
        EXPECT_TRUE(host.Broadcast(marker));
        std::vector<HostReply> replies;
        bool found = Pump([&] {
            while (auto reply = host.TryReceive()) {
                if (reply->text.ends_with("|7e577e57"))
                    return true;
                replies.push_back(*reply);
            }
            return false;
        });
        EXPECT_TRUE(found) << "the marker was not answered";
        return replies;
    }

    HostSocket host;
};

TEST_F(SimNetworkTest, EchoIsAnsweredByEveryDeviceFromItsOwnAddress) {
    AddDevices(5);
    ASSERT_TRUE(host.Broadcast("_?"));
    std::vector<HostReply> replies = Collect(5);
    ASSERT_EQ(replies.size(), 5u);
    std::set<std::string> addresses;
    for (size_t i = 0; i < 5; ++i) {
        auto it = std::find_if(replies.begin(), replies.end(), [&](const HostReply& r) {
            return r.text == "[" + FormatMacText(MacOf(i)) + "]";
        });
        ASSERT_NE(it, replies.end()) << FormatMacText(MacOf(i));
        EXPECT_EQ(it->from, Dotted(sim.AddressOf(MacOf(i))));
        EXPECT_EQ(it->port, kDevicePort);
        addresses.insert(it->from);
    }
    EXPECT_EQ(addresses.size(), 5u);
    EXPECT_FALSE(host.TryReceive());
}

TEST_F(SimNetworkTest, QueriesAreAnsweredByTheirDeviceOnlyWithTheIdEchoed) {
    AddDevices(3);
    sim.Find(MacOf(1))->SetProjectName("Boiler");
    sim.Find(MacOf(2))->SetMachineMode(SimMachineMode::StoppedBusy);
    Request("_[2.0.0.1.2.4]X|0001a2b3");
    Request("_[002.000.000.001.002.005]PC|ffff0001");
    Request("_[2.0.0.1.2.99]X|00000003");  // nobody
    std::vector<HostReply> replies = DrainAfterMarker(MacOf(0));
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].text, "[2.0.0.1.2.4]A1.00//Boiler|0001a2b3");
    EXPECT_EQ(replies[0].from, "127.0.0.3");
    EXPECT_EQ(replies[1].text, "[2.0.0.1.2.5]A**B/00 A:0000 B:0000 PC:0000 SP:f000 FL:***/0|ffff0001");
    EXPECT_EQ(replies[1].from, "127.0.0.4");
    EXPECT_EQ(sim.RequestCount(MacOf(1), "X"), 1u);
    EXPECT_EQ(sim.RequestCount(MacOf(0), "X"), 0u);
}

TEST_F(SimNetworkTest, ThousandsOfDevicesAnswerOneEcho) {
    constexpr size_t kDevices = 3000;
    AddDevices(kDevices);
    ASSERT_TRUE(host.Broadcast("_?"));
    std::vector<HostReply> replies = Collect(kDevices);
    ASSERT_EQ(replies.size(), kDevices);
    std::set<std::string> macs, addresses;
    for (const HostReply& reply : replies) {
        macs.insert(reply.text);
        addresses.insert(reply.from);
    }
    EXPECT_EQ(macs.size(), kDevices);
    EXPECT_EQ(addresses.size(), kDevices);
}

TEST_F(SimNetworkTest, SimulatorsShareThePort) {
    AddDevices(1);
    Simulator other;
    ASSERT_TRUE(other.Open()) << std::strerror(errno);
    ASSERT_TRUE(other.AddDevice(MacAddress{2, 0, 0, 9, 9, 9}));
    ASSERT_TRUE(host.Broadcast("_?"));
    std::vector<HostReply> replies = Collect(2);
    std::set<std::string> texts;
    for (const HostReply& reply : replies)
        texts.insert(reply.text);
    EXPECT_EQ(texts, (std::set<std::string>{"[2.0.0.1.2.3]", "[2.0.0.9.9.9]"}));
}

TEST_F(SimNetworkTest, DroppedRepliesNeverArrive) {
    AddDevices(2);
    SimFaults lossy;
    lossy.dropReply = 1;
    sim.SetFaults(MacOf(0), lossy);
    Request("_?");
    Request("_[2.0.0.1.2.3]X|00000001");
    std::vector<HostReply> replies = DrainAfterMarker(MacOf(1));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].text, "[2.0.0.1.2.4]");
    EXPECT_EQ(sim.Stats(MacOf(0))->repliesDropped, 2u);
    EXPECT_EQ(sim.Stats(MacOf(0))->repliesSent, 0u);
    // The device did see both requests.
    EXPECT_EQ(sim.RequestCount(MacOf(0), "?"), 1u);
    EXPECT_EQ(sim.RequestCount(MacOf(0), "X"), 1u);
}

TEST_F(SimNetworkTest, DuplicatedRepliesArriveTwice) {
    AddDevices(1);
    SimFaults twice;
    twice.duplicateReply = 1;
    sim.SetFaultsForAll(twice);
    ASSERT_TRUE(host.Broadcast("_[2.0.0.1.2.3]X|0000002a"));
    std::vector<HostReply> replies = Collect(2);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].text, "[2.0.0.1.2.3]A1.00//|0000002a");
    EXPECT_EQ(replies[1].text, replies[0].text);
    EXPECT_EQ(sim.Stats(MacOf(0))->repliesSent, 2u);
}

TEST_F(SimNetworkTest, DelayedReplyWaitsForTheClock) {
    AddDevices(2);
    SimFaults slow;
    slow.delayMs = 300;
    sim.SetFaults(MacOf(0), slow);
    Request("_[2.0.0.1.2.3]X|00000005");
    EXPECT_EQ(sim.PendingReplies(), 1u);
    EXPECT_TRUE(DrainAfterMarker(MacOf(1)).empty());
    Advance(299);
    EXPECT_TRUE(DrainAfterMarker(MacOf(1)).empty());
    Advance(1);
    EXPECT_EQ(sim.PendingReplies(), 0u);
    std::vector<HostReply> replies = DrainAfterMarker(MacOf(1));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].text, "[2.0.0.1.2.3]A1.00//|00000005");
    EXPECT_EQ(replies[0].from, "127.0.0.2");
}

TEST_F(SimNetworkTest, JitterReordersRepliesWithinItsBound) {
    AddDevices(2);
    SimFaults jittery;
    jittery.delayMs = 100;
    jittery.jitterMs = 50;
    sim.SetFaults(MacOf(0), jittery);
    sim.Seed(11);
    constexpr int kRequests = 12;
    char text[40];
    for (int id = 1; id <= kRequests; ++id) {
        std::snprintf(text, sizeof text, "_[2.0.0.1.2.3]PC|%08x", id);
        Request(text);
    }
    Advance(99);
    EXPECT_TRUE(DrainAfterMarker(MacOf(1)).empty());
    Advance(51);
    std::vector<HostReply> replies = DrainAfterMarker(MacOf(1));
    ASSERT_EQ(replies.size(), static_cast<size_t>(kRequests));
    std::vector<std::string> order, sorted;
    for (const HostReply& reply : replies)
        order.push_back(reply.text);
    sorted = order;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_NE(order, sorted) << "jitter should have reordered the replies";
    EXPECT_EQ(std::set<std::string>(order.begin(), order.end()).size(), static_cast<size_t>(kRequests));
}

TEST_F(SimNetworkTest, ClosingDiscardsRepliesStillWaiting) {
    AddDevices(1);
    SimFaults slow;
    slow.delayMs = 50;
    sim.SetFaultsForAll(slow);
    Request("_?");
    ASSERT_EQ(sim.PendingReplies(), 1u);
    sim.Close();
    EXPECT_EQ(sim.PendingReplies(), 0u);
    EXPECT_FALSE(Loop().HasTimers());
    Advance(100);
    EXPECT_FALSE(host.TryReceive());
}

TEST_F(SimNetworkTest, HostileDatagramsLeaveTheDevicesWorking) {
    AddDevices(1);
    std::vector<std::string> seen;
    sim.SetDatagramHook(
        [&seen](std::string_view datagram, const sockaddr_in&) { seen.emplace_back(datagram); });
    const std::string hostile[] = {"_[", std::string("\0\xff\x01", 3), std::string(9000, 'x'),
                                   "_[2.0.0.1.2.3]" + std::string(3000, 'B'),
                                   "_[2.0.0.1.2.3]\x7f\x80|00000001"};
    for (const std::string& datagram : hostile)
        Request(datagram);
    EXPECT_EQ(seen.size(), std::size(hostile));
    EXPECT_EQ(seen[2].size(), 9000u);
    // Only the addressed one of fitting length reached the device, which did
    // not understand it.
    using Counts = std::map<std::string, uint64_t, std::less<>>;
    EXPECT_EQ(sim.Stats(MacOf(0))->requests, (Counts{{"", 1}}));
    EXPECT_TRUE(DrainAfterMarker(MacOf(0)).empty());
}

}  // namespace
}  // namespace oskan::sim
