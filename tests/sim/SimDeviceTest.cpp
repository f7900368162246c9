// One device's replies, without sockets.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/SimDevice.h"

namespace oskan::sim {
namespace {

using Replies = std::vector<std::string>;

class SimDeviceTest : public ::testing::Test {
protected:
    SimDeviceTest() : device(MacAddress{2, 0, 0, 1, 2, 3}) {
        device.SetVersion("3.51");
        device.SetBuildId("b1207");
        device.SetProjectName("Boiler/Hall 2");
    }
    SimDevice device;
};

TEST_F(SimDeviceTest, AnswersTheEchoWithItsBracketedMacOnly) {
    EXPECT_EQ(device.Handle("_?"), Replies{"[2.0.0.1.2.3]"});
}

TEST_F(SimDeviceTest, VersionQueryEchoesTheId) {
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]X|0001a2b3"),
              Replies{"[2.0.0.1.2.3]A3.51/b1207/Boiler/Hall 2|0001a2b3"});
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]X|abcdef01"),
              Replies{"[2.0.0.1.2.3]A3.51/b1207/Boiler/Hall 2|abcdef01"});
}

TEST_F(SimDeviceTest, QueriesWhoseIdIsNotEightLowerCaseHexDigitsAreIgnored) {
    for (const char* query : {"X|ABCDEF01", "X|0001a2b", "X|0001a2b3c", "X|", "X|0001a2g3", "PC|0000002A",
                              "PC|2a", "PC|-000002a", "PC| 000002a"})
        EXPECT_EQ(device.Handle(std::string("_[2.0.0.1.2.3]") + query), Replies{}) << query;
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]PC|0000002a").size(), 1u);
}

TEST_F(SimDeviceTest, VersionReplyKeepsTheSecondSlashWhenTheProjectIsEmpty) {
    device.SetProjectName("");
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]X|00000001"), Replies{"[2.0.0.1.2.3]A3.51/b1207/|00000001"});
}

TEST_F(SimDeviceTest, StateQueryReportsEachMode) {
    struct Case {
        SimMachineMode mode;
        const char* reply;
    };
    // The registers that follow the status field are the P-code machine's.
    const std::string machine = " A:0000 B:0000 PC:0000 SP:f000 FL:***/0|0000002a";
    for (Case c : {Case{SimMachineMode::Running, "[2.0.0.1.2.3]A*R*/00"},
                   Case{SimMachineMode::StoppedIdle, "[2.0.0.1.2.3]A***/00"},
                   Case{SimMachineMode::StoppedBusy, "[2.0.0.1.2.3]A**B/00"},
                   Case{SimMachineMode::FileError, "[2.0.0.1.2.3]AE**/00"}}) {
        device.SetMachineMode(c.mode);
        EXPECT_EQ(device.MachineMode(), c.mode);
        EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]PC|0000002a"), Replies{c.reply + machine});
    }
}

TEST_F(SimDeviceTest, StateReportsCombinedFlagsAndTheErrorCode) {
    device.SetFlags({true, true, true});
    device.SetErrorCode(0x1f3);
    // The host reads the mode by flag precedence: the error flag wins.
    EXPECT_EQ(device.MachineMode(), SimMachineMode::FileError);
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]PC|00000007"),
              Replies{"[2.0.0.1.2.3]AERB/1f3 A:0000 B:0000 PC:0000 SP:f000 FL:***/0|00000007"});
    device.SetFlags({false, false, true});
    EXPECT_EQ(device.MachineMode(), SimMachineMode::StoppedBusy);
}

TEST_F(SimDeviceTest, StateQueryWithoutIdIsAnsweredWithoutId) {
    // The debugger's keep-alive is a bare "PC".
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]PC"),
              Replies{"[2.0.0.1.2.3]A*R*/00 A:0000 B:0000 PC:0000 SP:f000 FL:***/0"});
}

TEST_F(SimDeviceTest, OtherTextCommandsAreAccepted) {
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]B|00000010"), Replies{"[2.0.0.1.2.3]A|00000010"});
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]EC|00000011"), Replies{"[2.0.0.1.2.3]A|00000011"});
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]H2.0.0.1.2.9|00000012"), Replies{"[2.0.0.1.2.3]A|00000012"});
}

TEST_F(SimDeviceTest, MacPrefixIsReadLikeTheHostReadsIt) {
    EXPECT_EQ(device.Handle("_[002.000.000.001.002.003]X|00000001").size(), 1u);
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3.99]X|00000001").size(), 1u);
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.259]X|00000001").size(), 1u);  // 259 keeps its low 8 bits: 3
}

TEST_F(SimDeviceTest, IgnoresRequestsForOtherMacs) {
    EXPECT_TRUE(device.Handle("_[2.0.0.1.2.4]X|00000001").empty());
    EXPECT_TRUE(device.Handle("_[3.0.0.1.2.3]PC|00000001").empty());
    EXPECT_TRUE(device.Handle("_[2.0.0.1.2]X|00000001").empty());
}

