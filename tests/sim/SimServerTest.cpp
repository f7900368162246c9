// One simulated Device Server as pure logic: the requests it reads, its
// login, the change of its address, what it refuses without a login, and the
// firmware upload it checks block by block.
#include "sim/SimServer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace oskan::sim {
namespace {

class SimServerTest : public ::testing::Test {
protected:
    SimServerTest()
        : server([] {
              SimServerSettings settings;
              settings.mac = {0x00, 0x90, 0xE8, 0x00, 0x00, 0x07};
              settings.ip = *ParseIpv4("127.1.0.9");
              settings.password = "pw";
              settings.firstDescription = "Press\t4";
              return settings;
          }()) {}

    std::vector<std::string> Send(const std::string& datagram) {
        std::optional<SimServerRequest> request = ParseServerRequest(datagram);
        EXPECT_TRUE(request) << datagram;
        return request ? server.Handle(*request) : std::vector<std::string>{};
    }
    std::string Frame(const std::string& key = "") const {
        return "#[00-90-E8-00-00-07" + (key.empty() ? "" : "/" + key) + "]";
    }

    SimServer server;
};

TEST_F(SimServerTest, RequestsAreReadByTheirFrame) {
    EXPECT_TRUE(ParseServerRequest("#?")->discovery);
    EXPECT_TRUE(ParseServerRequest("#[*]B|1")->anyServer);
    std::optional<SimServerRequest> keyed = ParseServerRequest("#[00:90:e8:00:00:07/abc]B|1");
    ASSERT_TRUE(keyed);
    EXPECT_EQ(keyed->mac, (MacAddress{0x00, 0x90, 0xE8, 0x00, 0x00, 0x07}));
    EXPECT_EQ(keyed->key, "abc");
    EXPECT_EQ(keyed->body, "B|1");
    for (const char* bad :
         {"", "_?", "#", "#[", "#[00-90-E8-00-00-07", "#[2.0.0.1.2.3]B", "_[2.0.0.1.2.3]X|1"})
        EXPECT_FALSE(ParseServerRequest(bad)) << bad;
}

TEST_F(SimServerTest, TheDiscoveryReplyNeverCarriesItsSeparatorInATextAndShowsThePassword) {
    EXPECT_EQ(server.DiscoveryReply(42), "#[00-90-E8-00-00-07]I127.1.0.9\t2.10\t1\t1\t42\tPress 4\t");
}

TEST_F(SimServerTest, ALoginGivesTheKeyThatOpensTheOtherCommands) {
    EXPECT_EQ(Send(Frame() + "B|00000001"), std::vector<std::string>{Frame() + "D|00000001"});
    EXPECT_EQ(Send(Frame() + "Lwrong|00000002"), std::vector<std::string>{Frame() + "D|00000002"});
    EXPECT_EQ(Send(Frame() + "L|00000002"), std::vector<std::string>{Frame() + "D|00000002"});
    EXPECT_EQ(Send(Frame() + "Lpw|00000003"),
              std::vector<std::string>{Frame() + "A" + server.Key() + "|00000003"});
    EXPECT_EQ(Send(Frame(server.Key()) + "B|00000004"), std::vector<std::string>{Frame() + "A|00000004"});
    EXPECT_EQ(server.Buzzes(), 1u);
    // A reboot makes a new key: the old one opens nothing.
    const std::string old = server.Key();
    EXPECT_EQ(Send(Frame(old) + "EC|00000005"), std::vector<std::string>{Frame() + "A|00000005"});
    ASSERT_TRUE(server.TakeRebootRequest());
    server.Reboot();
    EXPECT_NE(server.Key(), old);
    EXPECT_EQ(Send(Frame(old) + "B|00000006"), std::vector<std::string>{Frame() + "D|00000006"});
}

TEST_F(SimServerTest, ChangeIpNamesItsServerAndNeedsThePassword) {
    EXPECT_TRUE(Send("#[*]A00-90-E8-00-00-08/pw/127.1.5.5|1").empty());
    EXPECT_EQ(Send("#[*]A00-90-E8-00-00-07/no/127.1.5.5|00000001"),
              std::vector<std::string>{Frame() + "D|00000001"});
    EXPECT_EQ(Send("#[*]A00-90-e8-00-00-07/pw/127.1.5|00000002"),
              std::vector<std::string>{Frame() + "F|00000002"});
    EXPECT_EQ(FormatIpv4(server.Ip()), "127.1.0.9");
    EXPECT_EQ(Send("#[*]A00-90-e8-00-00-07/pw/127.1.5.5|00000003"),
              std::vector<std::string>{Frame() + "A|00000003"});
    EXPECT_EQ(FormatIpv4(server.Ip()), "127.1.5.5");
    EXPECT_EQ(server.AddressChanges(), 1u);
}

TEST_F(SimServerTest, FirmwareIsTakenWithBlockNumbersPlusOneAndABareE) {
    Send(Frame() + "Lpw|00000001");
    const std::string keyed = Frame(server.Key());
    EXPECT_EQ(Send(keyed + "QF|00000002"), std::vector<std::string>{Frame() + "A|00000002"});
    std::string block = keyed + std::string("D\x00\x00", 3) + std::string(128, 'x');
    EXPECT_EQ(Send(block), std::vector<std::string>{Frame() + std::string("A\x00\x01", 3)});
    // A block out of its turn.
    std::string skipped = keyed + std::string("D\x00\x02", 3) + std::string(128, 'y');
    EXPECT_EQ(Send(skipped), std::vector<std::string>{Frame() + std::string("S\x00\x03", 3)});
    EXPECT_EQ(Send(keyed + "N|00000003"), std::vector<std::string>{Frame() + "A|00000003"});
    // Without the key, the end changes nothing.
    EXPECT_TRUE(Send(Frame() + "E").empty());
    EXPECT_EQ(server.Upload().CompletedUploads(), 0u);
    EXPECT_TRUE(Send(keyed + "E").empty());
    EXPECT_EQ(server.Upload().Image(), std::vector<uint8_t>(128, 'x'));
    EXPECT_TRUE(server.TakeRebootRequest());
    // Applications are not for a fixed firmware.
    EXPECT_EQ(Send(keyed + "Q|00000004"), std::vector<std::string>{Frame() + "F|00000004"});
}

}  // namespace
}  // namespace oskan::sim
