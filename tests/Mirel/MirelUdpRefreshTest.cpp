#include "Mirel/MirelUdpRefresh.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "tests/support/Advise.h"
#include "tests/support/ScriptedDevice.h"
#include "tests/support/SimulatorTest.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/host/EventConnection.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using oskan::sim::MacAddress;
using oskan::test::SimulatorTest;
using ::testing::ElementsAre;
using winport::DispatchSink;
using winport::ServiceLoop;

constexpr MacAddress kMacA = {2, 0, 0, 1, 2, 3};
constexpr MacAddress kMacB = {2, 0, 0, 1, 2, 4};

struct Completion {
    LONG error;
    std::string details;
};

// A host: holds the discovery object, listens to its events, records them.
class Host {
public:
    Host() {
        EXPECT_EQ(CMirelUdpRefresh::CreateInstance(IID_ISkRefresh, refresh.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        sink = DispatchSink::Create(DIID__ISkRefreshEvents,
                                    [this](DISPID id, const DISPPARAMS& p) { OnEvent(id, p); });
        events = winport::EventConnection(refresh.Get(), DIID__ISkRefreshEvents, sink.Get());
        EXPECT_EQ(events.Result(), S_OK);
    }

    void OnEvent(DISPID id, const DISPPARAMS& p) {
        switch (id) {
            case DISPID_OnRefreshProgress:
                progress.push_back(DispatchSink::IntArg(p, 0));
                break;
            case DISPID_OnRefreshComplete:
                completions.push_back({DispatchSink::IntArg(p, 0), DispatchSink::TextArg(p, 1)});
                break;
            case DISPID_OnDeviceUpdate:
                updates.push_back(DispatchSink::IntArg(p, 0));
                break;
            case DISPID_OnDeviceRemove:
                removals.push_back(DispatchSink::IntArg(p, 0));
                break;
        }
        if (onEvent)
            onEvent(id, p);
    }

    bool RunScan(uint32_t timeoutMs = 10000) {
        size_t before = completions.size();
        return ServiceLoop::Current().RunUntil([&] { return completions.size() > before; }, timeoutMs);
    }

    // Text properties of a listed device.
    std::string Text(LONG id, HRESULT (IMirelUdpDeviceInfo::*get)(BSTR*)) {
        ComPtr<IDispatch> dispatch;
        if (refresh->get_DeviceInfo(id, dispatch.ReleaseAndGetAddressOf()) != S_OK)
            return "<missing>";
        ComPtr<IMirelUdpDeviceInfo> info;
        dispatch.As(IID_IMirelUdpDeviceInfo, &info);
        winport::Bstr text;
        ((*info.Get()).*get)(&text);
        std::string result = winport::BstrToAnsi(text.get());
        return result;
    }
    LONG Ping(LONG id) {
        ComPtr<IDispatch> dispatch;
        refresh->get_DeviceInfo(id, dispatch.ReleaseAndGetAddressOf());
        ComPtr<IMirelUdpDeviceInfo> info;
        dispatch.As(IID_IMirelUdpDeviceInfo, &info);
        LONG ping = 0;
        info->get_Ping(&ping);
        return ping;
    }
    OSKAN_PCODE_MACHINE_MODE Mode(LONG id) {
        ComPtr<IDispatch> dispatch;
        refresh->get_DeviceInfo(id, dispatch.ReleaseAndGetAddressOf());
        ComPtr<IMirelUdpDeviceInfo> info;
        dispatch.As(IID_IMirelUdpDeviceInfo, &info);
        OSKAN_PCODE_MACHINE_MODE mode = OPCM_MODE_UNKNOWN;
        info->get_PcmMode(&mode);
        return mode;
    }

    ComPtr<ISkRefresh> refresh;
    ComPtr<DispatchSink> sink;
    winport::EventConnection events;
    std::vector<LONG> progress, updates, removals;
    std::vector<Completion> completions;
    std::function<void(DISPID, const DISPPARAMS&)> onEvent;
};

std::string RequestId(const std::string& request) {
    return request.substr(request.find('|'));
}

class MirelUdpRefreshTest : public SimulatorTest {
protected:
    oskan::sim::SimDevice* AddDevice(const MacAddress& mac, const char* project) {
        return SimulatorTest::AddDevice(mac, "4.2", "b17", project);
    }
};

TEST_F(MirelUdpRefreshTest, NoDeviceAnswering) {
    AddDevice(kMacA, "a");
    Host host;
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ASSERT_TRUE(host.RunScan());
    oskan::sim::SimFaults silent;
    silent.silentKinds = {"?", "X", "PC"};
    sim.SetFaults(kMacA, silent);

    std::vector<uint64_t> echoes;
    std::vector<std::string> events;
    sim.SetDatagramHook([&](std::string_view d, const sockaddr_in&) {
        if (d == "_?")
            echoes.push_back(ServiceLoop::Current().NowMs());
    });
    host.onEvent = [&](DISPID id, const DISPPARAMS& p) {
        // The progress ticks before the echo expires are not part of the ending.
        if (id == DISPID_OnRefreshProgress && events.empty())
            return;
        events.push_back(std::to_string(id) + ":" + std::to_string(DispatchSink::IntArg(p, 0)));
    };
    host.progress.clear();
    const uint64_t start = ServiceLoop::Current().NowMs();
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ASSERT_TRUE(host.RunScan());
    // Five copies 500 ms apart; the echo expires 500 ms after the last.
    EXPECT_THAT(echoes, ElementsAre(start, start + 500, start + 1000, start + 1500, start + 2000));
    EXPECT_EQ(ServiceLoop::Current().NowMs(), start + 2500);
    // The silent device leaves first, then the scan reaches 100 and completes.
    EXPECT_THAT(events, ElementsAre("218:0", "215:100", "216:0"));
    ASSERT_EQ(host.completions.size(), 2u);
    EXPECT_EQ(host.completions[1].details, "Refresh complete");
    for (LONG p : host.progress)
        EXPECT_LE(p, 100);
    EXPECT_EQ(static_cast<CMirelUdpRefresh*>(host.refresh.Get())->DeviceCount(), 0u);
}

// Queries are "_[MAC]X|id" and "_[MAC]PC|id" with the id as eight lower-case
// hexadecimal digits, and no more than three of them are out beside the echo.
TEST_F(MirelUdpRefreshTest, QueriesAreWrittenAsSpecifiedAndThreeAtMostBesideTheEcho) {
    oskan::sim::SimFaults mute;
    mute.silentKinds = {"X", "PC"};
    for (uint64_t i = 0; i < 3; ++i) {
        AddDevice(oskan::sim::MacFromNumber(0x020000010203ull + i), "q");
        sim.SetFaults(oskan::sim::MacFromNumber(0x020000010203ull + i), mute);
    }
    Host host;
    std::set<std::string> ids;
    std::vector<std::string> malformed;
    std::vector<size_t> outstanding;  // distinct queries seen by each echo copy
    const std::regex query(R"(_\[2\.0\.0\.1\.2\.[3-5]\](X|PC)\|[0-9a-f]{8})");
    sim.SetDatagramHook([&](std::string_view d, const sockaddr_in&) {
        if (d == "_?") {
            outstanding.push_back(ids.size());
            return;
        }
        if (!std::regex_match(d.begin(), d.end(), query))
            malformed.emplace_back(d);
        ids.insert(std::string(d.substr(d.find('|'))));
    });
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ASSERT_TRUE(host.RunScan(60000));
    EXPECT_TRUE(malformed.empty()) << malformed.front();
    // Three devices, six queries: three went out with the first echo reply,
    // and the others only once the echo and those had gone.
    EXPECT_THAT(outstanding, ElementsAre(0, 3, 3, 3, 3));
    EXPECT_EQ(ids.size(), 6u);
    EXPECT_EQ(sim.RequestCount(oskan::sim::MacFromNumber(0x020000010203ull), "X"), 5u);
}

TEST_F(MirelUdpRefreshTest, DeviceFoundWithItsInformationAndFiveEchoUpdates) {
    AddDevice(kMacA, "Boiler/Room");
    sim.DeviceAt(0).SetMachineMode(oskan::sim::SimMachineMode::Running);
    Host host;
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ASSERT_TRUE(host.RunScan());
    EXPECT_EQ(host.completions[0].error, 0);
    // Five echo copies answered, plus the version and the state reply.
    EXPECT_EQ(host.updates.size(), 7u);
    EXPECT_EQ(sim.RequestCount(kMacA, "X"), 1u);
    EXPECT_EQ(sim.RequestCount(kMacA, "PC"), 1u);
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_MacAddress), "2.0.0.1.2.3");
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_IpAddress), "127.0.0.2");
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_Version), "4.2");
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_BuildId), "b17");
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_ProjectName), "Boiler/Room");
    EXPECT_EQ(host.Mode(0), OPCM_MODE_RUNNING);
    EXPECT_GE(host.Ping(0), 0);
    for (LONG p : host.progress)
        EXPECT_LE(p, 100);
}

