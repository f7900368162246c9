#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Mirel/mireludpdevice.h"
#include "tests/support/Advise.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/host/EventConnection.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using ::testing::ElementsAre;
using winport::DispatchSink;

struct ConnectionHost {
    ConnectionHost() {
        EXPECT_EQ(CMirelUdpDevice::CreateInstance(IID_ISkConnection, device.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        sink = DispatchSink::Create(DIID__ISkConnectionEvents, [this](DISPID id, const DISPPARAMS& p) {
            events.push_back(std::to_string(id) + ":" + std::to_string(DispatchSink::IntArg(p, 0)) + ":" +
                             DispatchSink::TextArg(p, 1));
            if (onEvent)
                onEvent(id);
        });
        connection = winport::EventConnection(device.Get(), DIID__ISkConnectionEvents, sink.Get());
        EXPECT_EQ(connection.Result(), S_OK);
    }
    HRESULT SetAddress(const char16_t* text) {
        winport::Bstr b(SysAllocString(text));
        return device->put_Address(b.get());
    }
    std::string Address() {
        winport::Bstr b;
        device->get_Address(&b);
        return winport::BstrToAnsi(b.get());
    }
    ComPtr<ISkConnection> device;
    ComPtr<DispatchSink> sink;
    winport::EventConnection connection;
    std::vector<std::string> events;
    std::function<void(DISPID)> onEvent;
};

TEST(MirelUdpDeviceConnection, AddressExamples) {
    ConnectionHost host;
    CMirelUdpDevice* object = static_cast<CMirelUdpDevice*>(host.device.Get());
    EXPECT_EQ(host.SetAddress(u"002.000.000.001.002.003"), S_OK);
    EXPECT_EQ(host.Address(), "002.000.000.001.002.003");
    EXPECT_EQ(object->Transport().Header(), "_[002.000.000.001.002.003]");
    EXPECT_EQ(host.SetAddress(u"02-00-00-01-02-03"), E_INVALIDARG);
    EXPECT_EQ(host.Address(), "");
    EXPECT_EQ(object->Transport().Header(), "");
    EXPECT_EQ(host.SetAddress(u"2.0.0.1.2.3"), S_OK);
    EXPECT_EQ(host.SetAddress(u"258.0.0.1.2.3"), E_INVALIDARG);
    EXPECT_EQ(host.Address(), "");
    EXPECT_EQ(host.SetAddress(u"2.0.0.1.2.3]EC"), E_INVALIDARG);
    EXPECT_EQ(host.Address(), "");
    EXPECT_EQ(object->Transport().Header(), "");
    EXPECT_EQ(host.SetAddress(nullptr), S_OK);
    EXPECT_EQ(host.Address(), "");
    EXPECT_EQ(host.device->get_Address(nullptr), E_POINTER);
    EXPECT_EQ(host.device->get_Connected(nullptr), E_POINTER);
}

TEST(MirelUdpDeviceConnection, ConnectAndDisconnectFireOnceEach) {
    ConnectionHost host;
    VARIANT_BOOL connected = VARIANT_TRUE;
    host.device->get_Connected(&connected);
    EXPECT_EQ(connected, VARIANT_FALSE);
    EXPECT_EQ(host.device->Disconnect(), S_OK);
    EXPECT_EQ(host.device->Connect(), S_OK);
    EXPECT_EQ(host.device->Connect(), S_OK);
    host.device->get_Connected(&connected);
    EXPECT_EQ(connected, VARIANT_TRUE);
    EXPECT_EQ(host.device->Disconnect(), S_OK);
    EXPECT_EQ(host.device->Disconnect(), S_OK);
    EXPECT_THAT(host.events, ElementsAre("155:0:UDP connection established", "156:0:Connection closed"));
}

TEST(MirelUdpDeviceConnection, SocketIsOpenWhenOnConnectCompleteFires) {
    ConnectionHost host;
    bool openInEvent = false;
    host.onEvent = [&](DISPID id) {
        if (id == DISPID_OnConnectComplete)
            openInEvent = static_cast<CMirelUdpDevice*>(host.device.Get())->Transport().IsOpen();
    };
    ASSERT_EQ(host.device->Connect(), S_OK);
    EXPECT_TRUE(openInEvent);
}

TEST(MirelUdpDeviceConnection, DestructionFiresNoDisconnectAndReleaseInsideAnEventIsSafe) {
    {
        ConnectionHost host;
        host.device->Connect();
        host.connection.Disconnect();
        auto sink = DispatchSink::Create(DIID__ISkConnectionEvents, [&](DISPID, const DISPPARAMS&) {
            ADD_FAILURE() << "no event from destruction";
        });
        EXPECT_EQ(oskan::test::Advise(host.device.Get(), DIID__ISkConnectionEvents, sink.Get()), S_OK);
    }
    ConnectionHost host;
    host.onEvent = [&](DISPID) { host.device.Reset(); };
    ISkConnection* raw = host.device.Get();
    raw->AddRef();
    host.device.Reset();
    host.device.Attach(raw);
    EXPECT_EQ(raw->Connect(), S_OK);  // the sink drops the last reference inside the event
    EXPECT_FALSE(host.device);
}

TEST(MirelUdpDeviceConnection, InterfaceMapAndConnectionPointsInOrder) {
    ConnectionHost host;
    ComPtr<IUnknown> unknown;
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(host.device.As(IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(host.device.As(IID_IDispatch, &dispatch), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown.Get()), static_cast<void*>(host.device.Get()));
    EXPECT_EQ(static_cast<void*>(dispatch.Get()), static_cast<void*>(host.device.Get()));
    ComPtr<IUnknown> none;
    EXPECT_EQ(host.device.As(IID_ISkRefresh, &none), E_NOINTERFACE);

    ComPtr<IConnectionPointContainer> container;
    host.device.As(IID_IConnectionPointContainer, &container);
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.ReleaseAndGetAddressOf()), S_OK);
    std::vector<IID> iids;
    IConnectionPoint* point = nullptr;
    while (points->Next(1, &point, nullptr) == S_OK) {
        IID iid;
        point->GetConnectionInterface(&iid);
        iids.push_back(iid);
        point->Release();
    }
    EXPECT_THAT(iids, ElementsAre(DIID__ISkConnectionEvents, DIID__ISkLoaderEvents, IID__ISkDebuggeeEvents,
                                  DIID__ISkCmdTargetEvents, DIID__ISkTrace));
}

}  // namespace
