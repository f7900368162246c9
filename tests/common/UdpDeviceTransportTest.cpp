#include "common/UdpDeviceTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/ManualClockTest.h"
#include "tests/support/ScriptedDevice.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using ::testing::ElementsAre;
using winport::ServiceLoop;

struct Received {
    std::vector<std::string> texts;
    static void Record(const char* text, int length, void* user) {
        auto* self = static_cast<Received*>(user);
        EXPECT_EQ(text[length], '\0');
        self->texts.emplace_back(text, static_cast<size_t>(length));
    }
};

void Offer(UdpDeviceTransport& transport, const std::string& datagram) {
    std::string copy = datagram;  // zero-terminated, as the socket delivers it
    transport.OnDatagram(copy.c_str(), static_cast<int>(copy.size()));
}

TEST(UdpDeviceAddress, SixNumbersGiveHeaderAndMac) {
    UdpDeviceTransport transport;
    EXPECT_EQ(transport.SetAddress("2.0.0.1.2.3"), S_OK);
    EXPECT_EQ(transport.Header(), "_[2.0.0.1.2.3]");
    EXPECT_THAT(std::vector<uint8_t>(transport.Mac(), transport.Mac() + 6), ElementsAre(2, 0, 0, 1, 2, 3));

    EXPECT_EQ(transport.SetAddress("002.000.000.001.002.003"), S_OK);
    EXPECT_EQ(transport.Header(), "_[002.000.000.001.002.003]");  // the text as the host set it
    EXPECT_THAT(std::vector<uint8_t>(transport.Mac(), transport.Mac() + 6), ElementsAre(2, 0, 0, 1, 2, 3));
}

// The header goes out as the host wrote it: anything but six numbers of 0 to
// 255 joined by points could carry a command of its own.
TEST(UdpDeviceAddress, AnythingButSixNumbersOf0To255IsRefused) {
    const std::string refused[] = {"2.0.0.1.2.3]EC", "2.0.0.1.2.3]_[2.0.0.1.2.4]EC",
                                   "300.0.0.1.2.3",  "2.0.0.1.2.256",
                                   "2.0.0.1.2.3.4",  "2.0.0.1.2",
                                   "2.0.0.1.2.",     ".2.0.0.1.2.3",
                                   "2..0.1.2.3",     " 2.0.0.1.2.3",
                                   "2.0.0.1.2.3 ",   "2.0.0.1.2.3\n",
                                   "+2.0.0.1.2.3",   "2.0.0.1.2.-3",
                                   "2.0.0.1.2.0003", std::string("2.0.0.1.2.3\0]EC", 16),
                                   "2.0.0.1.2.x",    "02-00-00-01-02-03"};
    for (const std::string& address : refused) {
        UdpDeviceTransport transport;
        ASSERT_EQ(transport.SetAddress("2.0.0.1.2.3"), S_OK);
        EXPECT_EQ(transport.SetAddress(address), E_INVALIDARG) << address;
        EXPECT_EQ(transport.Header(), "") << address;
        EXPECT_EQ(transport.Address(), "") << address;
        EXPECT_THAT(std::vector<uint8_t>(transport.Mac(), transport.Mac() + 6),
                    ElementsAre(0, 0, 0, 0, 0, 0));
    }
    UdpDeviceTransport transport;
    EXPECT_EQ(transport.SetAddress("255.255.255.0.0.0"), S_OK);
    EXPECT_THAT(std::vector<uint8_t>(transport.Mac(), transport.Mac() + 6),
                ElementsAre(255, 255, 255, 0, 0, 0));
}

TEST(UdpDeviceAddress, UnreadableOrEmptyAddressClearsTheState) {
    UdpDeviceTransport transport;
    ASSERT_EQ(transport.SetAddress("2.0.0.1.2.3"), S_OK);
    EXPECT_EQ(transport.SetAddress("02-00-00-01-02-03"), E_INVALIDARG);
    EXPECT_EQ(transport.Header(), "");
    EXPECT_EQ(transport.Address(), "");
    EXPECT_THAT(std::vector<uint8_t>(transport.Mac(), transport.Mac() + 6), ElementsAre(0, 0, 0, 0, 0, 0));
    ASSERT_EQ(transport.SetAddress("2.0.0.1.2.3"), S_OK);
    EXPECT_EQ(transport.SetAddress(""), S_OK);
    EXPECT_EQ(transport.Header(), "");
}