TEST_F(MirelUdpRefreshTest, DeviceKeepsItsIdAcrossScansAndSilentOnesAreRemoved) {
    AddDevice(kMacA, "a");
    AddDevice(kMacB, "b");
    Host host;
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ASSERT_TRUE(host.RunScan());
    ASSERT_EQ(static_cast<CMirelUdpRefresh*>(host.refresh.Get())->DeviceCount(), 2u);

    oskan::sim::SimFaults silent;
    silent.silentKinds = {"?", "X", "PC"};
    sim.SetFaults(kMacA, silent);
    host.updates.clear();
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    // Until it answers again, a listed device reads as unmeasured.
    EXPECT_EQ(host.Ping(1), -1);
    EXPECT_EQ(host.Text(1, &IMirelUdpDeviceInfo::get_Version), "");
    ASSERT_TRUE(host.RunScan());
    EXPECT_THAT(host.removals, ElementsAre(0));
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_MacAddress), "<missing>");
    EXPECT_EQ(host.Text(1, &IMirelUdpDeviceInfo::get_MacAddress), "2.0.0.1.2.4");
    EXPECT_EQ(host.Text(1, &IMirelUdpDeviceInfo::get_Version), "4.2");
    for (LONG id : host.updates)
        EXPECT_EQ(id, 1);
}

