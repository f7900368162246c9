// libMirel.so as a component library: its exports and lock count, the
// interface maps of its objects, aggregation, registration, activation by
// ProgID, late binding through the registered type library, and unloading.
// The library is reached only through the registry or by loading its file.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "sim/Simulator.h"
#include "tests/Mirel/MirelLibrary.h"
#include "tests/support/LateBound.h"
#include "tests/support/ManualClockTest.h"
#include "tests/support/TempRegistry.h"
#include "winport/automation/typelib.h"
#include "winport/com/objbase.h"
#include "winport/com/ocidl.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/loop/ServiceLoop.h"
#include "winport/registry/registry.h"

namespace {

using oskan::sim::MacAddress;
using oskan::sim::Simulator;
using oskan::test::Arg;
using oskan::test::LateBound;
using oskan::test::Result;
using winport::DispatchSink;
using winport::ServiceLoop;

constexpr MacAddress kMac = {2, 0, 0, 1, 2, 3};

template <class T>
ComPtr<T> Query(IUnknown* object, REFIID iid) {
    ComPtr<T> result;
    if (object)
        object->QueryInterface(iid, result.ReleaseAndGetVoidAddressOf());
    return result;
}

HRESULT PutAddress(ISkConnection* device) {
    winport::Bstr address(winport::AnsiToBstr("2.0.0.1.2.3"));
    return device->put_Address(address.get());
}

void* Identity(IUnknown* object) {
    ComPtr<IUnknown> unknown = Query<IUnknown>(object, IID_IUnknown);
    return unknown.Get();
}

// A sink that keeps every event it receives: DISPID and arguments.
struct Recorded {
    DISPID id;
    std::vector<LONG> ints;
    std::vector<std::string> texts;
};

class EventLog {
public:
    EventLog(IUnknown* source, REFIID events) {
        m_sink = DispatchSink::Create(events, [this](DISPID id, const DISPPARAMS& p) {
            Recorded event{id, {}, {}};
            for (UINT i = 0; i < p.cArgs; ++i) {
                event.ints.push_back(DispatchSink::IntArg(p, i));
                event.texts.push_back(DispatchSink::TextArg(p, i));
            }
            m_events.push_back(event);
        });
        ComPtr<IConnectionPointContainer> container =
            Query<IConnectionPointContainer>(source, IID_IConnectionPointContainer);
        EXPECT_TRUE(container);
        if (!container)
            return;
        EXPECT_EQ(container->FindConnectionPoint(events, m_point.ReleaseAndGetAddressOf()), S_OK);
        EXPECT_EQ(m_point->Advise(m_sink.Get(), &m_cookie), S_OK);
    }
    ~EventLog() {
        if (m_point)
            m_point->Unadvise(m_cookie);
    }
    // Lets the connection point go and leaves the sink connected until the
    // source goes.
    void KeepConnected() { m_point.Reset(); }
    const std::vector<Recorded>& Events() const { return m_events; }
    const Recorded* Last(DISPID id) const {
        for (auto it = m_events.rbegin(); it != m_events.rend(); ++it)
            if (it->id == id)
                return &*it;
        return nullptr;
    }

private:
    ComPtr<DispatchSink> m_sink;
    ComPtr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
    std::vector<Recorded> m_events;
};

// The library's own exports, while activation holds it loaded.
class Exports {
public:
    Exports() : m_handle(dlopen(oskan::test::MirelLibraryPath(), RTLD_NOW | RTLD_NOLOAD)) {}
    ~Exports() {
        if (m_handle)
            dlclose(m_handle);
    }
    HRESULT CanUnloadNow() const {
        auto function = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(m_handle, "DllCanUnloadNow"));
        return function ? function() : E_NOTIMPL;
    }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) const {
        auto function = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(m_handle, "DllGetClassObject"));
        return function ? function(clsid, iid, ppv) : E_NOTIMPL;
    }
    bool Loaded() const { return m_handle != nullptr; }

private:
    void* m_handle;
};

// An outer object that aggregates one inner object and hands out its
// interfaces as its own.
class Outer final : public IUnknown {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    ULONG AddRef() override {
        ++calls;
        return ++refs;
    }
    ULONG Release() override {
        ++calls;
        return --refs;
    }

    ComPtr<IUnknown> inner;
    ULONG refs = 1;
    ULONG calls = 0;  // AddRef and Release together
};