TEST(UdpDeviceFilter, PassesOnlyRepliesOfThisDevice) {
    UdpDeviceTransport transport;
    Received r;
    transport.OpenClient(&Received::Record, &r);
    ASSERT_EQ(transport.SetAddress("2.0.0.1.2.3"), S_OK);
    Offer(transport, "[2.0.0.1.2.3]A|0000002a");
    Offer(transport, "[002.000.000.001.002.003]B");
    Offer(transport, "[2.0.0.1.2.3.9]C");
    Offer(transport, "[2.0.0.1.2.4]foreign");
    Offer(transport, "2.0.0.1.2.3]no opening bracket");
    Offer(transport, "[2.0.0.1.2.3 no closing bracket");
    Offer(transport, "[2.0.0.1.2]five numbers");
    Offer(transport, "[]");
    Offer(transport, "");
    Offer(transport, "[2.0.0.1.2.3]");
    EXPECT_THAT(r.texts, ElementsAre("A|0000002a", "B", "C", ""));
    EXPECT_EQ(MessageTransport::ParseReplyId(r.texts[0].data(), static_cast<int>(r.texts[0].size())), 42u);
}

TEST(UdpDeviceFilter, WithoutAddressOnlySixZerosPass) {
    UdpDeviceTransport transport;
    Received r;
    transport.OpenClient(&Received::Record, &r);
    Offer(transport, "[2.0.0.1.2.3]A");
    Offer(transport, "[0.0.0.0.0.0]Z");
    EXPECT_THAT(r.texts, ElementsAre("Z"));
}

// Real sockets on the loopback, timers on the manual clock.
class UdpDeviceNetwork : public oskan::test::ManualClockTest {};

TEST_F(UdpDeviceNetwork, RequestIsBroadcastAndItsReplyRoutedBack) {
    oskan::test::ScriptedDevice device;
    ASSERT_TRUE(device.Bound());
    UdpDeviceTransport transport;
    Received r;
    TransportClient* client = transport.OpenClient(&Received::Record, &r);
    ASSERT_EQ(transport.SetAddress("2.0.0.1.2.3"), S_OK);
    ASSERT_TRUE(transport.Open());
    transport.SetNextRequestId(0x2a);

    uint32_t id = 0;
    transport.SendRequest(client, &id, "B");
    EXPECT_EQ(device.Await([](const std::string&) { return true; }, 2000), "_[2.0.0.1.2.3]B|0000002a");
    EXPECT_EQ(ntohs(device.Sender().sin_port), transport.LocalPort());

    device.Reply("[2.0.0.1.2.9]A|0000002a");  // another device
    device.Reply("[2.0.0.1.2.3]A|0000002a");
    ASSERT_TRUE(ServiceLoop::Current().RunUntil([&] { return !r.texts.empty(); }, 2000));
    EXPECT_THAT(r.texts, ElementsAre("A|0000002a"));
}

TEST_F(UdpDeviceNetwork, NothingIsSentWithoutAddressAndTheFrameKeepsItsEmptyHeader) {
    oskan::test::ScriptedDevice device;
    ASSERT_TRUE(device.Bound());
    StartClockAt(0);
    UdpDeviceTransport transport;
    TransportClient* client = transport.OpenClient(nullptr, nullptr);
    ASSERT_TRUE(transport.Open());
    transport.SendData(client, "B", 1);
    ASSERT_EQ(transport.SetAddress("2.0.0.1.2.3"), S_OK);
    ServiceLoop::Current().AdvanceClock(600);  // the retransmission of the queued frame
    // The destination was zero when framed: only now does it go out, still unframed.
    EXPECT_EQ(device.Receive(), "B");
    transport.SendData(client, "C", 1);
    EXPECT_EQ(device.Receive(), "_[2.0.0.1.2.3]C");
}

TEST_F(UdpDeviceNetwork, SendOnceWhileClosedFails) {
    UdpDeviceTransport transport;
    ASSERT_EQ(transport.SetAddress("2.0.0.1.2.3"), S_OK);
    EXPECT_FALSE(transport.SendOnce("PC", 2));
    ASSERT_TRUE(transport.Open());
    EXPECT_TRUE(transport.SendOnce("PC", 2));
    transport.Close();
    EXPECT_FALSE(transport.IsOpen());
    EXPECT_FALSE(transport.SendOnce("PC", 2));
}

}  // namespace
