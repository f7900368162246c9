// Discovery and the device object on a machine attached to two networks: runs
// inside "scripts/netns-run --links 2", with simulated devices behind each
// link, on the manual clock.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelUdpRefresh.h"
#include "Mirel/mireludpdevice.h"
#include "common/BroadcastInterfaces.h"
#include "sim/SimUpload.h"
#include "sim/Simulator.h"
#include "tests/support/ManualClockTest.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestBedLinks.h"
#include "winport/host/DispatchSink.h"

namespace {

using oskan::sim::MacAddress;
using oskan::sim::Simulator;
using ::testing::ElementsAre;
using winport::DispatchSink;

constexpr MacAddress kMacA = {2, 0, 0, 1, 2, 3};  // on the first link
constexpr MacAddress kMacB = {2, 0, 0, 1, 2, 4};  // on the first link
constexpr MacAddress kMacC = {2, 0, 0, 7, 0, 1};  // on the second link

struct Listed {
    std::string ip, version, project;
    OSKAN_PCODE_MACHINE_MODE mode = OPCM_MODE_UNKNOWN;
    bool operator==(const Listed&) const = default;
};
void PrintTo(const Listed& l, std::ostream* os) {
    *os << l.ip << " " << l.version << " " << l.project << " " << l.mode;
}

std::string Text(BSTR text) {
    std::string result = winport::BstrToAnsi(text);
    SysFreeString(text);
    return result;
}

// A host of one discovery object that records completions and updates.
class Scanner {
public:
    Scanner() {
        EXPECT_EQ(CMirelUdpRefresh::CreateInstance(IID_ISkRefresh, refresh.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        sink = DispatchSink::Create(DIID__ISkRefreshEvents, [this](DISPID id, const DISPPARAMS& p) {
            if (id == DISPID_OnRefreshComplete)
                completions.push_back(std::to_string(DispatchSink::IntArg(p, 0)) + " " +
                                      DispatchSink::TextArg(p, 1));
            if (id == DISPID_OnDeviceUpdate)
                ++updates;
        });
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(refresh.As(IID_IConnectionPointContainer, &container), S_OK);
        EXPECT_EQ(container->FindConnectionPoint(DIID__ISkRefreshEvents, point.ReleaseAndGetAddressOf()),
                  S_OK);
        EXPECT_EQ(point->Advise(sink.Get(), &cookie), S_OK);
    }
    ~Scanner() { point->Unadvise(cookie); }

    bool Scan() {
        size_t before = completions.size();
        if (refresh->Refresh() != S_OK)
            return false;
        return winport::ServiceLoop::Current().RunUntil([&] { return completions.size() > before; }, 60000);
    }
    // Every listed device by MAC text.
    std::map<std::string, Listed> Devices() const {
        std::map<std::string, Listed> devices;
        static_cast<CMirelUdpRefresh*>(refresh.Get())->ForEachDevice([&](MirelUdpDeviceInfo& device) {
            BSTR text = nullptr;
            Listed listed;
            device.get_IpAddress(&text);
            listed.ip = Text(text);
            device.get_Version(&text);
            listed.version = Text(text);
            device.get_ProjectName(&text);
            listed.project = Text(text);
            device.get_PcmMode(&listed.mode);
            device.get_MacAddress(&text);
            devices[Text(text)] = listed;
        });
        return devices;
    }

    ComPtr<ISkRefresh> refresh;
    ComPtr<DispatchSink> sink;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    std::vector<std::string> completions;
    size_t updates = 0;
};

class MultiLinkTest : public oskan::test::ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        unsetenv(BroadcastInterfaces::kEnvironmentVariable);
        links = oskan::sim::TestBed::Links();
        ASSERT_EQ(links.size(), 2u) << "run through scripts/netns-run --links 2";
        for (size_t i = 0; i < 2; ++i) {
            ASSERT_TRUE(oskan::test::BringUp(links[i].name));
            ASSERT_TRUE(oskan::test::OpenOnLink(far[i], links[i]));
        }
    }
    void TearDown() override {
        unsetenv(BroadcastInterfaces::kEnvironmentVariable);
        for (Simulator& sim : far)
            sim.Close();  // a device rebooting after its firmware stops waiting
        for (const auto& link : links)
            EXPECT_TRUE(oskan::test::BringUp(link.name));
        ManualClockTest::TearDown();
    }
    oskan::sim::SimDevice* Add(size_t link, const MacAddress& mac, const char* project) {
        auto* device = far[link].AddDevice(mac);
        device->SetVersion("4.2");
        device->SetBuildId("b1");
        device->SetProjectName(project);
        device->SetMachineMode(oskan::sim::SimMachineMode::Running);
        return device;
    }