class MirelComponentTest : public oskan::test::ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        ASSERT_FALSE(oskan::test::MirelIsLoaded()) << "an earlier test left the library loaded";
        ASSERT_EQ(oskan::test::RunMirelExport("DllRegisterServer"), S_OK);
    }
    void TearDown() override {
        sim.Close();
        CoFreeUnusedLibraries();
        EXPECT_FALSE(oskan::test::MirelIsLoaded()) << "the test left the library loaded";
        ManualClockTest::TearDown();
    }

    template <class T>
    ComPtr<T> Create(const char16_t* progID, REFIID iid) {
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(progID, &clsid), S_OK) << winport::LastActivationError();
        ComPtr<T> object;
        EXPECT_EQ(
            CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object.ReleaseAndGetVoidAddressOf()),
            S_OK)
            << winport::LastActivationError();
        return object;
    }

    // A scan that finds the simulator's one device; the device's information
    // object, and the discovery object that listed it.
    ComPtr<IDispatch> DiscoverDevice(ComPtr<ISkRefresh>* refreshOut = nullptr) {
        StartSimulator();
        ComPtr<ISkRefresh> refresh = Create<ISkRefresh>(u"Mirel.UdpRefresh", IID_ISkRefresh);
        EventLog log(refresh.Get(), DIID__ISkRefreshEvents);
        EXPECT_EQ(refresh->Refresh(), S_OK);
        ServiceLoop::Current().AdvanceClock(3000);
        EXPECT_NE(log.Last(DISPID_OnRefreshComplete), nullptr);
        ComPtr<IDispatch> info;
        EXPECT_EQ(refresh->get_DeviceInfo(0, info.ReleaseAndGetAddressOf()), S_OK);
        if (refreshOut)
            *refreshOut = refresh;
        return info;
    }

    void StartSimulator() {
        if (sim.IsOpen())
            return;
        ASSERT_TRUE(sim.Open());
        oskan::sim::SimDevice* device = sim.AddDevice(kMac);
        device->SetVersion("4.2");
        device->SetBuildId("b7");
        device->SetProjectName("Pump");
    }

    oskan::test::TempRegistry registry;
    Simulator sim;
};

// ---------------------------------------------------------------- exports and the lock count

