// The simulator's dispatch and fault decisions, driven without a socket: what
// each device is counted as having received, dropped or silenced.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "sim/Simulator.h"
#include "tests/sim/FedSimulator.h"

namespace oskan::sim {
namespace {

const MacAddress kFirst{2, 0, 0, 1, 2, 3};
const MacAddress kSecond{2, 0, 0, 1, 2, 4};

class SimulatorDispatchTest : public ::testing::Test, protected test::FedSimulator {
protected:
    SimulatorDispatchTest() {
        simulator.AddDevice(kFirst);
        simulator.AddDevice(kSecond);
    }
};

TEST_F(SimulatorDispatchTest, EchoReachesEveryDeviceAQueryOnlyItsOwn) {
    Receive("_?");
    Receive("_[2.0.0.1.2.4]X|00000001");
    EXPECT_EQ(simulator.RequestCount(kFirst, "?"), 1u);
    EXPECT_EQ(simulator.RequestCount(kSecond, "?"), 1u);
    EXPECT_EQ(simulator.RequestCount(kFirst, "X"), 0u);
    EXPECT_EQ(simulator.RequestCount(kSecond, "X"), 1u);
    EXPECT_EQ(simulator.LastRequest(kFirst), "_?");
    EXPECT_EQ(simulator.LastRequest(kSecond), "_[2.0.0.1.2.4]X|00000001");
    EXPECT_EQ(RepliesMade(kFirst), 1u);
    EXPECT_EQ(RepliesMade(kSecond), 2u);
}

TEST_F(SimulatorDispatchTest, UnknownMacsAndNoiseTouchNoDevice) {
    std::vector<std::string> seen;
    simulator.SetDatagramHook(
        [&seen](std::string_view datagram, const sockaddr_in&) { seen.emplace_back(datagram); });
    const std::string noise[] = {"_[2.0.0.1.2.5]X|00000001", "_[2.0.0.1.2]X|00000001", "", "[2.0.0.1.2.3]A|1",
                                 std::string("\0\0\0", 3)};
    for (const std::string& datagram : noise)
        Receive(datagram);
    EXPECT_EQ(seen.size(), std::size(noise));
    EXPECT_EQ(simulator.DatagramsReceived(), std::size(noise));
    for (const MacAddress& mac : {kFirst, kSecond}) {
        EXPECT_TRUE(simulator.Stats(mac)->requests.empty());
        EXPECT_EQ(simulator.LastRequest(mac), "");
        EXPECT_EQ(RepliesMade(mac), 0u);
    }
}

TEST_F(SimulatorDispatchTest, ADroppedRequestNeverReachesTheDevice) {
    SimFaults faults;
    faults.dropRequest = 1;
    ASSERT_TRUE(simulator.SetFaults(kFirst, faults));
    Receive("_?");
    EXPECT_EQ(simulator.Stats(kFirst)->requestsDropped, 1u);
    EXPECT_EQ(simulator.RequestCount(kFirst, "?"), 0u);
    EXPECT_EQ(RepliesMade(kFirst), 0u);
    EXPECT_EQ(RepliesMade(kSecond), 1u);
}

TEST_F(SimulatorDispatchTest, ADuplicatedRequestIsHandledTwice) {
    SimFaults faults;
    faults.duplicateRequest = 1;
    ASSERT_TRUE(simulator.SetFaults(kFirst, faults));
    Receive("_?");
    EXPECT_EQ(simulator.Stats(kFirst)->requestsDuplicated, 1u);
    EXPECT_EQ(simulator.RequestCount(kFirst, "?"), 2u);
    EXPECT_EQ(RepliesMade(kFirst), 2u);
    EXPECT_EQ(RepliesMade(kSecond), 1u);
}

TEST_F(SimulatorDispatchTest, ASilencedKindIsCountedButNotAnswered) {
    SimFaults faults;
    faults.silentKinds = {"X", "?"};
    simulator.SetFaultsForAll(faults);
    Receive("_?");
    Receive("_[2.0.0.1.2.3]X|00000001");
    Receive("_[2.0.0.1.2.3]PC|00000002");
    EXPECT_EQ(simulator.RequestCount(kFirst, "?"), 1u);
    EXPECT_EQ(simulator.RequestCount(kFirst, "X"), 1u);
    EXPECT_EQ(simulator.Stats(kFirst)->requestsSilenced, 2u);
    EXPECT_EQ(RepliesMade(kFirst), 1u);  // the "PC" only
    EXPECT_EQ(simulator.Stats(kSecond)->requestsSilenced, 1u);
}

TEST_F(SimulatorDispatchTest, DevicesAddedLaterTakeTheFaultsSetForAll) {
    SimFaults faults;
    faults.delayMs = 30;
    simulator.SetFaultsForAll(faults);
    const MacAddress third{2, 0, 0, 1, 2, 5};
    ASSERT_TRUE(simulator.AddDevice(third));
    EXPECT_EQ(simulator.Faults(third)->delayMs, 30u);
    // A MAC is one device.
    EXPECT_EQ(simulator.AddDevice(third), nullptr);
    EXPECT_EQ(simulator.DeviceCount(), 3u);
    EXPECT_FALSE(simulator.SetFaults(MacAddress{9, 9, 9, 9, 9, 9}, faults));
}

TEST_F(SimulatorDispatchTest, LossIsReproducibleFromTheSeed) {
    SimFaults faults;
    faults.dropReply = 0.5;
    simulator.SetFaultsForAll(faults);
    auto lossPattern = [&] {
        std::vector<uint64_t> pattern;
        for (int i = 0; i < 200; ++i) {
            Receive("_[2.0.0.1.2.3]PC|00000001");
            pattern.push_back(simulator.Stats(kFirst)->repliesDropped);
        }
        return pattern;
    };
    simulator.Seed(7);
    std::vector<uint64_t> first = lossPattern();
    uint64_t dropped = first.back();
    EXPECT_GT(dropped, 60u);
    EXPECT_LT(dropped, 140u);
    simulator.Seed(7);
    std::vector<uint64_t> again = lossPattern();
    for (uint64_t& count : again)
        count -= dropped;
    EXPECT_EQ(again, first);
    // Another seed, another pattern.
    simulator.Seed(8);
    std::vector<uint64_t> other = lossPattern();
    for (uint64_t& count : other)
        count -= 2 * dropped;
    EXPECT_NE(other, first);
}

TEST(SimDelays, JitterStaysWithinItsBounds) {
    SimFaults faults;
    faults.delayMs = 100;
    faults.jitterMs = 20;
    SimRandom random(3);
    std::set<uint32_t> seen;
    for (int i = 0; i < 2000; ++i) {
        uint32_t delay = DrawReplyDelay(faults, random);
        ASSERT_GE(delay, 100u);
        ASSERT_LE(delay, 120u);
        seen.insert(delay);
    }
    EXPECT_EQ(seen.size(), 21u);  // every value of the range occurs
    faults.jitterMs = 0;
    EXPECT_EQ(DrawReplyDelay(faults, random), 100u);
}

TEST(SimAddresses, EveryDeviceHasItsOwnLoopbackAddress) {
    auto text = [](size_t index) {
        char buffer[INET_ADDRSTRLEN];
        in_addr address = Simulator::DeviceAddress(index);
        return std::string(inet_ntop(AF_INET, &address, buffer, sizeof buffer));
    };
    EXPECT_EQ(text(0), "127.0.0.2");
    EXPECT_EQ(text(249), "127.0.0.251");
    EXPECT_EQ(text(250), "127.0.1.2");
    std::set<uint32_t> distinct;
    for (size_t i = 0; i < 100000; ++i) {
        uint32_t host = ntohl(Simulator::DeviceAddress(i).s_addr);
        ASSERT_EQ(host >> 24, 127u);
        uint32_t last = host & 0xff;
        ASSERT_TRUE(last >= 2 && last <= 251) << i;
        distinct.insert(host);
    }
    EXPECT_EQ(distinct.size(), 100000u);
}

}  // namespace
}  // namespace oskan::sim
