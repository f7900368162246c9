// The simulated P-code machine through the debugger's requests, without
// sockets; time runs on the manual clock.

#include "sim/SimPcodeMachine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/SimDevice.h"
#include "tests/support/ManualClockTest.h"

namespace oskan::sim {
namespace {

using ::testing::ElementsAre;
using Replies = std::vector<std::string>;

class SimPcodeMachineTest : public oskan::test::ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        StartClockAt(50'000);
        device.SetMachineMode(SimMachineMode::StoppedIdle);
    }
    // The reply text to a request, without MAC and with "|" id cut off.
    std::string Ask(const std::string& body) {
        Replies replies = device.Handle("_[2.0.0.1.2.3]" + body + "|00000001");
        if (replies.size() != 1)
            return "<" + std::to_string(replies.size()) + " replies>";
        std::string text = replies[0].substr(std::string("[2.0.0.1.2.3]").size());
        return text.substr(0, text.rfind("|00000001"));
    }
    // The state message that the device sends later on its own, if any.
    std::optional<std::string> Later(uint32_t* delay = nullptr) {
        auto later = device.TakeLaterMessages();
        if (later.size() != 1)
            return std::nullopt;
        if (delay)
            *delay = later[0].first;
        return later[0].second(device);
    }

    SimDevice device{MacAddress{2, 0, 0, 1, 2, 3}};
};

TEST_F(SimPcodeMachineTest, StateMessageCarriesRegistersFlagsAndTicks) {
    EXPECT_EQ(Ask("PC"), "A***/00 A:0000 B:0000 PC:0000 SP:f000 FL:***/0");
    EXPECT_EQ(Ask("SA12345678"), "A***/00 A:12345678 B:0000 PC:0000 SP:f000 FL:***/0");
    EXPECT_EQ(Ask("SBbeef"), "A***/00 A:12345678 B:beef PC:0000 SP:f000 FL:***/0");
    // PC and SP keep 16 bits, the flags three.
    EXPECT_EQ(Ask("SP12345"), "A***/00 A:12345678 B:beef PC:2345 SP:f000 FL:***/0");
    EXPECT_EQ(Ask("SS0010"), "A***/00 A:12345678 B:beef PC:2345 SP:0010 FL:***/0");
    EXPECT_EQ(Ask("SFfd"), "A***/00 A:12345678 B:beef PC:2345 SP:0010 FL:C*N/0");
    for (const char* bad : {"SA", "SAxyz", "SA123456789", "SB1,2", "PCX"})
        EXPECT_EQ(Ask(bad), "E") << bad;
    device.SetErrorCode(0x2a);
    EXPECT_EQ(Ask("PC").substr(0, 7), "A***/2a");
}

TEST_F(SimPcodeMachineTest, TicksCountWhileRunningAndStandStillWhenStopped) {
    EXPECT_EQ(Ask("PR+"), "A*R*/00 A:0000 B:0000 PC:0000 SP:f000 FL:***/0");
    Advance(250);
    EXPECT_EQ(Ask("PC"), "A*R*/00 A:0000 B:0000 PC:0000 SP:f000 FL:***/250");
    EXPECT_EQ(Ask("PB"), "A***/00 A:0000 B:0000 PC:0000 SP:f000 FL:***/250");
    Advance(1000);
    EXPECT_EQ(Ask("PS"), "A***/00 A:0000 B:0000 PC:0001 SP:f000 FL:***/251");
    Advance(1000);
    EXPECT_EQ(Ask("PC"), "A***/00 A:0000 B:0000 PC:0001 SP:f000 FL:***/251");
}

TEST_F(SimPcodeMachineTest, RunStopsLaterAtTheNextBreakpointAhead) {
    Ask("SP0010");
    EXPECT_EQ(Ask("PR+0005,0040,0020").substr(0, 7), "A*R*/00");
    EXPECT_THAT(device.Machine().CodeBreakpoints(), ElementsAre(5, 0x40, 0x20));
    uint32_t delay = 0;
    std::optional<std::string> stop = Later(&delay);
    EXPECT_EQ(delay, SimPcodeMachine::kDefaultStopDelayMs);
    ASSERT_TRUE(stop);
    EXPECT_EQ(*stop, "J***/00 A:0000 B:0000 PC:0020 SP:f000 FL:***/0");
    EXPECT_EQ(device.MachineMode(), SimMachineMode::StoppedIdle);
    // From there the next one ahead wraps round the end of memory.
    Ask("PR+0005,0040,0020");
    Ask("SPfff0");
    EXPECT_EQ(device.Machine().NextStop(-1), 5);
    EXPECT_EQ(device.Machine().NextStop(0xfff8), 0xfff8);
}

TEST_F(SimPcodeMachineTest, RunToStopsAtItsAddressUnlessABreakpointComesFirst) {
    Ask("PR0040+0050");
    EXPECT_EQ(Later()->substr(0, 22), "J***/00 A:0000 B:0000 ");
    EXPECT_EQ(device.Machine().Register(kRegPC), 0x40u);
    Ask("PR0080+0050");
    ASSERT_TRUE(Later());
    EXPECT_EQ(device.Machine().Register(kRegPC), 0x50u);
}

TEST_F(SimPcodeMachineTest, ABreakOrANewRunVoidsTheStopScheduledBefore) {
    Ask("PR+0010");
    auto first = device.TakeLaterMessages();
    ASSERT_EQ(first.size(), 1u);
    Ask("PB");
    EXPECT_FALSE(first[0].second(device));
    EXPECT_EQ(device.Machine().Register(kRegPC), 0u);
    EXPECT_TRUE(device.TakeLaterMessages().empty());

    Ask("PR+0010");
    auto second = device.TakeLaterMessages();
    Ask("CB0030");  // while running: the stop moves
    auto third = device.TakeLaterMessages();
    ASSERT_EQ(third.size(), 1u);
    EXPECT_FALSE(second[0].second(device));
    ASSERT_TRUE(third[0].second(device));
    EXPECT_EQ(device.Machine().Register(kRegPC), 0x30u);
    // Without a target the machine runs on.
    Ask("PR+");
    EXPECT_TRUE(device.TakeLaterMessages().empty());
}

TEST_F(SimPcodeMachineTest, StepsMoveToTheEndOfTheLineOrBackToTheCaller) {
    EXPECT_EQ(Ask("PO0100-1c+0200"), "A***/00 A:0000 B:0000 PC:011c SP:f000 FL:***/28");
    EXPECT_THAT(device.Machine().CodeBreakpoints(), ElementsAre(0x200));
    EXPECT_EQ(Ask("PO011c-4,f000+"), "A***/00 A:0000 B:0000 PC:0120 SP:f000 FL:***/32");
    EXPECT_EQ(Ask("SM0f00,34,12").substr(0, 1), "A");
    Ask("SS0f00");
    EXPECT_EQ(Ask("PO0120-0,0eff+"), "A***/00 A:0000 B:0000 PC:1234 SP:0f02 FL:***/33");
    for (const char* bad : {"PO", "PO0100", "PO0100-", "PO0100-4", "PO0100-4,+", "PO0100-4+x", "PO0100-4+1,"})
        EXPECT_EQ(Ask(bad), "E") << bad;
}

TEST_F(SimPcodeMachineTest, RestartClearsTheMachineAndRuns) {
    Ask("SA0007");
    Ask("PS");
    device.SetErrorCode(3);
    EXPECT_EQ(Ask("E"), "A*R*/00 A:0000 B:0000 PC:0000 SP:f000 FL:***/0");
    EXPECT_EQ(Ask("EX"), "A");  // not a restart: the reply to unknown commands
    device.SetMachineMode(SimMachineMode::FileError);
    EXPECT_EQ(Ask("PR+").substr(0, 7), "AE**/00");  // nothing loaded to run
}

TEST_F(SimPcodeMachineTest, MemoryBlocksReadAndWrite) {
    EXPECT_EQ(Ask("SM0100,de,ad,be,ef"), "A");
    const std::string reply = Ask("GM00fe,06");
    EXPECT_EQ(reply, "A***/00 @ 00fe: 00 00 de ad be ef ");
    EXPECT_EQ(reply.substr(10, 4), "00fe");
    EXPECT_EQ(reply.substr(16 + 3 * 2, 2), "de");
    EXPECT_EQ(Ask("SMfff0,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10"), "A");
    EXPECT_EQ(Ask("GMffff,01"), "A***/00 @ ffff: 10 ");
    for (const char* bad :
         {"GM0100,00", "GM0100,11", "GMfff8,09", "GM0100", "GM0100,1x", "SM0100", "SM0100,1ff",
          "SMffff,01,02", "SM0100,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11"})
        EXPECT_EQ(Ask(bad), "E") << bad;
    EXPECT_EQ(Ask("GM0100,04"), "A***/00 @ 0100: de ad be ef ");
}

TEST_F(SimPcodeMachineTest, PropertiesPassThroughTheScratchArea) {
    SimPcodeMachine& machine = device.Machine();
    machine.SetProperty(7, {1, 2, 3});
    EXPECT_EQ(Ask("GP7"), "A");
    EXPECT_EQ(Ask("GMff00,03"), "A***/00 @ ff00: 01 02 03 ");
    Ask("SMff00,09,08");
    EXPECT_EQ(Ask("SR7"), "A");
    EXPECT_THAT(*machine.Property(7), ElementsAre(9, 8, 3));
    for (const char* bad : {"GP99", "SR99", "GP", "GP-1", "GPx"})
        EXPECT_EQ(Ask(bad), "E") << bad;
    machine.SetScratchAddress(0x2000);
    Ask("GP3");
    EXPECT_EQ(Ask("GM2000,06"), "A***/00 @ 2000: 04 10 53 6b 4f 53 ");
}

TEST_F(SimPcodeMachineTest, MemoryBreakpointListsAreKept) {
    EXPECT_EQ(Ask("MBR0200-4,Wffff-1,B0000-0").substr(0, 1), "A");
    EXPECT_THAT(device.Machine().MemoryBreakpoints(),
                ElementsAre(SimMemoryBreakpoint{'R', 0x200, 4}, SimMemoryBreakpoint{'W', 0xffff, 1},
                            SimMemoryBreakpoint{'B', 0, 0}));
    for (const char* bad : {"MBX0200-4", "MBR0200", "MBR10000-1", "MBR0200-4,", "MBR0200-4;W0-1"})
        EXPECT_EQ(Ask(bad), "E") << bad;
    EXPECT_EQ(device.Machine().MemoryBreakpoints().size(), 3u);
    EXPECT_EQ(Ask("MB").substr(0, 1), "A");
    EXPECT_TRUE(device.Machine().MemoryBreakpoints().empty());
}

}  // namespace
}  // namespace oskan::sim