TEST_F(MirelComponentTest, DllGetClassObjectAnswersOnlyForItsClasses) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_MirelUdpDevice, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               factory.ReleaseAndGetVoidAddressOf()),
              S_OK);
    Exports exports;
    ASSERT_TRUE(exports.Loaded());
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(exports.GetClassObject(IID_ISkConnection, IID_IClassFactory, &object),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(exports.GetClassObject(CLSID_MirelUdpRefresh, IID_IClassFactory, nullptr), E_POINTER);
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(exports.GetClassObject(CLSID_MirelUdpRefresh, IID_ISkRefresh, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    // The class object is cached: every request gets the same one.
    ComPtr<IClassFactory> again;
    ASSERT_EQ(
        exports.GetClassObject(CLSID_MirelUdpDevice, IID_IClassFactory, again.ReleaseAndGetVoidAddressOf()),
        S_OK);
    EXPECT_EQ(again.Get(), factory.Get());
}

TEST_F(MirelComponentTest, DllCanUnloadNowWhileAnythingOfTheLibraryIsHeld) {
    ComPtr<IDispatch> info = DiscoverDevice();  // the discovery object is gone again
    Exports exports;
    EXPECT_EQ(exports.CanUnloadNow(), S_FALSE);  // a device information object alone
    info.Reset();
    EXPECT_EQ(exports.CanUnloadNow(), S_OK);

    ComPtr<ISkConnection> device = Create<ISkConnection>(u"Mirel.UdpDevice", IID_ISkConnection);
    EXPECT_EQ(exports.CanUnloadNow(), S_FALSE);
    device.Reset();
    EXPECT_EQ(exports.CanUnloadNow(), S_OK);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(exports.GetClassObject(CLSID_MirelUdpRefresh, IID_IClassFactory,
                                     factory.ReleaseAndGetVoidAddressOf()),
              S_OK);
    EXPECT_EQ(exports.CanUnloadNow(), S_FALSE);  // a class object referenced from outside
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(exports.CanUnloadNow(), S_FALSE);  // two LockServer locks
    ASSERT_EQ(exports.GetClassObject(CLSID_MirelUdpRefresh, IID_IClassFactory,
                                     factory.ReleaseAndGetVoidAddressOf()),
              S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), E_UNEXPECTED);  // no lock left to give back
    EXPECT_EQ(exports.CanUnloadNow(), S_FALSE);           // the class object itself still
    factory.Reset();
    EXPECT_EQ(exports.CanUnloadNow(), S_OK);
}

TEST_F(MirelComponentTest, TheLibraryIsUnloadedOnceNothingIsHeldAndLoadedAgainWhenNeeded) {
    ComPtr<ISkRefresh> refresh = Create<ISkRefresh>(u"Mirel.UdpRefresh", IID_ISkRefresh);
    CoFreeUnusedLibraries();
    EXPECT_TRUE(oskan::test::MirelIsLoaded());
    refresh.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(oskan::test::MirelIsLoaded());
    refresh = Create<ISkRefresh>(u"Mirel.UdpRefresh", IID_ISkRefresh);
    ASSERT_TRUE(refresh);
    EXPECT_EQ(refresh->Reset(), S_OK);
}

// Whatever the library hands out keeps it loaded while a host holds it, alone:
// the enumerators of connections and of connection points (and their clones),
// device information objects; type information is the platform's own copy.
TEST_F(MirelComponentTest, EveryObjectHandedOutKeepsTheLibraryLoaded) {
    ComPtr<IUnknown> device = Create<IUnknown>(u"Mirel.UdpDevice", IID_IUnknown);
    ComPtr<IConnectionPointContainer> container =
        Query<IConnectionPointContainer>(device.Get(), IID_IConnectionPointContainer);
    ASSERT_TRUE(container);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(DIID__ISkLoaderEvents, point.ReleaseAndGetAddressOf()), S_OK);
    ComPtr<DispatchSink> sink = DispatchSink::Create(DIID__ISkLoaderEvents, [](DISPID, const DISPPARAMS&) {});
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink.Get(), &cookie), S_OK);
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(point->EnumConnections(connections.ReleaseAndGetAddressOf()), S_OK);
    ComPtr<IEnumConnections> connectionsClone;
    ASSERT_EQ(connections->Clone(connectionsClone.ReleaseAndGetAddressOf()), S_OK);
    point.Reset();
    container.Reset();
    device.Reset();  // the enumerators alone are left
    CoFreeUnusedLibraries();
    ASSERT_TRUE(oskan::test::MirelIsLoaded());
    CONNECTDATA data{};
    ULONG fetched = 0;
    ASSERT_EQ(connections->Next(1, &data, &fetched), S_OK);
    EXPECT_EQ(data.dwCookie, cookie);
    data.pUnk->Release();
    connections.Reset();
    CoFreeUnusedLibraries();
    ASSERT_TRUE(oskan::test::MirelIsLoaded());
    ASSERT_EQ(connectionsClone->Next(1, &data, &fetched), S_OK);
    data.pUnk->Release();
    connectionsClone.Reset();
    CoFreeUnusedLibraries();
    ASSERT_FALSE(oskan::test::MirelIsLoaded());

    device = Create<IUnknown>(u"Mirel.UdpDevice", IID_IUnknown);
    container = Query<IConnectionPointContainer>(device.Get(), IID_IConnectionPointContainer);
    ASSERT_TRUE(container);
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.ReleaseAndGetAddressOf()), S_OK);
    ComPtr<IEnumConnectionPoints> pointsClone;
    ASSERT_EQ(points->Clone(pointsClone.ReleaseAndGetAddressOf()), S_OK);
    points.Reset();
    container.Reset();
    device.Reset();
    CoFreeUnusedLibraries();
    ASSERT_TRUE(oskan::test::MirelIsLoaded());
    ComPtr<IConnectionPoint> fromClone;
    ASSERT_EQ(pointsClone->Next(1, fromClone.ReleaseAndGetAddressOf(), &fetched), S_OK);
    IID iid{};
    EXPECT_EQ(fromClone->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, DIID__ISkConnectionEvents);
    fromClone.Reset();
    pointsClone.Reset();
    CoFreeUnusedLibraries();
    ASSERT_FALSE(oskan::test::MirelIsLoaded());

    ComPtr<IDispatch> info = DiscoverDevice();  // the discovery object is gone again
    ComPtr<ITypeInfo> typeInfo;
    ASSERT_EQ(info->GetTypeInfo(0, 0, typeInfo.ReleaseAndGetAddressOf()), S_OK);
    CoFreeUnusedLibraries();
    ASSERT_TRUE(oskan::test::MirelIsLoaded());
    DISPPARAMS none{};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(info->Invoke(1010, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
    VariantClear(&result);
    info.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(oskan::test::MirelIsLoaded());
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(typeInfo->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_IMirelUdpDeviceInfo);
    typeInfo->ReleaseTypeAttr(attr);
}

// ---------------------------------------------------------------- interface maps

TEST_F(MirelComponentTest, DeviceObjectInterfaceMap) {
    ComPtr<IUnknown> device = Create<IUnknown>(u"Mirel.UdpDevice", IID_IUnknown);
    ComPtr<ISkConnection> connection = Query<ISkConnection>(device.Get(), IID_ISkConnection);
    ASSERT_TRUE(connection);
    EXPECT_EQ(device.Get(),
              static_cast<IUnknown*>(connection.Get()));  // IUnknown is the first entry's pointer
    EXPECT_EQ(Query<IDispatch>(device.Get(), IID_IDispatch).Get(), static_cast<IDispatch*>(connection.Get()));
    for (const IID* iid :
         {&IID_IConnectionPointContainer, &IID_ISkCmdTarget, &IID_ISkLoader, &IID_ISkDebuggee}) {
        ComPtr<IUnknown> part = Query<IUnknown>(device.Get(), *iid);
        ASSERT_TRUE(part) << winport::GuidToString(*iid);
        EXPECT_EQ(Identity(part.Get()), device.Get()) << winport::GuidToString(*iid);
    }
    for (const IID* iid : {&IID_ISkRefresh, &IID_IMirelUdpDeviceInfo, &IID_IClassFactory, &DIID__ISkTrace}) {
        void* none = reinterpret_cast<void*>(1);
        EXPECT_EQ(device->QueryInterface(*iid, &none), E_NOINTERFACE);
        EXPECT_EQ(none, nullptr);
    }
}

TEST_F(MirelComponentTest, DiscoveryAndDeviceInformationInterfaceMaps) {
    ComPtr<ISkRefresh> refresh;
    ComPtr<IDispatch> info = DiscoverDevice(&refresh);
    EXPECT_EQ(Query<IDispatch>(refresh.Get(), IID_IDispatch).Get(), static_cast<IDispatch*>(refresh.Get()));
    EXPECT_EQ(Identity(refresh.Get()), static_cast<IUnknown*>(refresh.Get()));
    EXPECT_TRUE(Query<IConnectionPointContainer>(refresh.Get(), IID_IConnectionPointContainer));
    EXPECT_FALSE(Query<IUnknown>(refresh.Get(), IID_ISkConnection));

    ComPtr<IMirelUdpDeviceInfo> typed = Query<IMirelUdpDeviceInfo>(info.Get(), IID_IMirelUdpDeviceInfo);
    ASSERT_TRUE(typed);
    EXPECT_EQ(static_cast<IDispatch*>(typed.Get()), info.Get());
    EXPECT_EQ(Identity(info.Get()), static_cast<IUnknown*>(info.Get()));
    EXPECT_FALSE(Query<IUnknown>(info.Get(), IID_IConnectionPointContainer));
}

TEST_F(MirelComponentTest, EveryInterfaceAndSourceOfTheCoclassesIsServed) {
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadRegTypeLib(LIBID_MIRELLib, 1, 0, 0, library.ReleaseAndGetAddressOf()), S_OK);
    for (const auto& [progID, clsid] : {std::pair{u"Mirel.UdpDevice", CLSID_MirelUdpDevice},
                                        std::pair{u"Mirel.UdpRefresh", CLSID_MirelUdpRefresh}}) {
        ComPtr<IUnknown> object = Create<IUnknown>(progID, IID_IUnknown);
        ComPtr<IConnectionPointContainer> container =
            Query<IConnectionPointContainer>(object.Get(), IID_IConnectionPointContainer);
        ComPtr<ITypeInfo> coclass;
        ASSERT_EQ(library->GetTypeInfoOfGuid(clsid, coclass.ReleaseAndGetAddressOf()), S_OK);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
        const WORD count = attr->cImplTypes;
        coclass->ReleaseTypeAttr(attr);
        for (UINT i = 0; i < count; ++i) {
            HREFTYPE href = 0;
            INT flags = 0;
            ComPtr<ITypeInfo> type;
            ASSERT_EQ(coclass->GetRefTypeOfImplType(i, &href), S_OK);
            ASSERT_EQ(coclass->GetImplTypeFlags(i, &flags), S_OK);
            ASSERT_EQ(coclass->GetRefTypeInfo(href, type.ReleaseAndGetAddressOf()), S_OK);
            TYPEATTR* typeAttr = nullptr;
            ASSERT_EQ(type->GetTypeAttr(&typeAttr), S_OK);
            const GUID iid = typeAttr->guid;
            type->ReleaseTypeAttr(typeAttr);
            if (flags & IMPLTYPEFLAG_FSOURCE) {
                ComPtr<IConnectionPoint> point;
                EXPECT_EQ(container->FindConnectionPoint(iid, point.ReleaseAndGetAddressOf()), S_OK)
                    << winport::GuidToString(iid);
            } else {
                ComPtr<IUnknown> face = Query<IUnknown>(object.Get(), iid);
                EXPECT_TRUE(face) << winport::GuidToString(iid);
                // The default interface is the one IDispatch resolves to.
                if (flags & IMPLTYPEFLAG_FDEFAULT) {
                    EXPECT_EQ(static_cast<void*>(Query<IDispatch>(object.Get(), IID_IDispatch).Get()),
                              static_cast<void*>(face.Get()));
                }
            }
        }
    }
}

