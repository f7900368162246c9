// The device commands: buzz, reboot and MAC change, the reply to unknown
// commands, and the simulator keeping a rebooting device silent. Without
// sockets, on the manual clock.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sim/SimOptions.h"
#include "sim/Simulator.h"
#include "tests/sim/FedSimulator.h"
#include "tests/support/ManualClockTest.h"
#include "winport/loop/ServiceLoop.h"

namespace oskan::sim {
namespace {

using Replies = std::vector<std::string>;

const MacAddress kMac{2, 0, 0, 1, 2, 3};
const MacAddress kNewMac{2, 0, 0, 1, 2, 9};
const MacAddress kOther{2, 0, 0, 1, 2, 4};

TEST(SimDeviceCommands, BuzzIsCountedAndAccepted) {
    SimDevice device(kMac);
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]B|00000010"), Replies{"[2.0.0.1.2.3]A|00000010"});
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]B"), Replies{"[2.0.0.1.2.3]A"});
    EXPECT_EQ(device.BuzzCount(), 2u);
    device.SetUnknownReply("N");
    // Only the exact command buzzes; longer ones are unknown.
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]BZ|00000011"), Replies{"[2.0.0.1.2.3]N|00000011"});
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]ECX|00000012"), Replies{"[2.0.0.1.2.3]N|00000012"});
    EXPECT_EQ(device.BuzzCount(), 2u);
    EXPECT_FALSE(device.TakeRebootRequest());
}

TEST(SimDeviceCommands, UnknownCommandsGetTheConfiguredReply) {
    SimDevice device(kMac);
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]QQ|00000001"), Replies{"[2.0.0.1.2.3]A|00000001"});
    device.SetUnknownReply("Eunknown");
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]QQ|00000002"), Replies{"[2.0.0.1.2.3]Eunknown|00000002"});
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]QQ"), Replies{"[2.0.0.1.2.3]Eunknown"});
    // Known commands keep their own replies.
    device.SetVersion("4.2");
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]X|00000003"), Replies{"[2.0.0.1.2.3]A4.2//|00000003"});
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]B|00000004"), Replies{"[2.0.0.1.2.3]A|00000004"});
}

TEST(SimDeviceCommands, MacChangeIsAcceptedAndAppliesOnlyAtTheReboot) {
    SimDevice device(kMac);
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]H2.0.0.1.2.9|00000001"), Replies{"[2.0.0.1.2.3]A|00000001"});
    EXPECT_EQ(device.Mac(), kMac);
    ASSERT_TRUE(device.NextMac());
    EXPECT_EQ(*device.NextMac(), kNewMac);
    EXPECT_FALSE(device.TakeRebootRequest());  // it waits for a reboot of its own
    device.Reboot();
    EXPECT_EQ(device.Mac(), kNewMac);
    EXPECT_EQ(device.MacText(), "2.0.0.1.2.9");
    EXPECT_FALSE(device.NextMac());
    EXPECT_TRUE(device.Handle("_[2.0.0.1.2.3]B|00000002").empty());
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.9]B|00000002"), Replies{"[2.0.0.1.2.9]A|00000002"});
}

TEST(SimDeviceCommands, MacChangeToUnreadableTextIsRefused) {
    SimDevice device(kMac);
    for (const char* text : {"H", "H2.0.0.1.2", "H02-00-00-01-02-09", "H2.0.0.1.2.256", "H2.0.0.1.2.9.1",
                             "H 2.0.0.1.2.9", "H2..0.1.2.9"}) {
        EXPECT_EQ(device.Handle(std::string("_[2.0.0.1.2.3]") + text + "|00000001"),
                  Replies{"[2.0.0.1.2.3]E|00000001"})
            << text;
    }
    EXPECT_FALSE(device.NextMac());
}

TEST(SimDeviceCommands, RebootIsAcceptedAndRequestedOnce) {
    SimDevice device(kMac);
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]EC|00000001"), Replies{"[2.0.0.1.2.3]A|00000001"});
    EXPECT_TRUE(device.TakeRebootRequest());
    EXPECT_FALSE(device.TakeRebootRequest());
    device.Reboot();
    EXPECT_EQ(device.RebootCount(), 1u);
    EXPECT_EQ(device.Mac(), kMac);
}

// ---------------------------------------------------------------- the simulator

class SimRebootTest : public oskan::test::ManualClockTest, protected test::FedSimulator {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        StartClockAt(100000);
        simulator.AddDevice(kMac)->SetRebootMs(3000);
        simulator.AddDevice(kOther);
    }
};