TEST_F(SimDeviceTest, IgnoresMalformedAndHostileRequests) {
    const std::string hostile[] = {
        "",
        "_",
        "_[",
        "_[2.0.0.1.2.3",
        "_2.0.0.1.2.3]X|00000001",
        "[2.0.0.1.2.3]X|00000001",
        "_[2.0.0.1.2.3]",
        "_[2.0.0.1.2.3]|00000001",
        "_[2.0.0.1.2.3]X\x01|00000001",
        std::string("_[2.0.0.1.2.3]\0\xff\xfe", 17),
        std::string("_[2.0.0.1.2.3]B\0|00000001", 25),
        "_[2.0.0.1.2.3]B" + std::string(4000, 'x') + "|00000001",
        std::string(65507, '\xff'),
        "_?" + std::string(100, '?'),
    };
    for (const std::string& datagram : hostile)
        EXPECT_TRUE(device.Handle(datagram).empty()) << datagram.substr(0, 40);
    // Still the same device afterwards.
    EXPECT_EQ(device.Handle("_[2.0.0.1.2.3]X|00000001"),
              Replies{"[2.0.0.1.2.3]A3.51/b1207/Boiler/Hall 2|00000001"});
}

TEST_F(SimDeviceTest, CountsRequestsUnderTheirKind) {
    auto kind = [&](std::string_view datagram) {
        return std::string(device.KindOf(*ParseRequest(datagram)));
    };
    EXPECT_EQ(kind("_?"), "?");
    EXPECT_EQ(kind("_[2.0.0.1.2.3]X|00000001"), "X");
    EXPECT_EQ(kind("_[2.0.0.1.2.3]PC"), "PC");
    EXPECT_EQ(kind("_[2.0.0.1.2.3]EC|00000001"), "EC");
    EXPECT_EQ(kind("_[2.0.0.1.2.3]H2.0.0.1.2.9|00000001"), "H");
    EXPECT_EQ(kind("_[2.0.0.1.2.3]b|00000001"), "");
    EXPECT_EQ(kind("_[2.0.0.1.2.3]ABCDEFGH|00000001"), "AB");
}

// Later request kinds plug in as handlers; the longest prefix wins.
TEST(SimHandlers, LongestPrefixWinsAndTextRepliesCarryTheId) {
    auto handlers = std::make_shared<SimHandlers>();
    std::vector<std::string> seen;
    auto named = [&seen](std::string name) {
        return [&seen, name](SimDevice&, const SimCommand& command, std::vector<std::string>& replies) {
            seen.push_back(name + ":" + std::string(command.text));
            replies.push_back("A" + name);
        };
    };
    handlers->Add("E", named("restart"));
    handlers->Add("EC", named("reboot"));
    SimDevice device(MacAddress{1, 2, 3, 4, 5, 6}, handlers);

    EXPECT_EQ(device.Handle("_[1.2.3.4.5.6]EC|00000001"), Replies{"[1.2.3.4.5.6]Areboot|00000001"});
    EXPECT_EQ(device.Handle("_[1.2.3.4.5.6]E|00000002"), Replies{"[1.2.3.4.5.6]Arestart|00000002"});
    EXPECT_EQ(device.Handle("_[1.2.3.4.5.6]EX"), Replies{"[1.2.3.4.5.6]Arestart"});
    EXPECT_EQ(seen, (std::vector<std::string>{"reboot:EC", "restart:E", "restart:EX"}));
    // Without a fallback, other commands go unanswered.
    EXPECT_TRUE(device.Handle("_[1.2.3.4.5.6]B|00000003").empty());
}

TEST(SimHandlers, BinaryHandlersSeeTheRawBodyAndAddNoId) {
    auto handlers = std::make_shared<SimHandlers>();
    std::string seen;
    handlers->Add(
        "D",
        [&seen](SimDevice&, const SimCommand& command, std::vector<std::string>& replies) {
            seen.assign(command.body);
            replies.push_back(std::string("A") + std::string(command.body.substr(1, 2)));
        },
        SimHandlers::Kind::Binary);
    SimDevice device(MacAddress{1, 2, 3, 4, 5, 6}, handlers);
    // A block whose bytes happen to end like an id suffix stays a block.
    std::string block = std::string("D\x00\x07", 3) + std::string(119, '\0') + "|0000002a";
    EXPECT_EQ(device.Handle("_[1.2.3.4.5.6]" + block),
              Replies{"[1.2.3.4.5.6]A" + std::string("\x00\x07", 2)});
    EXPECT_EQ(seen, block);
}

TEST(SimHandlers, ReplacingAHandlerKeepsTheOthers) {
    auto handlers = std::make_shared<SimHandlers>(*SimHandlers::Defaults());
    handlers->Add("X", [](SimDevice&, const SimCommand&, std::vector<std::string>& replies) {
        replies.push_back("F");
    });
    SimDevice device(MacAddress{1, 2, 3, 4, 5, 6}, handlers);
    EXPECT_EQ(device.Handle("_[1.2.3.4.5.6]X|00000001"), Replies{"[1.2.3.4.5.6]F|00000001"});
    EXPECT_EQ(device.Handle("_[1.2.3.4.5.6]B|00000002"), Replies{"[1.2.3.4.5.6]A|00000002"});
    // The shared defaults are untouched.
    SimDevice standard(MacAddress{1, 2, 3, 4, 5, 6});
    EXPECT_EQ(standard.Handle("_[1.2.3.4.5.6]X|00000001"), Replies{"[1.2.3.4.5.6]A1.00//|00000001"});
}

}  // namespace
}  // namespace oskan::sim