// ---------------------------------------------------------------- aggregation

TEST_F(MirelComponentTest, BothClassesCanBeAggregatedAndDelegateToTheOuterObject) {
    for (const char16_t* progID : {u"Mirel.UdpDevice", u"Mirel.UdpRefresh"}) {
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromProgID(progID, &clsid), S_OK);
        Outer outer;
        ComPtr<IUnknown> refused;
        EXPECT_EQ(CoCreateInstance(clsid, &outer, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   refused.ReleaseAndGetVoidAddressOf()),
                  CLASS_E_NOAGGREGATION);
        EXPECT_FALSE(refused);
        ASSERT_EQ(CoCreateInstance(clsid, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   outer.inner.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        EXPECT_EQ(outer.refs, 1u);  // the inner object holds no reference on its outer

        ComPtr<IDispatch> face;
        ASSERT_EQ(outer.QueryInterface(IID_IDispatch, face.ReleaseAndGetVoidAddressOf()), S_OK);
        EXPECT_EQ(outer.refs, 2u);  // interfaces of the inner object count on the outer
        EXPECT_EQ(Identity(face.Get()), static_cast<IUnknown*>(&outer));
        ComPtr<IConnectionPointContainer> container =
            Query<IConnectionPointContainer>(face.Get(), IID_IConnectionPointContainer);
        ASSERT_TRUE(container);
        ComPtr<IEnumConnectionPoints> points;
        ASSERT_EQ(container->EnumConnectionPoints(points.ReleaseAndGetAddressOf()), S_OK);
        ComPtr<IConnectionPoint> point;
        ULONG fetched = 0;
        ASSERT_EQ(points->Next(1, point.ReleaseAndGetAddressOf(), &fetched), S_OK);
        ComPtr<IConnectionPointContainer> back;
        ASSERT_EQ(point->GetConnectionPointContainer(back.ReleaseAndGetAddressOf()), S_OK);
        EXPECT_EQ(Identity(back.Get()), static_cast<IUnknown*>(&outer));

        // The inner unknown answers IUnknown with itself, not with the outer object.
        ComPtr<IUnknown> inner;
        ASSERT_EQ(outer.inner->QueryInterface(IID_IUnknown, inner.ReleaseAndGetVoidAddressOf()), S_OK);
        EXPECT_EQ(inner.Get(), outer.inner.Get());
        inner.Reset();

        back.Reset();
        point.Reset();
        points.Reset();
        container.Reset();
        face.Reset();
        EXPECT_EQ(outer.refs, 1u);
        Exports exports;
        EXPECT_EQ(exports.CanUnloadNow(), S_FALSE);
        outer.inner.Reset();  // the outer object lets its inner object go
        EXPECT_EQ(exports.CanUnloadNow(), S_OK);
        EXPECT_EQ(outer.refs, 1u);
    }
}

TEST_F(MirelComponentTest, AnAggregatedObjectEndsItsWorkWithoutTouchingItsOuterObject) {
    StartSimulator();
    Outer outer;
    ASSERT_EQ(CoCreateInstance(CLSID_MirelUdpRefresh, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               outer.inner.ReleaseAndGetVoidAddressOf()),
              S_OK);
    ComPtr<ISkRefresh> refresh = Query<ISkRefresh>(&outer, IID_ISkRefresh);
    ASSERT_TRUE(refresh);
    EventLog log(refresh.Get(), DIID__ISkRefreshEvents);
    ASSERT_EQ(refresh->Refresh(), S_OK);
    refresh.Reset();
    log.KeepConnected();
    // A scan is running; destroying the object completes it as cancelled,
    // and the references that firing takes stay with the inner object.
    ULONG before = outer.calls;
    outer.inner.Reset();
    EXPECT_EQ(outer.calls, before);
    EXPECT_EQ(outer.refs, 1u);
    ASSERT_NE(log.Last(DISPID_OnRefreshComplete), nullptr);
    EXPECT_EQ(log.Last(DISPID_OnRefreshComplete)->ints[0], 1223);
}

// ---------------------------------------------------------------- registration

TEST_F(MirelComponentTest, RegistrationWritesTheScriptsKeysAndTheTypeLibrary) {
    auto read = [](const std::u16string& key, const char16_t* name = nullptr) {
        std::u16string text;
        LONG status = winport::RegReadString(HKEY_CLASSES_ROOT, key.c_str(), name, &text);
        return status == ERROR_SUCCESS ? winport::Utf16ToAnsi(text) : "<none>";
    };
    const std::string path = oskan::test::MirelLibraryPath();
    struct Class {
        const char16_t* progID;
        const char* description;
        const char16_t* clsidKey;
        const char* clsid;
    } classes[] = {
        {u"Mirel.UdpDevice", "MirelUdpDevice Class", u"CLSID\\{EC32CBBA-6B33-4A61-8839-86FB2A857F37}",
         "{EC32CBBA-6B33-4A61-8839-86FB2A857F37}"},
        {u"Mirel.UdpRefresh", "MirelUdpRefresh Class", u"CLSID\\{7B4C2E0F-C81F-4E66-BA72-4FB9B45B06E3}",
         "{7B4C2E0F-C81F-4E66-BA72-4FB9B45B06E3}"},
    };
    for (const auto& c : classes) {
        const std::u16string progID = c.progID;
        const std::u16string versioned = progID + u".1";
        const std::u16string clsid = c.clsidKey;
        EXPECT_EQ(read(versioned), c.description);
        EXPECT_EQ(read(versioned + u"\\CLSID"), c.clsid);
        EXPECT_EQ(read(progID), c.description);
        EXPECT_EQ(read(progID + u"\\CLSID"), c.clsid);
        EXPECT_EQ(read(progID + u"\\CurVer"), winport::Utf16ToAnsi(versioned));
        EXPECT_EQ(read(clsid), c.description);
        EXPECT_EQ(read(clsid + u"\\ProgID"), winport::Utf16ToAnsi(versioned));
        EXPECT_EQ(read(clsid + u"\\VersionIndependentProgID"), winport::Utf16ToAnsi(progID));
        EXPECT_EQ(read(clsid + u"\\Programmable"), "<none>");  // the key, without a value
        HKEY programmable = nullptr;
        EXPECT_EQ(
            RegOpenKeyExW(HKEY_CLASSES_ROOT, (clsid + u"\\Programmable").c_str(), 0, KEY_READ, &programmable),
            ERROR_SUCCESS);
        RegCloseKey(programmable);
        EXPECT_EQ(read(clsid + u"\\InprocServer32"), path);
        EXPECT_EQ(read(clsid + u"\\InprocServer32", u"ThreadingModel"), "Apartment");
        EXPECT_EQ(read(clsid + u"\\TypeLib"), "{EDD4E586-0DBA-4A9D-A87B-0B699395964F}");
    }
    EXPECT_EQ(read(u"TypeLib\\{EDD4E586-0DBA-4A9D-A87B-0B699395964F}\\1.0"), "Oskan Mirel Objects 1.0");
    EXPECT_EQ(read(u"TypeLib\\{EDD4E586-0DBA-4A9D-A87B-0B699395964F}\\1.0\\0\\win64"), path);
}

TEST_F(MirelComponentTest, RegisteringTwiceLeavesOneSetAndUnregisteringRemovesIt) {
    const std::string once = registry.Text();
    ASSERT_EQ(oskan::test::RunMirelExport("DllRegisterServer"), S_OK);
    EXPECT_EQ(registry.Text(), once);
    ASSERT_EQ(oskan::test::RunMirelExport("DllUnregisterServer"), S_OK);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"Mirel.UdpDevice", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(u"Mirel.UdpRefresh.1", &clsid), CO_E_CLASSSTRING);
    ComPtr<ITypeLib> library;
    EXPECT_EQ(LoadRegTypeLib(LIBID_MIRELLib, 1, 0, 0, library.ReleaseAndGetAddressOf()),
              TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(registry.Text().find("EC32CBBA"), std::string::npos);
    EXPECT_EQ(registry.Text().find("Mirel"), std::string::npos) << registry.Text();
    ComPtr<IUnknown> object;
    EXPECT_EQ(CoCreateInstance(CLSID_MirelUdpDevice, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               object.ReleaseAndGetVoidAddressOf()),
              REGDB_E_CLASSNOTREG);
}

TEST_F(MirelComponentTest, ProgIDsInAnyCaseActivateTheClasses) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"mirel.udpdevice", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_MirelUdpDevice);
    ASSERT_EQ(CLSIDFromProgID(u"MIREL.UDPREFRESH.1", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_MirelUdpRefresh);
    ComPtr<ISkConnection> device = Create<ISkConnection>(u"mIrEl.UdPdEvIcE", IID_ISkConnection);
    ASSERT_TRUE(device);
    EXPECT_EQ(PutAddress(device.Get()), S_OK);
}