TEST_F(SimRebootTest, ARebootingDeviceIsSilentForItsRebootTimeThenAnswers) {
    Receive("_[2.0.0.1.2.3]EC|00000001");
    EXPECT_EQ(RepliesMade(kMac), 1u);  // the acceptance goes out first
    EXPECT_TRUE(simulator.IsRebooting(kMac));
    Advance(2999);
    Receive("_[2.0.0.1.2.3]EC|00000001");  // a resend of the same request
    Receive("_[2.0.0.1.2.3]B|00000002");
    Receive("_?");
    EXPECT_EQ(RepliesMade(kMac), 1u);
    EXPECT_EQ(RepliesMade(kOther), 1u);  // the others answer the echo as ever
    EXPECT_EQ(simulator.Stats(kMac)->requestsWhileRebooting, 3u);
    EXPECT_EQ(simulator.RequestCount(kMac, "EC"), 2u);
    Advance(1);
    EXPECT_FALSE(simulator.IsRebooting(kMac));
    EXPECT_EQ(simulator.Find(kMac)->RebootCount(), 1u);
    Receive("_[2.0.0.1.2.3]B|00000002");
    EXPECT_EQ(RepliesMade(kMac), 2u);
    EXPECT_EQ(simulator.Find(kMac)->BuzzCount(), 1u);
}

TEST_F(SimRebootTest, ASilencedRebootCommandDoesNotReboot) {
    SimFaults faults;
    faults.silentKinds = {"EC"};
    simulator.SetFaults(kMac, faults);
    Receive("_[2.0.0.1.2.3]EC|00000001");
    EXPECT_FALSE(simulator.IsRebooting(kMac));
    EXPECT_EQ(RepliesMade(kMac), 0u);
}

TEST_F(SimRebootTest, TheNewMacAnswersAfterTheRebootAndTheOldOneNoLonger) {
    Receive("_[2.0.0.1.2.3]H2.0.0.1.2.9|00000001");
    Receive("_[2.0.0.1.2.3]EC|00000002");
    EXPECT_EQ(simulator.Find(kNewMac), nullptr);
    Advance(3000);
    ASSERT_NE(simulator.Find(kNewMac), nullptr);
    EXPECT_EQ(simulator.Find(kMac), nullptr);
    EXPECT_EQ(simulator.DeviceCount(), 2u);
    // The device keeps its address and its history.
    EXPECT_EQ(RepliesMade(kNewMac), 2u);
    Receive("_[2.0.0.1.2.9]B|00000003");
    Receive("_[2.0.0.1.2.3]B|00000004");
    EXPECT_EQ(RepliesMade(kNewMac), 3u);
    EXPECT_EQ(simulator.Find(kNewMac)->BuzzCount(), 1u);
}

TEST_F(SimRebootTest, AMacInUseIsNotTaken) {
    Receive("_[2.0.0.1.2.3]H2.0.0.1.2.4|00000001");
    Receive("_[2.0.0.1.2.3]EC|00000002");
    Advance(3000);
    EXPECT_EQ(simulator.Find(kMac)->Mac(), kMac);
    EXPECT_EQ(simulator.Find(kOther)->Mac(), kOther);
    EXPECT_FALSE(simulator.Find(kMac)->NextMac());
}

TEST_F(SimRebootTest, ClosingTheSimulatorEndsAReboot) {
    Receive("_[2.0.0.1.2.3]H2.0.0.1.2.9|00000001");
    Receive("_[2.0.0.1.2.3]EC|00000002");
    simulator.Close();  // the fixture's tear-down sees that the reboot's timer went with it
    EXPECT_FALSE(simulator.IsRebooting(kNewMac));
    ASSERT_NE(simulator.Find(kNewMac), nullptr);
}

// ---------------------------------------------------------------- skos-sim options

TEST(SimCommandOptions, RebootTimeAndUnknownReplyReachEveryDevice) {
    SimProgramOptions options;
    std::ostringstream out, err;
    const char* argv[] = {"skos-sim", "--devices", "2", "--reboot-ms", "250", "--unknown-reply", "Nope"};
    ASSERT_FALSE(ParseSimOptions(7, argv, options, out, err)) << err.str();
    Simulator simulator;
    Populate(simulator, options);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(simulator.DeviceAt(i).RebootMs(), 250u);
        EXPECT_EQ(simulator.DeviceAt(i).UnknownReply(), "Nope");
    }
    const char* bar[] = {"skos-sim", "--unknown-reply", "A|1"};
    EXPECT_EQ(ParseSimOptions(3, bar, options, out, err), 2);
    EXPECT_NE(err.str().find("--unknown-reply"), std::string::npos);
    const char* negative[] = {"skos-sim", "--reboot-ms", "-5"};
    EXPECT_EQ(ParseSimOptions(3, negative, options, out, err), 2);
}

}  // namespace
}  // namespace oskan::sim
