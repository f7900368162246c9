// Out of memory at the entry points of Mirel's objects: the discovery object,
// its device information, the device object's interfaces, and the connection
// points and containers of both. Every allocation of a call fails in turn;
// the call answers E_OUTOFMEMORY or succeeds, nothing throws, and the object
// still does its work afterwards. Runs on the manual clock inside the test's
// network namespace.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelUdpRefresh.h"
#include "Mirel/mireludpdevice.h"
#include "tests/support/Advise.h"
#include "tests/support/AllocationFailure.h"
#include "tests/support/SimulatorTest.h"
#include "tests/support/TempFolder.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using oskan::sim::MacAddress;
using oskan::test::AllocationFailure;
using oskan::test::SimulatorTest;
using winport::DispatchSink;
using winport::ServiceLoop;

constexpr MacAddress kMac = {2, 0, 0, 1, 2, 3};

using Case = oskan::test::AllocationCase;

// A sink that counts its events; what it keeps is the test's, so it never
// runs out of memory.
ComPtr<DispatchSink> CountingSink(REFIID iid, std::vector<DISPID>* events) {
    return DispatchSink::Create(iid, [events](DISPID id, const DISPPARAMS&) {
        AllocationFailure::Suspended suspended;
        events->push_back(id);
    });
}

using oskan::test::Advise;
using oskan::test::Unadvise;

// The calls of the connection points and the container of an object.
std::vector<Case> ConnectionPointCases(IUnknown* object, REFIID iid, IUnknown* sink) {
    return {
        {"Advise and Unadvise", [] {},
         [=] {
             DWORD cookie = 0;
             HRESULT hr = Advise(object, iid, sink, &cookie);
             return SUCCEEDED(hr) ? Unadvise(object, iid, cookie) : hr;
         }},
        {"EnumConnections", [] {},
         [=] {
             ComPtr<IConnectionPointContainer> container;
             ComPtr<IConnectionPoint> point;
             ComPtr<IEnumConnections> connections;
             HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer,
                                                 container.ReleaseAndGetVoidAddressOf());
             if (SUCCEEDED(hr))
                 hr = container->FindConnectionPoint(iid, point.ReleaseAndGetAddressOf());
             if (SUCCEEDED(hr))
                 hr = point->EnumConnections(connections.ReleaseAndGetAddressOf());
             if (FAILED(hr))
                 return hr;
             ComPtr<IEnumConnections> clone;
             hr = connections->Clone(clone.ReleaseAndGetAddressOf());
             CONNECTDATA data{};
             ULONG fetched = 0;
             while (SUCCEEDED(hr) && connections->Next(1, &data, &fetched) == S_OK)
                 data.pUnk->Release();
             return hr;
         }},
        {"EnumConnectionPoints", [] {},
         [=] {
             ComPtr<IConnectionPointContainer> container;
             ComPtr<IEnumConnectionPoints> points;
             HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer,
                                                 container.ReleaseAndGetVoidAddressOf());
             if (SUCCEEDED(hr))
                 hr = container->EnumConnectionPoints(points.ReleaseAndGetAddressOf());
             IConnectionPoint* point = nullptr;
             ULONG fetched = 0;
             while (SUCCEEDED(hr) && points->Next(1, &point, &fetched) == S_OK)
                 point->Release();
             return hr;
         }},
    };
}

// Every run answers E_OUTOFMEMORY or succeeds; after it, check() shows the
// object still works.
void FailEveryAllocation(const std::vector<Case>& cases, const std::function<void()>& check) {
    oskan::test::FailEveryAllocation(
        cases,
        [&](const Case&, HRESULT hr, bool failed) {
            if (failed) {
                EXPECT_TRUE(SUCCEEDED(hr) || hr == E_OUTOFMEMORY) << std::hex << hr;
            } else {
                EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
            }
            check();
        },
        2000);
}

class MirelOutOfMemoryTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        device = AddDevice(kMac, "4.2", "b7", "Pump");
    }

    oskan::sim::SimDevice* device = nullptr;
};

// ---------------------------------------------------------------- discovery

