// Reading requests as a device does: MAC text, the request frame, the id suffix.

#include <gtest/gtest.h>

#include <string>

#include "sim/SimProtocol.h"

namespace oskan::sim {
namespace {

const MacAddress kMac{2, 0, 0, 1, 2, 3};

TEST(SimMacText, ReadsSixNumbersTheWayTheHostDoes) {
    MacAddress mac{};
    EXPECT_EQ(ParseMacText("2.0.0.1.2.3", mac), 6u);
    EXPECT_EQ(mac, kMac);
    EXPECT_EQ(ParseMacText("002.000.000.001.002.003", mac), 6u);
    EXPECT_EQ(mac, kMac);
    // Blanks and a sign as atol takes them; only the low 8 bits are kept.
    EXPECT_EQ(ParseMacText(" 2.+0.0.257.-254.3", mac), 6u);
    EXPECT_EQ(mac, (MacAddress{2, 0, 0, 1, 2, 3}));
    // A seventh number is not read.
    EXPECT_EQ(ParseMacText("9.8.7.6.5.4.3", mac), 6u);
    EXPECT_EQ(mac, (MacAddress{9, 8, 7, 6, 5, 4}));
}

TEST(SimMacText, CountsWhatIsThere) {
    MacAddress mac{};
    EXPECT_EQ(ParseMacText("", mac), 0u);
    EXPECT_EQ(ParseMacText("2.0.0.1.2", mac), 5u);
    EXPECT_EQ(ParseMacText("2.0.0.1.2.", mac), 5u);
    EXPECT_EQ(ParseMacText("2", mac), 1u);
}

TEST(SimMacText, FormatsAndCountsUp) {
    EXPECT_EQ(FormatMacText(kMac), "2.0.0.1.2.3");
    EXPECT_EQ(FormatMacText(MacAddress{255, 255, 255, 255, 255, 255}), "255.255.255.255.255.255");
    EXPECT_EQ(MacToNumber(kMac), 0x020000010203u);
    EXPECT_EQ(MacFromNumber(MacToNumber(MacAddress{2, 0, 0, 1, 2, 255}) + 1), (MacAddress{2, 0, 0, 1, 3, 0}));
}

TEST(SimRequestFrame, EchoIsExactlyTwoBytes) {
    auto echo = ParseRequest("_?");
    ASSERT_TRUE(echo);
    EXPECT_TRUE(echo->echo);
    EXPECT_FALSE(ParseRequest("_??"));
    EXPECT_FALSE(ParseRequest(std::string("_?\0", 3)));
    EXPECT_FALSE(ParseRequest("?"));
}

TEST(SimRequestFrame, AddressedRequestGivesMacAndBody) {
    auto request = ParseRequest("_[002.000.000.001.002.003]X|0000002a");
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->echo);
    EXPECT_EQ(request->mac, kMac);
    EXPECT_EQ(request->body, "X|0000002a");
    // The body may hold anything, brackets included.
    request = ParseRequest("_[2.0.0.1.2.3]]x[");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->body, "]x[");
}

TEST(SimRequestFrame, RejectsWhatNoDeviceReads) {
    EXPECT_FALSE(ParseRequest(""));
    EXPECT_FALSE(ParseRequest("_"));
    EXPECT_FALSE(ParseRequest("_["));
    EXPECT_FALSE(ParseRequest("[2.0.0.1.2.3]X"));           // a reply, not a request
    EXPECT_FALSE(ParseRequest("_2.0.0.1.2.3]X"));           // no opening bracket
    EXPECT_FALSE(ParseRequest("_[2.0.0.1.2.3X|0000002a"));  // no closing bracket
    EXPECT_FALSE(ParseRequest("_[2.0.0.1.2]X|0000002a"));   // five numbers
    EXPECT_FALSE(ParseRequest("_[]X"));
    std::string longest = "_[2.0.0.1.2.3]" + std::string(kMaxRequestBytes - 14, 'B');
    EXPECT_TRUE(ParseRequest(longest));
    EXPECT_FALSE(ParseRequest(longest + "B"));
}

TEST(SimRequestId, SplitsTheSuffixTheHostAppends) {
    TextCommand text = SplitRequestId("X|0001a2b3");
    EXPECT_EQ(text.command, "X");
    ASSERT_TRUE(text.id);
    EXPECT_EQ(*text.id, 0x1a2b3u);
    // The last bar counts: the command text may hold bars of its own.
    text = SplitRequestId("A2.0.0.1.2.3/pass|word/10.0.0.5|FFFFFFFF");
    EXPECT_EQ(text.command, "A2.0.0.1.2.3/pass|word/10.0.0.5");
    ASSERT_TRUE(text.id);
    EXPECT_EQ(*text.id, 0xffffffffu);
}

TEST(SimRequestId, NoSuffixLeavesTheWholeCommand) {
    for (const char* body : {"PC", "B|", "B|12345678x", "B|123456789", "B|-1", "|"}) {
        TextCommand text = SplitRequestId(body);
        EXPECT_EQ(text.command, body);
        EXPECT_FALSE(text.id) << body;
    }
    EXPECT_EQ(FormatRequestId(42), "|0000002a");
}

}  // namespace
}  // namespace oskan::sim
