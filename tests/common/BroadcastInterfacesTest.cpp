// Broadcasts on every link: runs inside "scripts/netns-run --links 2", whose
// two links lead to namespaces of their own with simulators behind them.
#include "common/BroadcastInterfaces.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/WinSocket.h"
#include "sim/Simulator.h"
#include "tests/support/ManualClockTest.h"
#include "tests/support/TestBedLinks.h"

namespace {

using oskan::sim::Simulator;
using oskan::sim::TestBedLink;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string Dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::vector<std::string> Names(const BroadcastInterfaces::List& list) {
    std::vector<std::string> names;
    for (const BroadcastInterface& item : list)
        names.push_back(item.name);
    return names;
}

void Nothing(const char*, int, const SOCKADDR_IN*, void*) {}

TEST(InterfaceSelectionTest, NamesJoinedByCommasWithoutBlanksOrRepeats) {
    InterfaceSelection selection = InterfaceSelection::Parse(" eth0, wlan0,,eth0 ,usb1 ");
    EXPECT_THAT(selection.Names(), ElementsAre("eth0", "wlan0", "usb1"));
    EXPECT_EQ(selection.Text(), "eth0,wlan0,usb1");
    EXPECT_TRUE(selection.IsRestricted());
    EXPECT_TRUE(selection.Allows("usb1"));
    EXPECT_FALSE(selection.Allows("eth"));
    EXPECT_FALSE(InterfaceSelection::Parse(" , ").IsRestricted());
    EXPECT_TRUE(InterfaceSelection::Parse("").Allows("anything"));
}

// What each link's far end heard.
struct Heard {
    std::vector<std::string> datagrams;
    std::vector<std::string> senders;
};

class BroadcastInterfacesTest : public oskan::test::ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        unsetenv(BroadcastInterfaces::kEnvironmentVariable);
        links = oskan::sim::TestBed::Links();
        ASSERT_EQ(links.size(), 2u) << "run through scripts/netns-run --links 2";
        for (size_t i = 0; i < 2; ++i) {
            ASSERT_TRUE(oskan::test::BringUp(links[i].name));
            ASSERT_TRUE(oskan::test::OpenOnLink(far[i], links[i]));
            far[i].SetDatagramHook([this, i](std::string_view d, const sockaddr_in& from) {
                heard[i].datagrams.emplace_back(d);
                heard[i].senders.push_back(Dotted(from.sin_addr) + ":" +
                                           std::to_string(ntohs(from.sin_port)));
            });
        }
        // This namespace's loopback, where the routing table sends broadcasts
        // (from 127.0.0.1). It also hears the local copy of each datagram sent
        // on a link, from that link's address.
        ASSERT_TRUE(here.Open());
        here.SetDatagramHook([this](std::string_view d, const sockaddr_in& from) {
            if (Dotted(from.sin_addr) == "127.0.0.1")
                onLoopback.emplace_back(d);
        });
        ASSERT_TRUE(socket.OpenDatagram(&Nothing, nullptr, 1024));
    }
    void TearDown() override {
        unsetenv(BroadcastInterfaces::kEnvironmentVariable);
        for (const TestBedLink& link : links)
            EXPECT_TRUE(oskan::test::BringUp(link.name));
        ManualClockTest::TearDown();
    }
    int Broadcast(const std::string& payload) {
        SOCKADDR_IN to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(65535);
        to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        return socket.SendTo(payload.data(), static_cast<int>(payload.size()), &to);
    }
    // Lets the datagrams in flight arrive.
    void Deliver() {
        Loop().RunUntil([] { return false; }, 50);
    }

    std::vector<TestBedLink> links;
    Simulator far[2];
    Simulator here;
    Heard heard[2];
    std::vector<std::string> onLoopback;
    WinAsyncSocket socket;
};