// ---------------------------------------------------------------- late binding

TEST_F(MirelComponentTest, LateBoundConnection) {
    ComPtr<IDispatch> device = Create<IDispatch>(u"Mirel.UdpDevice", IID_IDispatch);
    EventLog log(device.Get(), DIID__ISkConnectionEvents);
    LateBound call(device.Get());
    EXPECT_EQ(call.Id("address"), 150);
    EXPECT_EQ(call.Put("Address", "2.0.0.1.2.3"), S_OK);
    Result address, connected;
    ASSERT_EQ(call.Get("Address", &address), S_OK);
    EXPECT_EQ(address.Text(), "2.0.0.1.2.3");
    ASSERT_EQ(call.Get("Connected", &connected), S_OK);
    EXPECT_EQ(connected.value.vt, VT_BOOL);
    EXPECT_EQ(connected.value.boolVal, VARIANT_FALSE);
    EXPECT_EQ(call.Put("Address", "02-00-00-01-02-03"), E_INVALIDARG);  // the member's own failure
    EXCEPINFO excep{};
    EXPECT_EQ(call.Put("Address", "2.0.0.1.2.3"), S_OK);
    ASSERT_EQ(call.Method("Connect", {}, nullptr, &excep), S_OK);
    ASSERT_NE(log.Last(DISPID_OnConnectComplete), nullptr);
    EXPECT_EQ(log.Last(DISPID_OnConnectComplete)->texts[1], "UDP connection established");
    Result now;
    ASSERT_EQ(call.Get("Connected", &now), S_OK);
    EXPECT_EQ(now.value.boolVal, VARIANT_TRUE);
    EXPECT_EQ(call.Method("Disconnect"), S_OK);
    EXPECT_NE(log.Last(DISPID_OnDisconnect), nullptr);
    HRESULT hr = S_OK;
    call.Id("Command", &hr);  // not a member of ISkConnection
    EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);
}