    std::vector<oskan::sim::TestBedLink> links;
    Simulator far[2];
};

TEST_F(MultiLinkTest, DevicesOnTwoLinksAreFoundInOneScan) {
    Add(0, kMacA, "Boiler");
    Add(0, kMacB, "Pump");
    Add(1, kMacC, "Bench");
    Scanner scanner;
    ASSERT_TRUE(scanner.Scan());
    EXPECT_THAT(scanner.completions, ElementsAre("0 Refresh complete"));
    const auto running = OPCM_MODE_RUNNING;
    EXPECT_EQ(scanner.Devices(), (std::map<std::string, Listed>{
                                     {"2.0.0.1.2.3", {"169.254.1.2", "4.2", "Boiler", running}},
                                     {"2.0.0.1.2.4", {"169.254.1.3", "4.2", "Pump", running}},
                                     {"2.0.0.7.0.1", {"169.254.2.2", "4.2", "Bench", running}},
                                 }));
    // Each copy of the echo went out once on each link.
    EXPECT_EQ(far[0].RequestCount(kMacA, "?"), 5u);
    EXPECT_EQ(far[1].RequestCount(kMacC, "?"), 5u);
}

TEST_F(MultiLinkTest, TheEnvironmentRestrictsTheScanToTheLinksItNames) {
    Add(0, kMacA, "Boiler");
    Add(1, kMacC, "Bench");
    setenv(BroadcastInterfaces::kEnvironmentVariable, "oskan-tb2", 1);
    Scanner scanner;
    ASSERT_TRUE(scanner.Scan());
    EXPECT_THAT(scanner.completions, ElementsAre("0 Refresh complete"));
    EXPECT_EQ(scanner.Devices().count("2.0.0.7.0.1"), 1u);
    EXPECT_EQ(scanner.Devices().size(), 1u);
    EXPECT_EQ(far[0].DatagramsReceived(), 0u);

    // Naming no usable interface is a send failure, not a scan of the default route.
    setenv(BroadcastInterfaces::kEnvironmentVariable, "nothere", 1);
    ASSERT_TRUE(scanner.Scan());
    EXPECT_EQ(scanner.completions.back(), std::to_string(WSAENETUNREACH) + " Error sending packet");
    EXPECT_EQ(far[0].DatagramsReceived(), 0u);
}

// A link that goes down after the first copies of the echo takes its devices
// no further; the scan carries on over the other link and completes as usual.
// Back up, the link is used again by the next scan.
TEST_F(MultiLinkTest, ALinkGoingDownMidScanLeavesTheOtherScanning) {
    Add(0, kMacA, "Boiler");
    Add(1, kMacC, "Bench");
    Scanner scanner;
    ASSERT_EQ(scanner.refresh->Refresh(), S_OK);
    Advance(700);  // two copies out, at 0 and 500 ms
    ASSERT_TRUE(oskan::test::TakeDown(links[0].name));
    ASSERT_TRUE(Loop().RunUntil([&] { return !scanner.completions.empty(); }, 60000));
    EXPECT_THAT(scanner.completions, ElementsAre("0 Refresh complete"));
    EXPECT_EQ(far[0].RequestCount(kMacA, "?"), 2u);
    EXPECT_EQ(far[1].RequestCount(kMacC, "?"), 5u);
    EXPECT_EQ(scanner.Devices().size(), 2u);
    EXPECT_EQ(scanner.Devices()["2.0.0.1.2.3"].version, "4.2");

    ASSERT_TRUE(oskan::test::BringUp(links[0].name));
    ASSERT_TRUE(scanner.Scan());
    EXPECT_EQ(far[0].RequestCount(kMacA, "?"), 7u);
    EXPECT_EQ(scanner.Devices().size(), 2u);
}

// A device reachable on both links hears every request twice and answers each;
// it is listed once, and the second answer to each query is ignored.
TEST_F(MultiLinkTest, TheSameDeviceOnBothLinksIsListedOnce) {
    Add(0, kMacA, "Twin");
    Add(1, kMacA, "Twin");
    Scanner scanner;
    ASSERT_TRUE(scanner.Scan());
    EXPECT_THAT(scanner.completions, ElementsAre("0 Refresh complete"));
    auto devices = scanner.Devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices["2.0.0.1.2.3"].project, "Twin");
    for (Simulator& sim : far) {
        EXPECT_EQ(sim.RequestCount(kMacA, "X"), 1u);
        EXPECT_EQ(sim.RequestCount(kMacA, "PC"), 1u);
        EXPECT_EQ(sim.Stats(kMacA)->repliesSent, 7u);
    }
    // Ten echo answers, and one update each for the version and the state.
    EXPECT_EQ(scanner.updates, 12u);

