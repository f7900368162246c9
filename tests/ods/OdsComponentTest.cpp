// libods.so through the registry, as the Device Explorer drives it: objects
// created by ProgID, against simulated Device Servers and SkOS devices on one
// network, on the manual clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/ServerSimulator.h"
#include "sim/Simulator.h"
#include "tests/ods/OdsHost.h"
#include "tests/support/LateBound.h"
#include "tests/support/ManualClockTest.h"
#include "tests/support/TempFolder.h"

namespace {

using namespace oskan::test;
using oskan::sim::MacAddress;
using oskan::sim::ServerSimulator;
using oskan::sim::SimServer;
using oskan::sim::SimServerSettings;
using oskan::sim::Simulator;

constexpr MacAddress kOpenMac = {0x00, 0x90, 0xE8, 0x00, 0x00, 0x01};
constexpr MacAddress kLockedMac = {0x00, 0x90, 0xE8, 0x00, 0x00, 0x02};
constexpr MacAddress kBroadcastMac = {0x00, 0x90, 0xE8, 0xAB, 0xCD, 0xEF};
constexpr char kPassword[] = "s3cr@t";

using Reply = std::pair<LONG, std::string>;

std::string Ip(const SimServer& server) {
    return oskan::sim::FormatIpv4(server.Ip());
}

class OdsComponentTest : public ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        ASSERT_TRUE(m_servers.Open());
        ASSERT_TRUE(m_devices.Open());
        m_devices.AddDevice({2, 0, 0, 1, 2, 3});
        m_devices.AddDevice({2, 0, 0, 1, 2, 4});
        SimServerSettings open;
        open.mac = kOpenMac;
        open.firstDescription = "Line 1";
        open.secondDescription = "Hall A";
        m_servers.AddServer(open);
        SimServerSettings locked;
        locked.mac = kLockedMac;
        locked.password = kPassword;
        locked.version = "3.02";
        m_servers.AddServer(locked);
        SimServerSettings broadcast;
        broadcast.mac = kBroadcastMac;
        broadcast.directAccess = false;
        m_servers.AddServer(broadcast);
    }
    void TearDown() override {
        m_servers.Close();
        m_devices.Close();
        ManualClockTest::TearDown();
    }

    bool RunUntil(const std::function<bool()>& done, uint32_t timeoutMs = 30000) {
        return Loop().RunUntil(done, timeoutMs);
    }

    // A device object of the ProgID at that address, connected; the connect's
    // result in *error.
    ComPtr<ISkConnection> Connect(const char16_t* progId, const std::string& address, LONG* error) {
        ComPtr<ISkConnection> device = CreateByProgId<ISkConnection>(progId, IID_ISkConnection);
        if (!device)
            return device;
        EventLog events(device.Get(), DIID__ISkConnectionEvents);
        EXPECT_EQ(PutAddress(device.Get(), address), S_OK);
        EXPECT_EQ(device->Connect(), S_OK);
        EXPECT_TRUE(RunUntil([&] { return events.Count(DISPID_OnConnectComplete) > 0; }));
        const Recorded* complete = events.Last(DISPID_OnConnectComplete);
        *error = complete ? complete->ints[0] : -1;
        return device;
    }

    // One command and its completion: {error, response}.
    Reply Command(ISkConnection* device, const std::string& command) {
        ComPtr<ISkCmdTarget> target = Query<ISkCmdTarget>(device, IID_ISkCmdTarget);
        EventLog events(device, DIID__ISkCmdTargetEvents);
        EXPECT_EQ(SendCommand(target.Get(), command), S_OK);
        EXPECT_TRUE(RunUntil([&] { return events.Count(DISPID_OnCommandComplete) > 0; }));
        const Recorded* complete = events.Last(DISPID_OnCommandComplete);
        return complete ? Reply(complete->ints[0], complete->texts[2]) : Reply(-1, std::string());
    }

    ServerSimulator m_servers;
    Simulator m_devices;
};

// ---------------------------------------------------------------- discovery

struct Scan {
    std::vector<LONG> ids;
    LONG error = -1;
};