TEST_F(MirelUdpRefreshTest, PingAveragesTheTwoSmallerOfTheLastThreeReplyTimes) {
    AddDevice(kMacA, "a");
    oskan::sim::SimFaults slow;
    slow.delayMs = 30;
    slow.silentKinds = {"X", "PC"};
    sim.SetFaults(kMacA, slow);
    Host host;
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ASSERT_TRUE(host.RunScan());
    // Every echo copy answered 30 ms (or one tick of the loop's grace) later.
    EXPECT_GE(host.Ping(0), 30);
    EXPECT_LE(host.Ping(0), 40);
    // Expired queries leave the fields empty.
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_Version), "");
    EXPECT_EQ(host.Mode(0), OPCM_MODE_UNKNOWN);
    EXPECT_EQ(host.completions[0].error, 0);
}

TEST_F(MirelUdpRefreshTest, CancelDuringAScanCompletesOnceAndCancelIdleDoesNothing) {
    Host host;
    EXPECT_EQ(host.refresh->Cancel(), S_OK);
    EXPECT_TRUE(host.completions.empty());
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ServiceLoop::Current().AdvanceClock(600);
    EXPECT_EQ(host.refresh->Cancel(), S_OK);
    ASSERT_EQ(host.completions.size(), 1u);
    EXPECT_EQ(host.completions[0].error, 1223);
    EXPECT_EQ(host.completions[0].details, "Refresh cancelled");
    ServiceLoop::Current().AdvanceClock(5000);
    EXPECT_EQ(host.completions.size(), 1u);
}