class RefreshHost {
public:
    RefreshHost() {
        EXPECT_EQ(CMirelUdpRefresh::CreateInstance(IID_ISkRefresh, refresh.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        sink = CountingSink(DIID__ISkRefreshEvents, &events);
        EXPECT_EQ(Advise(refresh.Get(), DIID__ISkRefreshEvents, sink.Get(), &cookie), S_OK);
    }
    ~RefreshHost() { Unadvise(refresh.Get(), DIID__ISkRefreshEvents, cookie); }

    size_t Completions() const { return std::count(events.begin(), events.end(), DISPID_OnRefreshComplete); }
    // Runs until the scans started so far have completed.
    bool Settle() {
        return ServiceLoop::Current().RunUntil([&] { return !Object()->IsBusy(); }, 20000);
    }
    // A whole scan that lists the device.
    void ScanFindsTheDevice() {
        const size_t before = Completions();
        ASSERT_EQ(refresh->Refresh(), S_OK);
        ASSERT_TRUE(ServiceLoop::Current().RunUntil([&] { return Completions() > before; }, 20000));
        ASSERT_EQ(Completions(), before + 1);
        ComPtr<IDispatch> info;
        EXPECT_EQ(refresh->get_DeviceInfo(FirstId(), info.ReleaseAndGetAddressOf()), S_OK);
    }
    LONG FirstId() const {
        LONG id = 0;
        Object()->ForEachDevice([&](const MirelUdpDeviceInfo& device) {
            if (id == 0)
                id = static_cast<LONG>(device.DeviceId());
        });
        return id;
    }
    CMirelUdpRefresh* Object() const { return static_cast<CMirelUdpRefresh*>(refresh.Get()); }

    ComPtr<ISkRefresh> refresh;
    ComPtr<DispatchSink> sink;
    std::vector<DISPID> events;
    DWORD cookie = 0;
};

TEST_F(MirelOutOfMemoryTest, DiscoveryDeviceInformationAndTheirConnectionPoints) {
    RefreshHost host;
    host.ScanFindsTheDevice();
    const auto idle = [&] { ASSERT_TRUE(host.Settle()); };
    const auto scanning = [&] {
        ASSERT_TRUE(host.Settle());
        ASSERT_EQ(host.refresh->Refresh(), S_OK);
    };
    const auto listed = [&] {
        ASSERT_TRUE(host.Settle());
        if (host.Object()->DeviceCount() == 0)
            host.ScanFindsTheDevice();
    };
    const auto info = [&]() -> ComPtr<IMirelUdpDeviceInfo> {
        ComPtr<IDispatch> dispatch;
        ComPtr<IMirelUdpDeviceInfo> found;
        EXPECT_EQ(host.refresh->get_DeviceInfo(host.FirstId(), dispatch.ReleaseAndGetAddressOf()), S_OK);
        EXPECT_EQ(dispatch.As(IID_IMirelUdpDeviceInfo, &found), S_OK);
        return found;
    };
    std::vector<DISPID> otherEvents;
    ComPtr<DispatchSink> other = CountingSink(DIID__ISkRefreshEvents, &otherEvents);
    std::vector<Case> cases = {
        {"Refresh", idle, [&] { return host.refresh->Refresh(); }},
        {"Refresh during a scan", scanning, [&] { return host.refresh->Refresh(); }},
        {"Cancel", scanning, [&] { return host.refresh->Cancel(); }},
        {"Reset", listed, [&] { return host.refresh->Reset(); }},
        {"Reset during a scan", scanning, [&] { return host.refresh->Reset(); }},
        {"get_DeviceInfo", listed,
         [&] {
             ComPtr<IDispatch> dispatch;
             return host.refresh->get_DeviceInfo(host.FirstId(), dispatch.ReleaseAndGetAddressOf());
         }},
        {"device information", listed,
         [&] {
             ComPtr<IMirelUdpDeviceInfo> device = info();
             winport::Bstr text;
             HRESULT hr = device->get_MacAddress(&text);
             LONG ping = 0;
             return SUCCEEDED(hr) ? device->get_Ping(&ping) : hr;
         }},
    };
    for (Case& c : ConnectionPointCases(host.refresh.Get(), DIID__ISkRefreshEvents, other.Get())) {
        c.prepare = idle;
        cases.push_back(std::move(c));
    }
    FailEveryAllocation(cases, [&] {
        ASSERT_TRUE(host.Settle());
        host.ScanFindsTheDevice();
    });
}

// ---------------------------------------------------------------- the device object

class DeviceHost {
public:
    DeviceHost() {
        EXPECT_EQ(CMirelUdpDevice::CreateInstance(IID_ISkConnection, connection.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        EXPECT_EQ(connection.As(IID_ISkCmdTarget, &target), S_OK);
        EXPECT_EQ(connection.As(IID_ISkLoader, &loader), S_OK);
        EXPECT_EQ(connection.As(IID_ISkDebuggee, &debuggee), S_OK);
        sink = CountingSink(DIID__ISkCmdTargetEvents, &commands);
        loaderSink = CountingSink(DIID__ISkLoaderEvents, &loads);
        EXPECT_EQ(Advise(connection.Get(), DIID__ISkCmdTargetEvents, sink.Get(), &cookie), S_OK);
        EXPECT_EQ(Advise(connection.Get(), DIID__ISkLoaderEvents, loaderSink.Get(), &loaderCookie), S_OK);
        winport::Bstr address(SysAllocString(u"2.0.0.1.2.3"));
        EXPECT_EQ(connection->put_Address(address.get()), S_OK);
    }
    ~DeviceHost() {
        Unadvise(connection.Get(), DIID__ISkCmdTargetEvents, cookie);
        Unadvise(connection.Get(), DIID__ISkLoaderEvents, loaderCookie);
    }

    HRESULT Command(const char16_t* text, LONG lParam) {
        winport::Bstr command(SysAllocString(text));
        return target->Command(command.get(), lParam);
    }
    // Connected, nothing running, and a command is answered.
    void Works() {
        ASSERT_EQ(debuggee->EndDebug(), S_OK);
        ASSERT_EQ(loader->Cancel(), S_OK);
        ASSERT_EQ(target->Cancel(), S_OK);
        ASSERT_EQ(connection->Connect(), S_OK);
        const size_t before = commands.size();
        ASSERT_EQ(Command(u"B", 9), S_OK);
        ASSERT_TRUE(ServiceLoop::Current().RunUntil([&] { return commands.size() > before; }, 5000));
        EXPECT_EQ(commands.size(), before + 1);
    }

    ComPtr<ISkConnection> connection;
    ComPtr<ISkCmdTarget> target;
    ComPtr<ISkLoader> loader;
    ComPtr<ISkDebuggee> debuggee;
    ComPtr<DispatchSink> sink, loaderSink;
    std::vector<DISPID> commands, loads;
    DWORD cookie = 0, loaderCookie = 0;
};

TEST_F(MirelOutOfMemoryTest, DeviceObjectInterfacesAndTheirConnectionPoints) {
    oskan::test::TempFolder folder("mirel-oom-test");
    const std::string file = folder.Path() + "/fw.bin";
    std::vector<char> image(128 * 3, 'f');
    std::ofstream(file, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
    const winport::Bstr fileName(winport::AnsiToBstr(file));

    DeviceHost host;
    host.Works();
    const auto connected = [&] { ASSERT_EQ(host.connection->Connect(), S_OK); };
    const auto disconnected = [&] { ASSERT_EQ(host.connection->Disconnect(), S_OK); };
    const auto commanding = [&] { ASSERT_EQ(host.Command(u"B", 1), S_OK); };
    const auto loading = [&] { ASSERT_EQ(host.loader->Load(fileName.get(), 0), S_OK); };
    const auto debugging = [&] { ASSERT_EQ(host.debuggee->BeginDebug(), S_OK); };
    std::vector<DISPID> otherEvents;
    ComPtr<DispatchSink> other = CountingSink(DIID__ISkConnectionEvents, &otherEvents);
    std::vector<Case> cases = {
        {"Connect", disconnected, [&] { return host.connection->Connect(); }},
        {"Disconnect", connected, [&] { return host.connection->Disconnect(); }},
        {"put_Address", connected,
         [&] {
             winport::Bstr address(SysAllocString(u"2.0.0.1.2.3"));
             return host.connection->put_Address(address.get());
         }},
        {"get_Address", connected,
         [&] {
             winport::Bstr address;
             return host.connection->get_Address(&address);
         }},
        {"Command", connected, [&] { return host.Command(u"B", 2); }},
        {"Cancel of commands", commanding, [&] { return host.target->Cancel(); }},
        {"Load", connected, [&] { return host.loader->Load(fileName.get(), 0); }},
        {"Cancel of a load", loading, [&] { return host.loader->Cancel(); }},
        {"BeginDebug", connected, [&] { return host.debuggee->BeginDebug(); }},
        {"EndDebug", debugging, [&] { return host.debuggee->EndDebug(); }},
    };
    for (Case& c : ConnectionPointCases(host.connection.Get(), DIID__ISkConnectionEvents, other.Get())) {
        c.prepare = connected;
        cases.push_back(std::move(c));
    }
    FailEveryAllocation(cases, [&] { host.Works(); });
}

}  // namespace
