// The host's reading of the Device Server protocol: MAC and address texts,
// passwords, discovery replies and reply frames.
#include "ods/OdsProtocol.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using namespace OdsProtocol;

TEST(OdsProtocolTest, MacsAreReadInAnyCaseWithEitherSeparatorAndWrittenOneWay) {
    uint8_t mac[6] = {};
    ASSERT_TRUE(ParseMac("00-90-e8-Ab-cD-EF", mac));
    EXPECT_EQ(FormatMac(mac), "00-90-E8-AB-CD-EF");
    ASSERT_TRUE(ParseMac("00:90:E8:AB:CD:EF", mac));
    EXPECT_EQ(FormatMac(mac), "00-90-E8-AB-CD-EF");
    for (const char* bad :
         {"", "00-90-E8-AB-CD", "00-90-E8-AB-CD-EF-", "00-90:E8-AB-CD-EF", "0-90-E8-AB-CD-EF0",
          "00-90-E8-AB-CD-EG", "00.90.E8.AB.CD.EF", "2.0.0.1.2.3", " 00-90-E8-AB-CD-E"})
        EXPECT_FALSE(ParseMac(bad, mac)) << bad;
}

TEST(OdsProtocolTest, Ipv4AddressesAreFourNumbersOfAByte) {
    uint32_t address = 0;
    ASSERT_TRUE(ParseIpv4("127.1.0.2", &address));
    EXPECT_EQ(ntohl(address), 0x7F010002u);
    ASSERT_TRUE(ParseIpv4("255.255.255.255", &address));
    EXPECT_EQ(address, 0xFFFFFFFFu);
    for (const char* bad :
         {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1..3.4", "1.2.3.4 ", "-1.2.3.4", "1.2.3.0004"})
        EXPECT_FALSE(ParseIpv4(bad, &address)) << bad;
}

TEST(OdsProtocolTest, ThePasswordIsWhatComesBeforeTheLastAt) {
    EXPECT_EQ(SplitAddress("10.0.0.1").password, "");
    EXPECT_EQ(SplitAddress("10.0.0.1").address, "10.0.0.1");
    EXPECT_EQ(SplitAddress("@10.0.0.1").password, "");
    EXPECT_EQ(SplitAddress("@10.0.0.1").address, "10.0.0.1");
    EXPECT_EQ(SplitAddress("a@b@10.0.0.1").password, "a@b");
    EXPECT_EQ(SplitAddress("a@b@10.0.0.1").address, "10.0.0.1");
    EXPECT_EQ(SplitAddress("pw@").address, "");
}

TEST(OdsProtocolTest, ADiscoveryReplyCarriesEveryFieldAndLaterFieldsAreIgnored) {
    ServerRecord record;
    ASSERT_TRUE(ParseDiscoveryReply("#[00-90-E8-00-00-01]I10.1.2.3\t2.10\t1\t0\t3600\tPress 4\tHall B\tlater",
                                    &record));
    EXPECT_EQ(FormatMac(record.mac), "00-90-E8-00-00-01");
    EXPECT_EQ(record.ip, "10.1.2.3");
    EXPECT_EQ(record.version, "2.10");
    EXPECT_EQ(record.directAccess, 1);
    EXPECT_EQ(record.passwordProtected, 0);
    EXPECT_EQ(record.uptime, 3600);
    EXPECT_EQ(record.firstDescription, "Press 4");
    EXPECT_EQ(record.secondDescription, "Hall B");
    ASSERT_TRUE(ParseDiscoveryReply("#[00-90-E8-00-00-01]I10.1.2.3\t\t0\t1\t0\t\t", &record));
    EXPECT_EQ(record.version, "");
    EXPECT_EQ(record.passwordProtected, 1);
    // An SkOS echo reply, fields missing or unreadable: not a Device Server.
    for (const char* bad :
         {"[2.0.0.1.2.3]", "#[2.0.0.1.2.3]I10.1.2.3\t2\t1\t0\t1\ta\tb",
          "#[00-90-E8-00-00-01]I10.1.2.3\t2\t1\t0\t1\ta", "#[00-90-E8-00-00-01]X10.1.2.3\t2\t1\t0\t1\ta\tb",
          "#[00-90-E8-00-00-01]I10.1.2\t2\t1\t0\t1\ta\tb",
          "#[00-90-E8-00-00-01]I10.1.2.3\t2\tyes\t0\t1\ta\tb",
          "#[00-90-E8-00-00-01]I10.1.2.3\t2\t1\t0\t9999999999\ta\tb",
          "#00-90-E8-00-00-01]I10.1.2.3\t2\t1\t0\t1\ta\tb"})
        EXPECT_FALSE(ParseDiscoveryReply(bad, &record)) << bad;
}

TEST(OdsProtocolTest, AReplyFrameGivesItsMacAndTheTextAfterIt) {
    uint8_t mac[6] = {};
    std::string_view text;
    ASSERT_TRUE(ParseReplyHeader(std::string_view("#[00-90-E8-00-00-09]A\0\x01", 23), mac, &text));
    EXPECT_EQ(mac[5], 9);
    EXPECT_EQ(text, std::string_view("A\0\x01", 3));
    EXPECT_FALSE(ParseReplyHeader("[00-90-E8-00-00-09]A", mac, &text));
    EXPECT_FALSE(ParseReplyHeader("#[00-90-E8-00-00-09A", mac, &text));
}

}  // namespace