TEST_F(MirelUdpRefreshTest, ResetDuringAScanEmptiesTheListWithoutRemovalsAndIdsGoOn) {
    AddDevice(kMacA, "a");
    Host host;
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ASSERT_TRUE(host.RunScan());
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    EXPECT_EQ(host.refresh->Reset(), S_OK);
    ASSERT_EQ(host.completions.size(), 2u);
    EXPECT_EQ(host.completions[1].error, 1223);
    EXPECT_TRUE(host.removals.empty());
    EXPECT_EQ(static_cast<CMirelUdpRefresh*>(host.refresh.Get())->DeviceCount(), 0u);
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ASSERT_TRUE(host.RunScan());
    EXPECT_EQ(host.Text(1, &IMirelUdpDeviceInfo::get_MacAddress), "2.0.0.1.2.3");
}

TEST_F(MirelUdpRefreshTest, RefreshDuringAScanCompletesOnlyTheNewScan) {
    Host host;
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ServiceLoop::Current().AdvanceClock(1000);
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    EXPECT_TRUE(host.completions.empty());
    ServiceLoop::Current().AdvanceClock(10000);
    EXPECT_EQ(host.completions.size(), 1u);
}

TEST_F(MirelUdpRefreshTest, RepliesAreParsedAndForeignOrStaleOnesIgnored) {
    sim.Close();
    oskan::test::ScriptedDevice peer;
    Host host;
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    peer.Await("_?");
    peer.Reply("[2.0.0.1.2]five numbers");  // ignored
    peer.Reply("[9.0.0.1.2.3.7]");          // a seventh number is fine
    std::string x = peer.Await("]X|");
    ASSERT_EQ(x.rfind("_[9.0.0.1.2.3]X|", 0), 0u) << x;
    std::string pc = peer.Await("]PC|");
    peer.Reply("[9.0.0.1.2.4]A1.0/abc" + RequestId(x));  // another device's MAC
    peer.Reply("[9.0.0.1.2.3]B1.0/abc" + RequestId(x));  // not an "A"
    peer.Reply("[9.0.0.1.2.3]A1.0abc" + RequestId(x));   // no "/"
    peer.Reply("[9.0.0.1.2.3]A1.0/abc|zz");              // no id
    peer.Reply("[9.0.0.1.2.3]A**B/0" + RequestId(pc));   // too short
    ServiceLoop::Current().AdvanceClock(100);
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_Version), "");
    peer.Reply("[9.0.0.1.2.3]A1.0/abc" + RequestId(x));
    peer.Reply("[9.0.0.1.2.3]A**B/00" + RequestId(pc));
    ServiceLoop::Current().AdvanceClock(100);
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_Version), "1.0");
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_BuildId), "abc");
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_ProjectName), "");
    EXPECT_EQ(host.Mode(0), OPCM_MODE_STOPPED_BUSY);
    // The query was answered: the same id again is stale.
    size_t updates = host.updates.size();
    peer.Reply("[9.0.0.1.2.3]A2.0/x/y" + RequestId(x));
    ServiceLoop::Current().AdvanceClock(100);
    EXPECT_EQ(host.updates.size(), updates);
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_Version), "1.0");
    ASSERT_TRUE(host.RunScan());
    // After the echo expired its late answers are ignored too.
    peer.Reply("[9.0.0.1.2.3]");
    ServiceLoop::Current().AdvanceClock(100);
    EXPECT_EQ(host.updates.size(), updates);
}

TEST_F(MirelUdpRefreshTest, StateBodies) {
    const std::pair<const char*, OSKAN_PCODE_MACHINE_MODE> cases[] = {
        {"A*R*/00", OPCM_MODE_RUNNING},
        {"A***/00", OPCM_MODE_STOPPED_IDLE},
        {"A**B/00", OPCM_MODE_STOPPED_BUSY},
        {"AE**/00", OPCM_MODE_FILE_ERROR},
    };
    sim.Close();
    for (const auto& [body, mode] : cases) {
        oskan::test::ScriptedDevice peer;
        Host host;
        ASSERT_EQ(host.refresh->Refresh(), S_OK);
        peer.Await("_?");
        peer.Reply("[9.0.0.1.2.3]");
        std::string pc = peer.Await("]PC|");
        peer.Reply(std::string("[9.0.0.1.2.3]") + body + RequestId(pc));
        ServiceLoop::Current().AdvanceClock(100);
        EXPECT_EQ(host.Mode(0), mode) << body;
        host.refresh->Cancel();
    }
}

