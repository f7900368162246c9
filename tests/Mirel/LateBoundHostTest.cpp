// A host that knows Mirel only by its ProgIDs and the names in its type
// library, as a script host or the Device Explorer knows it: no Mirel header
// is included here. It creates both classes, connects its sinks to the event
// interfaces it finds in the type library, discovers the simulated devices and
// buzzes one of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/Mirel/MirelLibrary.h"
#include "tests/support/LateBound.h"
#include "tests/support/SimulatorTest.h"
#include "tests/support/TempRegistry.h"
#include "winport/automation/typelib.h"
#include "winport/com/objbase.h"
#include "winport/com/ocidl.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/host/EventConnection.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using oskan::test::Arg;
using oskan::test::LateBound;
using oskan::test::Result;
using winport::DispatchSink;
using winport::ServiceLoop;

std::string Name(ITypeInfo* info, MEMBERID memid = MEMBERID_NIL) {
    winport::Bstr name;
    info->GetDocumentation(memid, &name, nullptr, nullptr, nullptr);
    return winport::BstrToAnsi(name.get());
}

GUID GuidOf(ITypeInfo* info) {
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    GUID guid = attr ? attr->guid : GUID{};
    info->ReleaseTypeAttr(attr);
    return guid;
}

// What the host learns of a class from its object's type information: the
// interfaces and event interfaces of its coclass, by name.
class ClassInfo {
public:
    ClassInfo(IDispatch* object, const char* coclass) {
        ComPtr<ITypeInfo> info;
        ComPtr<ITypeLib> library;
        EXPECT_EQ(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.ReleaseAndGetAddressOf()), S_OK);
        EXPECT_EQ(info->GetContainingTypeLib(library.ReleaseAndGetAddressOf(), nullptr), S_OK);
        for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
            ComPtr<ITypeInfo> type;
            library->GetTypeInfo(i, type.ReleaseAndGetAddressOf());
            if (Name(type.Get()) == coclass)
                m_coclass = type;
        }
        EXPECT_TRUE(m_coclass) << coclass;
        TYPEATTR* attr = nullptr;
        if (!m_coclass || FAILED(m_coclass->GetTypeAttr(&attr)))
            return;
        for (UINT i = 0; i < attr->cImplTypes; ++i) {
            HREFTYPE href = 0;
            ComPtr<ITypeInfo> type;
            m_coclass->GetRefTypeOfImplType(i, &href);
            m_coclass->GetRefTypeInfo(href, type.ReleaseAndGetAddressOf());
            m_interfaces[Name(type.Get())] = type;
        }
        m_coclass->ReleaseTypeAttr(attr);
    }

    IID Iid(const std::string& name) const {
        auto it = m_interfaces.find(name);
        return it == m_interfaces.end() ? IID_NULL : GuidOf(it->second.Get());
    }
    DISPID Dispid(const std::string& interfaceName, const char* member) const {
        auto it = m_interfaces.find(interfaceName);
        if (it == m_interfaces.end())
            return DISPID_UNKNOWN;
        std::u16string wide = winport::AnsiToUtf16(member);
        LPOLESTR names[] = {wide.data()};
        MEMBERID id = DISPID_UNKNOWN;
        it->second->GetIDsOfNames(names, 1, &id);
        return id;
    }

private:
    ComPtr<ITypeInfo> m_coclass;
    std::map<std::string, ComPtr<ITypeInfo>> m_interfaces;
};

ComPtr<IDispatch> CreateByProgID(const char16_t* progID) {
    CLSID clsid{};
    ComPtr<IDispatch> object;
    EXPECT_EQ(CLSIDFromProgID(progID, &clsid), S_OK) << winport::LastActivationError();
    EXPECT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, object.ReleaseAndGetVoidAddressOf()),
        S_OK)
        << winport::LastActivationError();
    return object;
}

// A sink connected to one event interface of an object for the sink's life.
class Connection {
public:
    Connection(IDispatch* source, REFIID events, DispatchSink::Handler handler)
        : m_sink(DispatchSink::Create(events, std::move(handler))),
          m_connection(source, events, m_sink.Get()) {
        EXPECT_EQ(m_connection.Result(), S_OK);
    }

private:
    ComPtr<DispatchSink> m_sink;
    winport::EventConnection m_connection;
};

class LateBoundHostTest : public oskan::test::SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        ASSERT_EQ(oskan::test::RunMirelExport("DllRegisterServer"), S_OK);
        for (uint8_t last : {3, 4, 5})
            AddDevice({2, 0, 0, 1, 2, last});
    }
    void TearDown() override {
        SimulatorTest::TearDown();
        CoFreeUnusedLibraries();
    }

    oskan::test::TempRegistry registry;
};