TEST_F(MirelComponentTest, LateBoundCommandWithItsOptionalParameterOmitted) {
    StartSimulator();
    ComPtr<ISkConnection> device = Create<ISkConnection>(u"Mirel.UdpDevice", IID_ISkConnection);
    ASSERT_EQ(PutAddress(device.Get()), S_OK);
    ASSERT_EQ(device->Connect(), S_OK);
    ComPtr<ISkCmdTarget> target = Query<ISkCmdTarget>(device.Get(), IID_ISkCmdTarget);
    ASSERT_TRUE(target);
    EventLog log(device.Get(), DIID__ISkCmdTargetEvents);
    LateBound call(target.Get());

    ASSERT_EQ(call.Put("Flags", 2), S_OK);
    LONG flags = 0;
    target->get_Flags(&flags);
    EXPECT_EQ(flags, 2);
    Result read;
    ASSERT_EQ(call.Get("flags", &read), S_OK);
    EXPECT_EQ(read.Int(), 2);
    ASSERT_EQ(call.Put("Flags", 0), S_OK);

    ASSERT_EQ(call.Method("Command", {"B", 77}), S_OK);
    ServiceLoop::Current().AdvanceClock(100);
    ASSERT_NE(log.Last(DISPID_OnCommandComplete), nullptr);
    EXPECT_EQ(log.Last(DISPID_OnCommandComplete)->ints[3], 77);
    ASSERT_EQ(call.Method("Command", {"B"}), S_OK);
    ServiceLoop::Current().AdvanceClock(100);
    ASSERT_EQ(log.Events().size(), 2u);
    const Recorded& second = log.Events()[1];
    EXPECT_EQ(second.ints[0], 0);
    EXPECT_EQ(second.texts[1], "Operation completed successfully");
    EXPECT_EQ(second.texts[2], "A");
    EXPECT_EQ(second.ints[3], 0);  // lParam omitted: its default
    EXPECT_EQ(sim.Find(kMac)->BuzzCount(), 2u);
    EXPECT_EQ(call.Method("Cancel"), S_OK);
    EXPECT_EQ(call.Method("Command"), DISP_E_PARAMNOTOPTIONAL);
}