TEST_F(MirelUdpRefreshTest, VersionBodyWithSlashesInTheProjectName) {
    sim.Close();
    oskan::test::ScriptedDevice peer;
    Host host;
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    peer.Await("_?");
    peer.Reply("[9.0.0.1.2.3]");
    std::string x = peer.Await("]X|");
    peer.Reply("[9.0.0.1.2.3]A1.0/abc/My/Project" + RequestId(x));
    ServiceLoop::Current().AdvanceClock(100);
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_ProjectName), "My/Project");
    EXPECT_EQ(host.Text(0, &IMirelUdpDeviceInfo::get_BuildId), "abc");
}

TEST_F(MirelUdpRefreshTest, DeviceInfoOfAnUnknownIdIsNotFound) {
    Host host;
    ComPtr<IDispatch> info;
    EXPECT_EQ(host.refresh->get_DeviceInfo(7, info.ReleaseAndGetAddressOf()),
              static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(host.refresh->get_DeviceInfo(7, nullptr), E_POINTER);
}

TEST_F(MirelUdpRefreshTest, HostKeepsADeviceInfoAfterItLeftTheList) {
    AddDevice(kMacA, "kept");
    Host host;
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ASSERT_TRUE(host.RunScan());
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(host.refresh->get_DeviceInfo(0, dispatch.ReleaseAndGetAddressOf()), S_OK);
    host.refresh->Reset();
    ComPtr<IMirelUdpDeviceInfo> info;
    ASSERT_EQ(dispatch.As(IID_IMirelUdpDeviceInfo, &info), S_OK);
    winport::Bstr project;
    ASSERT_EQ(info->get_ProjectName(&project), S_OK);
    EXPECT_EQ(winport::BstrToAnsi(project.get()), "kept");
}

// Sinks may start, stop or reset the scan, or drop the object, from inside
// any event; every scan still ends in exactly one completion.
TEST_F(MirelUdpRefreshTest, SinkCallsBackFromInsideEvents) {
    AddDevice(kMacA, "a");
    for (DISPID trigger : {DISPID_OnRefreshProgress, DISPID_OnDeviceUpdate, DISPID_OnRefreshComplete}) {
        for (int action = 0; action < 3; ++action) {
            Host host;
            bool fired = false;
            host.onEvent = [&](DISPID id, const DISPPARAMS&) {
                if (id != trigger || fired)
                    return;
                fired = true;
                if (action == 0)
                    host.refresh->Cancel();
                if (action == 1)
                    host.refresh->Reset();
                if (action == 2)
                    host.refresh->Refresh();
            };
            ASSERT_EQ(host.refresh->Refresh(), S_OK);
            ServiceLoop::Current().AdvanceClock(20000);
            EXPECT_TRUE(fired);
            EXPECT_FALSE(static_cast<CMirelUdpRefresh*>(host.refresh.Get())->IsBusy());
            // Only a new scan started from the completion adds a completion of its own.
            const size_t expected = trigger == DISPID_OnRefreshComplete && action == 2 ? 2 : 1;
            EXPECT_EQ(host.completions.size(), expected) << "trigger " << trigger << " action " << action;
        }
    }
}

TEST_F(MirelUdpRefreshTest, DeviceRemovalEventMayCancelResetOrRestart) {
    AddDevice(kMacA, "a");
    AddDevice(kMacB, "b");
    for (int action = 0; action < 3; ++action) {
        sim.SetFaultsForAll({});
        sim.SetFaults(kMacA, {});
        sim.SetFaults(kMacB, {});
        Host host;
        ASSERT_EQ(host.refresh->Refresh(), S_OK);
        ASSERT_TRUE(host.RunScan());
        oskan::sim::SimFaults silent;
        silent.silentKinds = {"?"};
        sim.SetFaults(kMacA, silent);
        sim.SetFaults(kMacB, silent);
        bool acted = false;
        host.onEvent = [&](DISPID id, const DISPPARAMS&) {
            if (id != DISPID_OnDeviceRemove || acted)
                return;
            acted = true;
            if (action == 0)
                host.refresh->Cancel();
            if (action == 1)
                host.refresh->Reset();
            if (action == 2)
                host.refresh->Refresh();
        };
        ASSERT_EQ(host.refresh->Refresh(), S_OK);
        ServiceLoop::Current().AdvanceClock(10000);
        auto* engine = static_cast<CMirelUdpRefresh*>(host.refresh.Get());
        ASSERT_EQ(host.completions.size(), 2u) << action;
        EXPECT_FALSE(engine->IsBusy());
        if (action == 0) {
            // The walk stops with the scan: the other silent device stays listed.
            EXPECT_THAT(host.removals, ElementsAre(0));
            EXPECT_EQ(host.completions[1].error, 1223);
            EXPECT_EQ(engine->DeviceCount(), 1u);
        } else if (action == 1) {
            EXPECT_THAT(host.removals, ElementsAre(0));
            EXPECT_EQ(engine->DeviceCount(), 0u);
        } else {
            // The restarted scan removes the other one in its turn.
            EXPECT_THAT(host.removals, ElementsAre(0, 1));
            EXPECT_EQ(host.completions[1].error, 0);
            EXPECT_EQ(engine->DeviceCount(), 0u);
        }
    }
}

TEST_F(MirelUdpRefreshTest, ReleasingTheObjectFromInsideAnEvent) {
    AddDevice(kMacA, "a");
    for (DISPID trigger : {DISPID_OnRefreshProgress, DISPID_OnDeviceUpdate, DISPID_OnRefreshComplete}) {
        auto host = std::make_unique<Host>();
        host->events.Disconnect();
        int completions = 0;
        bool released = false;
        auto sink = DispatchSink::Create(DIID__ISkRefreshEvents, [&](DISPID id, const DISPPARAMS&) {
            if (id == DISPID_OnRefreshComplete)
                ++completions;
            if (id == trigger && !released) {
                released = true;
                host->refresh.Reset();  // the last outside reference
            }
        });
        EXPECT_EQ(oskan::test::Advise(host->refresh.Get(), DIID__ISkRefreshEvents, sink.Get()), S_OK);
        ASSERT_EQ(host->refresh->Refresh(), S_OK);
        ServiceLoop::Current().AdvanceClock(10000);
        EXPECT_TRUE(released);
        // Destruction of a running scan completes it as cancelled.
        EXPECT_EQ(completions, 1);
        EXPECT_FALSE(ServiceLoop::Current().HasTimers());
    }
}

TEST_F(MirelUdpRefreshTest, SendFailureOnTheFirstEchoCompletesWithTheSocketError) {
    Host host;
    ASSERT_EQ(
        std::system("ip route del broadcast 255.255.255.255 dev lo table local && ip route del default"), 0);
    HRESULT hr = host.refresh->Refresh();
    std::system(
        "ip route add default dev lo src 127.0.0.1; "
        "ip route add broadcast 255.255.255.255 dev lo table local src 127.0.0.1");
    EXPECT_EQ(hr, S_OK);
    ASSERT_EQ(host.completions.size(), 1u);
    EXPECT_EQ(host.completions[0].error, WSAENETUNREACH);
    EXPECT_EQ(host.completions[0].details, "Error sending packet");
    EXPECT_FALSE(static_cast<CMirelUdpRefresh*>(host.refresh.Get())->IsBusy());
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ASSERT_TRUE(host.RunScan());
    EXPECT_EQ(host.completions[1].error, 0);
}

// A send failure of a retransmission is finished when the next datagram
// arrives; a completion sink that starts a new scan there replaces the socket
// and its buffer, which the datagram must not be read from afterwards.
TEST_F(MirelUdpRefreshTest, SendFailureFinishedByAReplyWhoseSinkStartsANewScan) {
    sim.Close();
    oskan::test::ScriptedDevice peer;
    Host host;
    HRESULT restarted = E_FAIL;
    host.onEvent = [&](DISPID id, const DISPPARAMS&) {
        if (id == DISPID_OnRefreshComplete && host.completions.size() == 1)
            restarted = host.refresh->Refresh();
    };
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    ASSERT_EQ(peer.Await("_?"), "_?");
    ServiceLoop::Current().AdvanceClock(450);
    ASSERT_EQ(
        std::system("ip route del broadcast 255.255.255.255 dev lo table local && ip route del default"), 0);
    // The echo's second copy is due now: the retransmitter's tick fails to send it.
    ServiceLoop::Current().AdvanceClock(50);
    std::system(
        "ip route add default dev lo src 127.0.0.1; "
        "ip route add broadcast 255.255.255.255 dev lo table local src 127.0.0.1");
    EXPECT_TRUE(host.completions.empty());
    peer.Reply("[9.0.0.1.2.3]");
    ServiceLoop::Current().Dispatch();
    ASSERT_EQ(host.completions.size(), 1u);
    EXPECT_EQ(host.completions[0].error, WSAENETUNREACH);
    EXPECT_EQ(host.completions[0].details, "Error sending packet");
    EXPECT_EQ(restarted, S_OK);
    // The reply belonged to the failed scan: it lists nothing in the new one.
    EXPECT_TRUE(host.updates.empty());
    ASSERT_TRUE(host.RunScan());
    ASSERT_EQ(host.completions.size(), 2u);
    EXPECT_EQ(host.completions[1].error, 0);
}

// The final release cancels the running scan; a new scan asked for from that
// completion could never complete, so it is refused.
TEST_F(MirelUdpRefreshTest, RefreshFromTheFinalCompletionIsRefused) {
    AddDevice(kMacA, "a");
    ComPtr<ISkRefresh> refresh;
    ASSERT_EQ(CMirelUdpRefresh::CreateInstance(IID_ISkRefresh, refresh.ReleaseAndGetVoidAddressOf()), S_OK);
    ISkRefresh* raw = refresh.Get();
    std::vector<Completion> completions;
    std::vector<HRESULT> results;
    auto sink = DispatchSink::Create(DIID__ISkRefreshEvents, [&](DISPID id, const DISPPARAMS& p) {
        if (id != DISPID_OnRefreshComplete)
            return;
        completions.push_back({DispatchSink::IntArg(p, 0), DispatchSink::TextArg(p, 1)});
        results.push_back(raw->Refresh());
        results.push_back(raw->Cancel());
        results.push_back(raw->Reset());
    });
    { ASSERT_EQ(oskan::test::Advise(refresh.Get(), DIID__ISkRefreshEvents, sink.Get()), S_OK); }
    ASSERT_EQ(refresh->Refresh(), S_OK);
    ServiceLoop::Current().AdvanceClock(600);
    refresh.Reset();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, 1223);
    EXPECT_EQ(completions[0].details, "Refresh cancelled");
    EXPECT_THAT(results, ElementsAre(E_ABORT, S_OK, S_OK));
    // Nothing of a refused scan is left running (and nothing leaks).
    EXPECT_FALSE(ServiceLoop::Current().HasTimers());
    ServiceLoop::Current().AdvanceClock(10000);
    EXPECT_EQ(completions.size(), 1u);
}

TEST_F(MirelUdpRefreshTest, SocketThatCannotOpenEndsTheRunningScanFirst) {
    Host host;
    ASSERT_EQ(host.refresh->Refresh(), S_OK);
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    rlimit none = old;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_NOFILE, &none);
    HRESULT hr = host.refresh->Refresh();
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(hr, static_cast<HRESULT>(0x800700B7));
    ASSERT_EQ(host.completions.size(), 1u);
    EXPECT_EQ(host.completions[0].error, 1223);
    EXPECT_FALSE(static_cast<CMirelUdpRefresh*>(host.refresh.Get())->IsBusy());
}

}  // namespace