TEST_F(LateBoundHostTest, DiscoversTheDevicesAndBuzzesOne) {
    // Discovery.
    ComPtr<IDispatch> refresh = CreateByProgID(u"mirel.udprefresh");
    ASSERT_TRUE(refresh);
    ClassInfo refreshClass(refresh.Get(), "MirelUdpRefresh");
    const DISPID onUpdate = refreshClass.Dispid("_ISkRefreshEvents", "OnDeviceUpdate");
    const DISPID onComplete = refreshClass.Dispid("_ISkRefreshEvents", "OnRefreshComplete");
    std::vector<LONG> ids;
    bool scanned = false;
    {
        Connection events(refresh.Get(), refreshClass.Iid("_ISkRefreshEvents"),
                          [&](DISPID id, const DISPPARAMS& p) {
                              if (id == onUpdate &&
                                  std::find(ids.begin(), ids.end(), DispatchSink::IntArg(p, 0)) == ids.end())
                                  ids.push_back(DispatchSink::IntArg(p, 0));
                              if (id == onComplete)
                                  scanned = DispatchSink::IntArg(p, 0) == 0;
                          });
        ASSERT_EQ(LateBound(refresh.Get()).Method("Refresh"), S_OK);
        ServiceLoop::Current().AdvanceClock(3000);
    }
    ASSERT_TRUE(scanned);
    ASSERT_EQ(ids.size(), 3u);
    std::map<std::string, LONG> macs;
    for (LONG id : ids) {
        Result info, mac;
        ASSERT_EQ(LateBound(refresh.Get()).Get("DeviceInfo", &info, {id}), S_OK);
        ASSERT_EQ(info.value.vt, VT_DISPATCH);
        ASSERT_EQ(LateBound(info.value.pdispVal).Get("MacAddress", &mac), S_OK);
        macs[mac.Text()] = id;
    }
    ASSERT_EQ(macs.count("2.0.0.1.2.4"), 1u);

    // The buzz, as the Device Explorer sends it: Address, Connect, and the
    // command from inside the connection's completion.
    ComPtr<IDispatch> device = CreateByProgID(u"Mirel.UdpDevice");
    ASSERT_TRUE(device);
    ClassInfo deviceClass(device.Get(), "MirelUdpDevice");
    ComPtr<IDispatch> commands;
    ASSERT_EQ(device->QueryInterface(deviceClass.Iid("ISkCmdTarget"), commands.ReleaseAndGetVoidAddressOf()),
              S_OK);
    const DISPID onConnect = deviceClass.Dispid("_ISkConnectionEvents", "OnConnectComplete");
    const DISPID onCommand = deviceClass.Dispid("_ISkCmdTargetEvents", "OnCommandComplete");
    HRESULT commandResult = E_FAIL;
    LONG commandError = -1;
    std::string response;
    {
        Connection connectionEvents(
            device.Get(), deviceClass.Iid("_ISkConnectionEvents"), [&](DISPID id, const DISPPARAMS& p) {
                if (id == onConnect && DispatchSink::IntArg(p, 0) == 0)
                    commandResult = LateBound(commands.Get()).Method("Command", {"B"});
            });
        Connection commandEvents(device.Get(), deviceClass.Iid("_ISkCmdTargetEvents"),
                                 [&](DISPID id, const DISPPARAMS& p) {
                                     if (id != onCommand)
                                         return;
                                     commandError = DispatchSink::IntArg(p, 0);
                                     response = DispatchSink::TextArg(p, 2);
                                 });
        LateBound connection(device.Get());
        ASSERT_EQ(connection.Put("Address", "2.0.0.1.2.4"), S_OK);
        ASSERT_EQ(connection.Method("Connect"), S_OK);
        EXPECT_EQ(commandResult, S_OK);
        ServiceLoop::Current().RunUntil([&] { return commandError >= 0; }, 1000);
        ServiceLoop::Current().AdvanceClock(100);
    }
    EXPECT_EQ(commandError, 0);
    EXPECT_EQ(response, "A");
    EXPECT_EQ(sim.Find({2, 0, 0, 1, 2, 4})->BuzzCount(), 1u);
    EXPECT_EQ(sim.Find({2, 0, 0, 1, 2, 3})->BuzzCount(), 0u);
    EXPECT_EQ(sim.Find({2, 0, 0, 1, 2, 5})->BuzzCount(), 0u);
}

}  // namespace