Scan RunScan(ISkRefresh* refresh, EventLog& events) {
    Scan scan;
    const size_t before = events.Count(DISPID_OnRefreshComplete);
    EXPECT_EQ(refresh->Refresh(), S_OK);
    EXPECT_TRUE(ManualClockTest::Loop().RunUntil(
        [&] { return events.Count(DISPID_OnRefreshComplete) > before; }, 30000));
    for (const Recorded& event : events.Events())
        if (event.id == DISPID_OnDeviceUpdate &&
            std::find(scan.ids.begin(), scan.ids.end(), event.ints[0]) == scan.ids.end())
            scan.ids.push_back(event.ints[0]);
    scan.error = events.Last(DISPID_OnRefreshComplete)->ints[0];
    return scan;
}

ComPtr<IFixedFirmwareDeviceInfo> ServerInfo(ISkRefresh* refresh, LONG id) {
    ComPtr<IDispatch> info;
    EXPECT_EQ(refresh->get_DeviceInfo(id, info.ReleaseAndGetAddressOf()), S_OK);
    return Query<IFixedFirmwareDeviceInfo>(info.Get(), IID_IFixedFirmwareDeviceInfo);
}

TEST_F(OdsComponentTest, EachScanListsOnlyItsOwnKindWithBothOnOneNetwork) {
    ComPtr<ISkRefresh> servers = CreateByProgId<ISkRefresh>(u"ods.udprefresh", IID_ISkRefresh);
    ComPtr<ISkRefresh> devices = CreateByProgId<ISkRefresh>(u"Mirel.UdpRefresh", IID_ISkRefresh);
    ASSERT_TRUE(servers && devices);
    EventLog serverEvents(servers.Get(), DIID__ISkRefreshEvents);
    EventLog deviceEvents(devices.Get(), DIID__ISkRefreshEvents);

    const Scan serverScan = RunScan(servers.Get(), serverEvents);
    const Scan deviceScan = RunScan(devices.Get(), deviceEvents);
    EXPECT_EQ(serverScan.error, 0);
    EXPECT_EQ(deviceScan.error, 0);
    ASSERT_EQ(serverScan.ids.size(), 3u);
    EXPECT_EQ(deviceScan.ids.size(), 2u);
    EXPECT_EQ(serverEvents.Last(DISPID_OnRefreshComplete)->texts[1], "Refresh complete");
    EXPECT_EQ(serverEvents.Last(DISPID_OnRefreshProgress)->ints[0], 100);

    // Every server answered each of the five copies of the request.
    EXPECT_EQ(m_servers.RequestCount(kOpenMac, "?"), 5u);
    // An SkOS device's information object is not a Device Server's.
    ComPtr<IDispatch> skos;
    ASSERT_EQ(devices->get_DeviceInfo(deviceScan.ids[0], skos.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_FALSE(Query<IFixedFirmwareDeviceInfo>(skos.Get(), IID_IFixedFirmwareDeviceInfo));

    std::map<std::string, ComPtr<IFixedFirmwareDeviceInfo>> byMac;
    for (LONG id : serverScan.ids) {
        ComPtr<IFixedFirmwareDeviceInfo> info = ServerInfo(servers.Get(), id);
        ASSERT_TRUE(info);
        byMac[Text(&IFixedFirmwareDeviceInfo::get_MacAddress, info.Get())] = info;
    }
    ASSERT_EQ(byMac.count("00-90-E8-00-00-01"), 1u);
    IFixedFirmwareDeviceInfo* open = byMac["00-90-E8-00-00-01"].Get();
    EXPECT_EQ(Text(&IFixedFirmwareDeviceInfo::get_IpAddress, open), Ip(*m_servers.Find(kOpenMac)));
    EXPECT_GE(Number(&IFixedFirmwareDeviceInfo::get_Ping, open), 0);
    EXPECT_EQ(Text(&IFixedFirmwareDeviceInfo::get_Version, open), "2.10");
    EXPECT_EQ(Number(&IFixedFirmwareDeviceInfo::get_DirectAccess, open), 1);
    EXPECT_EQ(Number(&IFixedFirmwareDeviceInfo::get_PasswordProtected, open), 0);
    EXPECT_EQ(Text(&IFixedFirmwareDeviceInfo::get_FirstDescription, open), "Line 1");
    EXPECT_EQ(Text(&IFixedFirmwareDeviceInfo::get_SecondDescription, open), "Hall A");
    IFixedFirmwareDeviceInfo* locked = byMac["00-90-E8-00-00-02"].Get();
    ASSERT_TRUE(locked);
    EXPECT_EQ(Text(&IFixedFirmwareDeviceInfo::get_Version, locked), "3.02");
    EXPECT_EQ(Number(&IFixedFirmwareDeviceInfo::get_PasswordProtected, locked), 1);
    IFixedFirmwareDeviceInfo* broadcast = byMac["00-90-E8-AB-CD-EF"].Get();
    ASSERT_TRUE(broadcast);
    EXPECT_EQ(Number(&IFixedFirmwareDeviceInfo::get_DirectAccess, broadcast), 0);
}

TEST_F(OdsComponentTest, AServerThatStopsAnsweringLeavesTheListAndOneThatStaysKeepsItsId) {
    ComPtr<ISkRefresh> servers = CreateByProgId<ISkRefresh>(u"ods.udprefresh", IID_ISkRefresh);
    ASSERT_TRUE(servers);
    EventLog events(servers.Get(), DIID__ISkRefreshEvents);
    const Scan first = RunScan(servers.Get(), events);
    ASSERT_EQ(first.ids.size(), 3u);
    oskan::sim::SimFaults silent;
    silent.silentKinds = {"?"};
    m_servers.SetFaults(kLockedMac, silent);
    RunScan(servers.Get(), events);
    ASSERT_EQ(events.Count(DISPID_OnDeviceRemove), 1u);
    const LONG removed = events.Last(DISPID_OnDeviceRemove)->ints[0];
    ComPtr<IDispatch> gone;
    EXPECT_EQ(servers->get_DeviceInfo(removed, gone.ReleaseAndGetAddressOf()),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    for (LONG id : first.ids) {
        if (id == removed)
            continue;
        EXPECT_TRUE(ServerInfo(servers.Get(), id)) << id;
    }
}

// A script host knows only names: every one is served from ODSLib, with the
// DISPIDs that Mirel's objects use for the shared interfaces.
TEST_F(OdsComponentTest, LateBoundHostsReachEveryObjectByName) {
    ComPtr<ISkRefresh> servers = CreateByProgId<ISkRefresh>(u"ods.udprefresh", IID_ISkRefresh);
    ASSERT_TRUE(servers);
    EventLog events(servers.Get(), DIID__ISkRefreshEvents);
    LateBound refresh(servers.Get());
    HRESULT hr = E_FAIL;
    EXPECT_EQ(refresh.Id("Refresh", &hr), 210);
    EXPECT_EQ(refresh.Id("DeviceInfo", &hr), 214);
    ASSERT_EQ(refresh.Method("Refresh"), S_OK);
    ASSERT_TRUE(RunUntil([&] { return events.Count(DISPID_OnRefreshComplete) > 0; }));
    Result info;
    ASSERT_EQ(refresh.Get("DeviceInfo", &info, {Arg(LONG{0})}), S_OK);
    ASSERT_EQ(info.value.vt, VT_DISPATCH);
    LateBound server(info.value.pdispVal);
    Result mac, direct, first;
    EXPECT_EQ(server.Get("MacAddress", &mac), S_OK);
    EXPECT_EQ(mac.Text().size(), 17u);
    EXPECT_EQ(server.Id("SecondDescription", &hr), 9);
    EXPECT_EQ(server.Get("DirectAccess", &direct), S_OK);
    EXPECT_EQ(direct.value.vt, VT_I4);
    EXPECT_EQ(server.Get("FirstDescription", &first), S_OK);
    EXPECT_EQ(server.Id("PcmMode", &hr), DISPID_UNKNOWN);
    EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);

    ComPtr<ISkConnection> device = CreateByProgId<ISkConnection>(u"ods.udpbcastdevice", IID_ISkConnection);
    ASSERT_TRUE(device);
    EventLog connection(device.Get(), DIID__ISkConnectionEvents);
    LateBound late(device.Get());
    EXPECT_EQ(late.Put("Address", Arg("@00-90-E8-AB-CD-EF")), S_OK);
    EXPECT_EQ(late.Method("Connect"), S_OK);
    ASSERT_TRUE(RunUntil([&] { return connection.Count(DISPID_OnConnectComplete) > 0; }));
    EXPECT_EQ(connection.Last(DISPID_OnConnectComplete)->ints[0], 0);
    ComPtr<ISkCmdTarget> target = Query<ISkCmdTarget>(device.Get(), IID_ISkCmdTarget);
    EventLog commands(device.Get(), DIID__ISkCmdTargetEvents);
    LateBound lateTarget(target.Get());
    EXPECT_EQ(lateTarget.Id("Command", &hr), 170);
    EXPECT_EQ(lateTarget.Method("Command", {Arg("B")}), S_OK);  // lParam takes its default
    ASSERT_TRUE(RunUntil([&] { return commands.Count(DISPID_OnCommandComplete) > 0; }));
    EXPECT_EQ(commands.Last(DISPID_OnCommandComplete)->texts[2], "A");
    LateBound lateLoader(Query<ISkLoader>(device.Get(), IID_ISkLoader).Get());
    EXPECT_EQ(lateLoader.Id("Load", &hr), 190);
}

// ---------------------------------------------------------------- passwords

TEST_F(OdsComponentTest, AProtectedServerTakesOnlyTheRightPassword) {
    const std::string ip = Ip(*m_servers.Find(kLockedMac));
    LONG error = -1;
    ComPtr<ISkConnection> none = Connect(u"ods.udpdevice", ip, &error);
    EXPECT_EQ(error, 5);
    VARIANT_BOOL connected = VARIANT_TRUE;
    EXPECT_EQ(none->get_Connected(&connected), S_OK);
    EXPECT_EQ(connected, VARIANT_FALSE);
    Connect(u"ods.udpdevice", "@" + ip, &error);
    EXPECT_EQ(error, 5);
    Connect(u"ods.udpdevice", "wrong@" + ip, &error);
    EXPECT_EQ(error, 5);

    ComPtr<ISkConnection> right = Connect(u"ods.udpdevice", std::string(kPassword) + "@" + ip, &error);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(right->get_Connected(&connected), S_OK);
    EXPECT_EQ(connected, VARIANT_TRUE);
    EXPECT_EQ(Command(right.Get(), "B"), Reply(0, "A"));
    EXPECT_EQ(m_servers.Find(kLockedMac)->Buzzes(), 1u);
}

TEST_F(OdsComponentTest, AnOpenServerTakesAnyFormOfItsAddress) {
    LONG error = -1;
    const std::string ip = Ip(*m_servers.Find(kOpenMac));
    Connect(u"ods.udpdevice", ip, &error);
    EXPECT_EQ(error, 0);
    Connect(u"ods.udpdevice", "@" + ip, &error);
    EXPECT_EQ(error, 0);
    // The MAC as the information object shows it, and in other cases and forms.
    ComPtr<ISkConnection> byMac = Connect(u"ods.udpbcastdevice", "@00-90-e8-ab-cd-ef", &error);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(Command(byMac.Get(), "B"), Reply(0, "A"));
    EXPECT_EQ(m_servers.Find(kBroadcastMac)->Buzzes(), 1u);
    EXPECT_EQ(m_servers.Find(kOpenMac)->Buzzes(), 0u);
    Connect(u"ods.udpbcastdevice", "00:90:E8:AB:CD:EF", &error);
    EXPECT_EQ(error, 0);
}

TEST_F(OdsComponentTest, BadAddressesAreRefusedAndSilenceEndsTheConnect) {
    ComPtr<ISkConnection> device = CreateByProgId<ISkConnection>(u"ods.udpdevice", IID_ISkConnection);
    ComPtr<ISkConnection> byMac = CreateByProgId<ISkConnection>(u"ods.udpbcastdevice", IID_ISkConnection);
    ASSERT_TRUE(device && byMac);
    for (const char* bad : {"10.0.0", "10.0.0.256", "00-90-E8-00-00-01", "pw@", "a|b@10.0.0.1", "1.2.3.4x"})
        EXPECT_EQ(PutAddress(device.Get(), bad), E_INVALIDARG) << bad;
    for (const char* bad : {"00-90-E8-00-00", "00-90-E8-00-00-0G", "00-90:E8-00-00-01", "2.0.0.1.2.3"})
        EXPECT_EQ(PutAddress(byMac.Get(), bad), E_INVALIDARG) << bad;
    EXPECT_EQ(device->Connect(), E_INVALIDARG);

    LONG error = -1;
    Connect(u"ods.udpdevice", "127.9.9.9", &error);
    EXPECT_EQ(error, 1460);
}

// ---------------------------------------------------------------- commands

TEST_F(OdsComponentTest, ChangeIpIsRefusedWithoutThePasswordThenTakenAndSeenAtTheNextScan) {
    LONG error = -1;
    ComPtr<ISkConnection> everyone = Connect(u"ods.udpdevice", "255.255.255.255", &error);
    ASSERT_EQ(error, 0);
    EXPECT_EQ(Command(everyone.Get(), "A00-90-E8-00-00-02/wrong/127.1.7.7").second, "D");
    EXPECT_EQ(Command(everyone.Get(), "A00-90-E8-00-00-02//127.1.7.7").second, "D");
    EXPECT_EQ(Ip(*m_servers.Find(kLockedMac)), "127.1.0.3");
    // The MAC in another letter case names the same server.
    EXPECT_EQ(Command(everyone.Get(), std::string("A00-90-e8-00-00-02/") + kPassword + "/127.1.7.7").second,
              "A");
    EXPECT_EQ(Command(everyone.Get(), "A00-90-E8-00-00-01//127.1.7.8").second, "A");
    EXPECT_EQ(m_servers.Find(kOpenMac)->AddressChanges(), 1u);

    ComPtr<ISkRefresh> servers = CreateByProgId<ISkRefresh>(u"ods.udprefresh", IID_ISkRefresh);
    EventLog events(servers.Get(), DIID__ISkRefreshEvents);
    const Scan scan = RunScan(servers.Get(), events);
    std::set<std::string> ips;
    for (LONG id : scan.ids)
        ips.insert(Text(&IFixedFirmwareDeviceInfo::get_IpAddress, ServerInfo(servers.Get(), id).Get()));
    EXPECT_EQ(ips.count("127.1.7.7"), 1u);
    EXPECT_EQ(ips.count("127.1.7.8"), 1u);

    // Reached at its new address.
    Connect(u"ods.udpdevice", std::string(kPassword) + "@127.1.7.7", &error);
    EXPECT_EQ(error, 0);
}

TEST_F(OdsComponentTest, BuzzAndRebootReachOnlyTheAddressedServer) {
    LONG error = -1;
    ComPtr<ISkConnection> byMac = Connect(u"ods.udpbcastdevice", "@00-90-E8-AB-CD-EF", &error);
    ASSERT_EQ(error, 0);
    EXPECT_EQ(Command(byMac.Get(), "B").second, "A");
    EXPECT_EQ(Command(byMac.Get(), "EC").second, "A");
    EXPECT_TRUE(m_servers.IsRebooting(kBroadcastMac));
    EXPECT_FALSE(m_servers.IsRebooting(kOpenMac));
    EXPECT_TRUE(RunUntil([&] { return !m_servers.IsRebooting(kBroadcastMac); }));
    EXPECT_EQ(m_servers.Find(kBroadcastMac)->Boots(), 1u);
    EXPECT_EQ(m_servers.Find(kOpenMac)->Buzzes(), 0u);
}

// ---------------------------------------------------------------- uploads

class OdsUploadTest : public OdsComponentTest {
protected:
    std::string WriteFirmware(size_t blocks) {
        std::vector<char> bytes(blocks * 128);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((i * 131 + i / 128) & 0xFF);
        const std::string path = m_folder.Path() + "/firmware.bin";
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        m_firmware.assign(bytes.begin(), bytes.end());
        return path;
    }

    TempFolder m_folder;
    std::vector<uint8_t> m_firmware;
};

TEST_F(OdsUploadTest, FirmwareArrivesWholeThroughTenPercentLoss) {
    oskan::sim::SimFaults lossy;
    lossy.dropRequest = 0.1;
    lossy.dropReply = 0.1;
    m_servers.SetFaults(kLockedMac, lossy);
    const std::string file = WriteFirmware(40);
    LONG error = -1;
    ComPtr<ISkConnection> device =
        Connect(u"ods.udpdevice", std::string(kPassword) + "@" + Ip(*m_servers.Find(kLockedMac)), &error);
    ASSERT_EQ(error, 0);
    ComPtr<ISkLoader> loader = Query<ISkLoader>(device.Get(), IID_ISkLoader);
    EventLog events(device.Get(), DIID__ISkLoaderEvents);
    ASSERT_EQ(LoadFile(loader.Get(), file, OLF_FIXED_FIRMWARE), S_OK);
    ASSERT_TRUE(RunUntil([&] { return events.Count(DISPID_OnLoadComplete) > 0; }, 600000));
    EXPECT_EQ(events.Last(DISPID_OnLoadComplete)->ints[0], 0) << events.Last(DISPID_OnLoadComplete)->texts[1];
    EXPECT_GT(events.Count(DISPID_OnLoadProgress), 0u);
    // The server took it byte for byte, and restarts with it; the loss was real.
    ASSERT_TRUE(RunUntil([&] { return m_servers.Find(kLockedMac)->Upload().CompletedUploads() > 0; }));
    EXPECT_EQ(m_servers.Find(kLockedMac)->Upload().Image(), m_firmware);
    EXPECT_GT(m_servers.Stats(kLockedMac)->requestsDropped + m_servers.Stats(kLockedMac)->repliesDropped, 0u);
    EXPECT_TRUE(RunUntil([&] { return m_servers.Find(kLockedMac)->Boots() == 1; }));
}

TEST_F(OdsUploadTest, AnUploadWithoutLoginIsRefused) {
    const std::string file = WriteFirmware(2);
    LONG error = -1;
    ComPtr<ISkConnection> device = Connect(u"ods.udpdevice", "255.255.255.255", &error);
    ASSERT_EQ(error, 0);
    // Every server hears it; the protected one refuses it, the first answer ends it.
    m_servers.SetFaults(kOpenMac, oskan::sim::SimFaults{.silentKinds = {"QF"}});
    m_servers.SetFaults(kBroadcastMac, oskan::sim::SimFaults{.silentKinds = {"QF"}});
    ComPtr<ISkLoader> loader = Query<ISkLoader>(device.Get(), IID_ISkLoader);
    EventLog events(device.Get(), DIID__ISkLoaderEvents);
    ASSERT_EQ(LoadFile(loader.Get(), file, OLF_FIXED_FIRMWARE), S_OK);
    ASSERT_TRUE(RunUntil([&] { return events.Count(DISPID_OnLoadComplete) > 0; }));
    EXPECT_NE(events.Last(DISPID_OnLoadComplete)->ints[0], 0);
    EXPECT_EQ(m_servers.Find(kLockedMac)->Upload().CompletedUploads(), 0u);
}

// Cancel at each step of an upload: the start, the blocks, the end.
TEST_F(OdsUploadTest, CancelInEveryStateCompletesOnceWith1223) {
    const std::string file = WriteFirmware(8);
    for (const char* silentAt : {"QF", "D", "N"}) {
        SCOPED_TRACE(silentAt);
        m_servers.SetFaults(kOpenMac, oskan::sim::SimFaults{.silentKinds = {silentAt}});
        LONG error = -1;
        ComPtr<ISkConnection> device = Connect(u"ods.udpdevice", Ip(*m_servers.Find(kOpenMac)), &error);
        ASSERT_EQ(error, 0);
        ComPtr<ISkLoader> loader = Query<ISkLoader>(device.Get(), IID_ISkLoader);
        EventLog events(device.Get(), DIID__ISkLoaderEvents);
        ASSERT_EQ(LoadFile(loader.Get(), file, OLF_FIXED_FIRMWARE), S_OK);
        RunUntil([&] { return m_servers.RequestCount(kOpenMac, silentAt) > 0; });
        ASSERT_GT(m_servers.RequestCount(kOpenMac, silentAt), 0u);
        EXPECT_EQ(loader->Cancel(), S_OK);
        ASSERT_EQ(events.Count(DISPID_OnLoadComplete), 1u);
        EXPECT_EQ(events.Last(DISPID_OnLoadComplete)->ints[0], 1223);
        EXPECT_EQ(loader->Cancel(), S_OK);
        EXPECT_EQ(events.Count(DISPID_OnLoadComplete), 1u);
        m_servers.SetFaults(kOpenMac, {});
        EXPECT_EQ(device->Disconnect(), S_OK);
    }
    // A command still waiting for its reply.
    m_servers.SetFaults(kOpenMac, oskan::sim::SimFaults{.silentKinds = {"B"}});
    LONG error = -1;
    ComPtr<ISkConnection> waiting = Connect(u"ods.udpbcastdevice", "00-90-E8-00-00-01", &error);
    ASSERT_EQ(error, 0);
    EventLog commands(waiting.Get(), DIID__ISkCmdTargetEvents);
    ComPtr<ISkCmdTarget> target = Query<ISkCmdTarget>(waiting.Get(), IID_ISkCmdTarget);
    ASSERT_EQ(SendCommand(target.Get(), "B", 7), S_OK);
    RunUntil([&] { return m_servers.RequestCount(kOpenMac, "B") > 0; });
    EXPECT_EQ(target->Cancel(), S_OK);
    ASSERT_EQ(commands.Count(DISPID_OnCommandComplete), 1u);
    EXPECT_EQ(commands.Last(DISPID_OnCommandComplete)->ints[0], 1223);
    EXPECT_EQ(commands.Last(DISPID_OnCommandComplete)->ints[3], 7);

    // A connect still waiting for its answer.
    m_servers.SetFaults(kOpenMac, oskan::sim::SimFaults{.silentKinds = {"B", "L"}});
    ComPtr<ISkConnection> device = Connect(u"ods.udpbcastdevice", "00-90-E8-00-00-01", &error);
    EventLog connection(device.Get(), DIID__ISkConnectionEvents);
    ASSERT_EQ(error, 1460);
    ASSERT_EQ(device->Connect(), S_OK);
    ASSERT_EQ(device->Disconnect(), S_OK);
    ASSERT_EQ(connection.Count(DISPID_OnConnectComplete), 1u);
    EXPECT_EQ(connection.Last(DISPID_OnConnectComplete)->ints[0], 1223);
    EXPECT_EQ(connection.Count(DISPID_OnDisconnect), 0u);

    // A scan, by Cancel and by Reset.
    ComPtr<ISkRefresh> refresh = CreateByProgId<ISkRefresh>(u"ods.udprefresh", IID_ISkRefresh);
    EventLog scans(refresh.Get(), DIID__ISkRefreshEvents);
    EXPECT_EQ(refresh->Cancel(), S_OK);
    EXPECT_EQ(scans.Count(DISPID_OnRefreshComplete), 0u);
    for (int reset = 0; reset < 2; ++reset) {
        ASSERT_EQ(refresh->Refresh(), S_OK);
        RunUntil([&] { return scans.Count(DISPID_OnDeviceUpdate) > 0; });
        EXPECT_EQ(reset ? refresh->Reset() : refresh->Cancel(), S_OK);
        ASSERT_EQ(scans.Count(DISPID_OnRefreshComplete), static_cast<size_t>(reset + 1));
        EXPECT_EQ(scans.Last(DISPID_OnRefreshComplete)->ints[0], 1223);
        EXPECT_EQ(scans.Last(DISPID_OnRefreshComplete)->texts[1], "Refresh cancelled");
    }
    // Reset forgot the list without removal events.
    ComPtr<IDispatch> none;
    EXPECT_EQ(refresh->get_DeviceInfo(0, none.ReleaseAndGetAddressOf()),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(scans.Count(DISPID_OnDeviceRemove), 0u);
}

// ---------------------------------------------------------------- lifetime

// The host drops its last reference from inside each event; the object ends
// cleanly, and the only event after that is the cancellation of an upload
// that was still running.
TEST_F(OdsUploadTest, ReleaseFromInsideEveryEvent) {
    const std::string file = WriteFirmware(8);
    const std::string address = Ip(*m_servers.Find(kOpenMac));
    for (DISPID releaseAt : {DISPID_OnConnectComplete, DISPID_OnLoadProgress, DISPID_OnLoadComplete,
                             DISPID_OnCommandComplete, DISPID_OnDisconnect}) {
        SCOPED_TRACE(releaseAt);
        ComPtr<ISkConnection> device = CreateByProgId<ISkConnection>(u"ods.udpdevice", IID_ISkConnection);
        ASSERT_TRUE(device);
        auto connection = std::make_unique<EventLog>(device.Get(), DIID__ISkConnectionEvents);
        auto loads = std::make_unique<EventLog>(device.Get(), DIID__ISkLoaderEvents);
        auto commands = std::make_unique<EventLog>(device.Get(), DIID__ISkCmdTargetEvents);
        bool released = false;
        std::vector<Recorded> afterRelease;
        auto onEvent = [&](const Recorded& event) {
            if (released) {
                afterRelease.push_back(event);
                return;
            }
            if (event.id == DISPID_OnConnectComplete && releaseAt != DISPID_OnConnectComplete) {
                if (releaseAt == DISPID_OnCommandComplete)
                    SendCommand(Query<ISkCmdTarget>(device.Get(), IID_ISkCmdTarget).Get(), "B");
                else if (releaseAt == DISPID_OnDisconnect)
                    device->Disconnect();
                else
                    LoadFile(Query<ISkLoader>(device.Get(), IID_ISkLoader).Get(), file, OLF_FIXED_FIRMWARE);
                return;
            }
            if (event.id == releaseAt) {
                released = true;
                device.Reset();
            }
        };
        for (EventLog* log : {connection.get(), loads.get(), commands.get()}) {
            log->onEvent = onEvent;
            log->KeepConnected();
        }
        ASSERT_EQ(PutAddress(device.Get(), address), S_OK);
        ASSERT_EQ(device->Connect(), S_OK);
        EXPECT_TRUE(RunUntil([&] { return released; }));
        EXPECT_FALSE(device);
        if (releaseAt == DISPID_OnLoadProgress) {
            ASSERT_EQ(afterRelease.size(), 1u);
            EXPECT_EQ(afterRelease[0].id, DISPID_OnLoadComplete);
            EXPECT_EQ(afterRelease[0].ints[0], 1223);
        } else {
            EXPECT_TRUE(afterRelease.empty());
        }
    }

    for (DISPID releaseAt :
         {DISPID_OnRefreshProgress, DISPID_OnDeviceUpdate, DISPID_OnDeviceRemove, DISPID_OnRefreshComplete}) {
        SCOPED_TRACE(releaseAt);
        ComPtr<ISkRefresh> refresh = CreateByProgId<ISkRefresh>(u"ods.udprefresh", IID_ISkRefresh);
        if (releaseAt == DISPID_OnDeviceRemove) {
            // A server listed by a first scan falls silent before the second.
            EventLog first(refresh.Get(), DIID__ISkRefreshEvents);
            RunScan(refresh.Get(), first);
            m_servers.SetFaults(kLockedMac, oskan::sim::SimFaults{.silentKinds = {"?"}});
        }
        EventLog events(refresh.Get(), DIID__ISkRefreshEvents);
        events.KeepConnected();
        bool released = false;
        events.onEvent = [&](const Recorded& event) {
            if (event.id == releaseAt && !released) {
                released = true;
                refresh.Reset();
            }
        };
        ASSERT_EQ(refresh->Refresh(), S_OK);
        EXPECT_TRUE(RunUntil([&] { return released; }));
        EXPECT_FALSE(refresh);
    }
}

}  // namespace