TEST_F(MirelComponentTest, LateBoundLoadWithItsOptionalFlagsOmitted) {
    StartSimulator();
    const std::string firmware = registry.Dir() + "/firmware.bin";
    std::ofstream(firmware, std::ios::binary) << std::string(256, 'F');
    ComPtr<ISkConnection> device = Create<ISkConnection>(u"Mirel.UdpDevice", IID_ISkConnection);
    ASSERT_EQ(PutAddress(device.Get()), S_OK);
    ASSERT_EQ(device->Connect(), S_OK);
    ComPtr<ISkLoader> loader = Query<ISkLoader>(device.Get(), IID_ISkLoader);
    ASSERT_TRUE(loader);
    EventLog log(device.Get(), DIID__ISkLoaderEvents);
    LateBound call(loader.Get());

    EXCEPINFO excep{};
    EXPECT_EQ(call.Method("Load", {"/nonexistent/firmware.bin"}, nullptr, &excep), DISP_E_EXCEPTION);
    const winport::Bstr description(excep.bstrDescription);
    EXPECT_EQ(excep.scode, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

    ASSERT_EQ(call.Method("Load", {firmware.c_str()}), S_OK);
    ServiceLoop::Current().AdvanceClock(10);
    EXPECT_EQ(sim.RequestCount(kMac, "QF"), 1u);  // flags 0: a firmware upload
    EXPECT_EQ(sim.RequestCount(kMac, "X"), 0u);
    ASSERT_EQ(call.Method("Cancel"), S_OK);
    ASSERT_NE(log.Last(DISPID_OnLoadComplete), nullptr);
    EXPECT_EQ(log.Last(DISPID_OnLoadComplete)->ints[0], 1223);
}

TEST_F(MirelComponentTest, LateBoundDiscoveryAndDeviceInformation) {
    StartSimulator();
    ComPtr<IDispatch> refresh = Create<IDispatch>(u"Mirel.UdpRefresh", IID_IDispatch);
    EventLog log(refresh.Get(), DIID__ISkRefreshEvents);
    LateBound call(refresh.Get());
    ASSERT_EQ(call.Method("Refresh"), S_OK);
    ServiceLoop::Current().AdvanceClock(3000);
    ASSERT_NE(log.Last(DISPID_OnRefreshComplete), nullptr);
    EXPECT_EQ(log.Last(DISPID_OnRefreshComplete)->ints[0], 0);

    Result info;
    ASSERT_EQ(call.Get("DeviceInfo", &info, {0}), S_OK);
    ASSERT_EQ(info.value.vt, VT_DISPATCH);
    LateBound device(info.value.pdispVal);
    Result mac, ip, ping, version, project, build, mode;
    ASSERT_EQ(device.Get("MacAddress", &mac), S_OK);
    EXPECT_EQ(mac.Text(), "2.0.0.1.2.3");
    ASSERT_EQ(device.Get("IpAddress", &ip), S_OK);
    EXPECT_EQ(ip.Text(), "127.0.0.2");
    ASSERT_EQ(device.Get("Ping", &ping), S_OK);
    EXPECT_GE(ping.Int(), 0);
    ASSERT_EQ(device.Get("Version", &version), S_OK);
    EXPECT_EQ(version.Text(), "4.2");
    ASSERT_EQ(device.Get("ProjectName", &project), S_OK);
    EXPECT_EQ(project.Text(), "Pump");
    ASSERT_EQ(device.Get("BuildId", &build), S_OK);
    EXPECT_EQ(build.Text(), "b7");
    ASSERT_EQ(device.Get("PcmMode", &mode), S_OK);
    EXPECT_EQ(mode.value.vt, VT_I4);
    ComPtr<IMirelUdpDeviceInfo> typed =
        Query<IMirelUdpDeviceInfo>(info.value.pdispVal, IID_IMirelUdpDeviceInfo);
    OSKAN_PCODE_MACHINE_MODE direct = OPCM_MODE_UNKNOWN;
    typed->get_PcmMode(&direct);
    EXPECT_EQ(mode.value.lVal, direct);
    EXPECT_NE(direct, OPCM_MODE_UNKNOWN);

    EXPECT_EQ(call.Method("Cancel"), S_OK);
    EXPECT_EQ(call.Method("Reset"), S_OK);
    Result gone;
    EXPECT_EQ(call.Get("DeviceInfo", &gone, {0}), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(MirelComponentTest, WithoutRegistrationLateBindingFailsWhileTheVtableWorks) {
    ASSERT_EQ(oskan::test::RunMirelExport("DllUnregisterServer"), S_OK);
    void* handle = dlopen(oskan::test::MirelLibraryPath(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr);
    {
        auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(handle, "DllGetClassObject"));
        ComPtr<IClassFactory> factory;
        ASSERT_EQ(
            getClassObject(CLSID_MirelUdpDevice, IID_IClassFactory, factory.ReleaseAndGetVoidAddressOf()),
            S_OK);
        ComPtr<ISkConnection> device;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_ISkConnection, device.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        UINT count = 0;
        EXPECT_EQ(device->GetTypeInfoCount(&count), S_OK);
        EXPECT_EQ(count, 1u);
        ComPtr<ITypeInfo> info;
        EXPECT_EQ(device->GetTypeInfo(0, 0, info.ReleaseAndGetAddressOf()), TYPE_E_LIBNOTREGISTERED);
        HRESULT hr = S_OK;
        LateBound(device.Get()).Id("Address", &hr);
        EXPECT_EQ(hr, TYPE_E_LIBNOTREGISTERED);
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        EXPECT_EQ(device->Invoke(153, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
                  TYPE_E_LIBNOTREGISTERED);
        ComPtr<ISkCmdTarget> target = Query<ISkCmdTarget>(device.Get(), IID_ISkCmdTarget);
        LateBound(target.Get()).Id("Command", &hr);
        EXPECT_EQ(hr, TYPE_E_LIBNOTREGISTERED);
        EXPECT_EQ(PutAddress(device.Get()), S_OK);
        EXPECT_EQ(target->put_Flags(2), S_OK);
        LONG flags = 0;
        EXPECT_EQ(target->get_Flags(&flags), S_OK);
        EXPECT_EQ(flags, 2);
    }
    dlclose(handle);
}

}  // namespace