    // A command to it is answered on both links and completes once.
    ComPtr<ISkConnection> connection;
    ASSERT_EQ(CMirelUdpDevice::CreateInstance(IID_ISkConnection, connection.ReleaseAndGetVoidAddressOf()),
              S_OK);
    ComPtr<ISkCmdTarget> target;
    ASSERT_EQ(connection.As(IID_ISkCmdTarget, &target), S_OK);
    std::vector<std::string> replies;
    auto sink = DispatchSink::Create(DIID__ISkCmdTargetEvents, [&](DISPID, const DISPPARAMS& p) {
        replies.push_back(std::to_string(DispatchSink::IntArg(p, 0)) + " " +
                          winport::BstrToAnsi(V_BSTR(DispatchSink::Arg(p, 2))));
    });
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    ASSERT_EQ(connection.As(IID_IConnectionPointContainer, &container), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(DIID__ISkCmdTargetEvents, point.ReleaseAndGetAddressOf()), S_OK);
    ASSERT_EQ(point->Advise(sink.Get(), &cookie), S_OK);
    BSTR address = SysAllocString(u"2.0.0.1.2.3");
    ASSERT_EQ(connection->put_Address(address), S_OK);
    SysFreeString(address);
    ASSERT_EQ(connection->Connect(), S_OK);
    BSTR command = SysAllocString(u"X");
    ASSERT_EQ(target->Command(command, 7), S_OK);
    SysFreeString(command);
    ASSERT_TRUE(Loop().RunUntil(
        [&] {
            return far[0].RequestCount(kMacA, "X") == 2 && far[1].RequestCount(kMacA, "X") == 2 &&
                   !replies.empty();
        },
        10000));
    Loop().RunUntil([] { return false; }, 100);  // the second answer arrives, and changes nothing
    EXPECT_THAT(replies, ElementsAre("0 A4.2/b1/Twin"));
    EXPECT_EQ(far[0].Stats(kMacA)->repliesSent, 8u);
    EXPECT_EQ(far[1].Stats(kMacA)->repliesSent, 8u);
    point->Unadvise(cookie);
    connection->Disconnect();
}

// The device object's requests reach a device that only the second link leads
// to; a firmware arrives byte for byte, from that link's address.
TEST_F(MultiLinkTest, AnUploadThroughTheSecondLinkArrivesByteForByte) {
    auto* device = Add(1, kMacC, "Bench");
    std::vector<std::string> senders;
    far[1].SetDatagramHook([&](std::string_view, const sockaddr_in& from) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        if (senders.empty() || senders.back() != text)
            senders.push_back(text);
    });
    std::vector<uint8_t> image(200 * 128);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 13 + i / 128);
    oskan::test::TempFolder folder{"multi-link-test"};
    const std::string path = folder.Path() + "/fw.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

    ComPtr<ISkConnection> connection;
    ASSERT_EQ(CMirelUdpDevice::CreateInstance(IID_ISkConnection, connection.ReleaseAndGetVoidAddressOf()),
              S_OK);
    ComPtr<ISkLoader> loader;
    ASSERT_EQ(connection.As(IID_ISkLoader, &loader), S_OK);
    std::vector<std::string> completions;
    auto sink = DispatchSink::Create(DIID__ISkLoaderEvents, [&](DISPID id, const DISPPARAMS& p) {
        if (id == DISPID_OnLoadComplete)
            completions.push_back(std::to_string(DispatchSink::IntArg(p, 0)));
    });
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    ASSERT_EQ(connection.As(IID_IConnectionPointContainer, &container), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(DIID__ISkLoaderEvents, point.ReleaseAndGetAddressOf()), S_OK);
    ASSERT_EQ(point->Advise(sink.Get(), &cookie), S_OK);
    BSTR address = SysAllocString(u"2.0.0.7.0.1");
    ASSERT_EQ(connection->put_Address(address), S_OK);
    SysFreeString(address);
    ASSERT_EQ(connection->Connect(), S_OK);
    BSTR name = winport::AnsiToBstr(path);
    ASSERT_EQ(loader->Load(name, 0), S_OK);
    SysFreeString(name);
    ASSERT_TRUE(Loop().RunUntil([&] { return !completions.empty(); }, 600000));
    EXPECT_THAT(completions, ElementsAre("0"));
    EXPECT_EQ(device->Upload().Image(), image);
    EXPECT_THAT(senders, ElementsAre("169.254.2.1"));
    EXPECT_GE(far[0].DatagramsReceived(), 200u);  // the first link heard it all, and nobody answered
    point->Unadvise(cookie);
    connection->Disconnect();
}

}  // namespace