TEST_F(BroadcastInterfacesTest, EachLinkIsListedWithItsAddressesAndNeverTheLoopback) {
    BroadcastInterfaces::List all = BroadcastInterfaces::Enumerate({});
    ASSERT_THAT(Names(all), ElementsAre("oskan-tb1", "oskan-tb2"));
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(all[i].index, if_nametoindex(links[i].name.c_str()));
        EXPECT_EQ(Dotted(all[i].address), "169.254." + std::to_string(i + 1) + ".1");
        EXPECT_EQ(Dotted(all[i].broadcast), "169.254." + std::to_string(i + 1) + ".255");
    }
    EXPECT_THAT(Names(BroadcastInterfaces::Enumerate(InterfaceSelection::Parse("oskan-tb2,nothere,lo"))),
                ElementsAre("oskan-tb2"));

    EXPECT_EQ(BroadcastInterfaces::Unusable("oskan-tb1"), "");
    EXPECT_EQ(BroadcastInterfaces::Unusable("nothere"), "no such interface");
    EXPECT_EQ(BroadcastInterfaces::Unusable("lo"), "the loopback is never used");
    ASSERT_TRUE(oskan::test::TakeDown("oskan-tb1"));
    EXPECT_EQ(BroadcastInterfaces::Unusable("oskan-tb1"), "it is down");
    EXPECT_THAT(Names(BroadcastInterfaces::Enumerate({})), ElementsAre("oskan-tb2"));
}

// One copy on each link, from that link's address and the socket's own port,
// and none where the routing table would have sent it.
TEST_F(BroadcastInterfacesTest, OneCopyOnEachLinkFromItsAddress) {
    ASSERT_EQ(Broadcast("_?"), 2);
    Deliver();
    const std::string port = ":" + std::to_string(socket.LocalPort());
    EXPECT_THAT(heard[0].datagrams, ElementsAre("_?"));
    EXPECT_THAT(heard[0].senders, ElementsAre("169.254.1.1" + port));
    EXPECT_THAT(heard[1].datagrams, ElementsAre("_?"));
    EXPECT_THAT(heard[1].senders, ElementsAre("169.254.2.1" + port));
    EXPECT_THAT(onLoopback, IsEmpty());
}

// Links that go and come are picked up at the next send; with none left, the
// datagram goes where the routing table sends it, as on a machine without any.
TEST_F(BroadcastInterfacesTest, LinksThatGoAndComeArePickedUpAtTheNextSend) {
    ASSERT_EQ(Broadcast("one"), 3);
    ASSERT_TRUE(oskan::test::TakeDown("oskan-tb1"));
    ASSERT_EQ(Broadcast("two"), 3);
    ASSERT_TRUE(oskan::test::TakeDown("oskan-tb2"));
    ASSERT_EQ(Broadcast("three"), 5);
    ASSERT_TRUE(oskan::test::BringUp("oskan-tb1"));
    ASSERT_EQ(Broadcast("four"), 4);
    Deliver();
    EXPECT_THAT(heard[0].datagrams, ElementsAre("one", "four"));
    EXPECT_THAT(heard[1].datagrams, ElementsAre("one", "two"));
    EXPECT_THAT(onLoopback, ElementsAre("three"));
}

TEST_F(BroadcastInterfacesTest, TheEnvironmentNarrowsTheSetAndNamingNothingUsableSendsNowhere) {
    setenv(BroadcastInterfaces::kEnvironmentVariable, "oskan-tb2", 1);
    ASSERT_EQ(Broadcast("narrow"), 6);
    setenv(BroadcastInterfaces::kEnvironmentVariable, "nothere", 1);
    EXPECT_EQ(Broadcast("nowhere"), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENETUNREACH);
    setenv(BroadcastInterfaces::kEnvironmentVariable, "oskan-tb1, oskan-tb2", 1);
    ASSERT_EQ(Broadcast("both"), 4);
    Deliver();
    EXPECT_THAT(heard[0].datagrams, ElementsAre("both"));
    EXPECT_THAT(heard[1].datagrams, ElementsAre("narrow", "both"));
    EXPECT_THAT(onLoopback, IsEmpty());
}

// A link that fails under a send (its cable pulled after the set was read)
// does not fail the datagram while another link took it.
TEST_F(BroadcastInterfacesTest, AFailingLinkDoesNotFailTheSendWhileAnotherTookIt) {
    const BroadcastInterfaces::List both = BroadcastInterfaces::Enumerate({});
    ASSERT_EQ(both.size(), 2u);
    SOCKADDR_IN to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(65535);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    ASSERT_TRUE(oskan::test::TakeDown("oskan-tb1"));
    EXPECT_EQ(socket.SendToEach("half", 4, &to, both), 4);
    ASSERT_TRUE(oskan::test::TakeDown("oskan-tb2"));
    EXPECT_EQ(socket.SendToEach("none", 4, &to, both), SOCKET_ERROR);
    EXPECT_EQ(errno, ENETUNREACH);
    Deliver();
    EXPECT_THAT(heard[0].datagrams, IsEmpty());
    EXPECT_THAT(heard[1].datagrams, ElementsAre("half"));
}

}  // namespace
