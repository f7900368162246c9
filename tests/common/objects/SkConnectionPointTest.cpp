// Connection points and their container: Advise and Unadvise with their error
// codes, the shape of the sink array, the enumerators, and the connection
// point's place as a part of its object.
#include <gtest/gtest.h>

#include <set>

#include "Mirel/MirelEvents.h"
#include "common/objects/SkConnectionPoint.h"
#include "tests/support/TestSinks.h"

namespace {

using oskan::test::TestEventSource;
using oskan::test::TestSink;

// The connection map of the discovery object.
std::vector<IID> RefreshMap() {
    return {DIID__ISkRefreshEvents, DIID__ISkTrace};
}

// The connection map of the device object.
std::vector<IID> DeviceMap() {
    return {DIID__ISkConnectionEvents, DIID__ISkLoaderEvents, IID__ISkDebuggeeEvents,
            DIID__ISkCmdTargetEvents, DIID__ISkTrace};
}

DWORD AdviseOk(SkConnectionPoint& point, IUnknown* sink) {
    DWORD cookie = 0;
    EXPECT_EQ(point.Advise(sink, &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    return cookie;
}

TEST(SkConnectionPoint, AdviseRejectsNullArguments) {
    auto source = TestEventSource::Create(RefreshMap());
    auto sink = TestSink::Create(DIID__ISkRefreshEvents);
    SkConnectionPoint& point = source->Point(0);
    DWORD cookie = 77;
    EXPECT_EQ(point.Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(point.Advise(sink.Get(), nullptr), E_POINTER);
    EXPECT_EQ(sink->RefCount(), 1u);
    EXPECT_EQ(point.SlotCount(), 0u);
}

TEST(SkConnectionPoint, SinkAnsweringOnlyDispatchCannotConnect) {
    auto source = TestEventSource::Create(RefreshMap());
    auto sink = TestSink::Create(IID_NULL);
    DWORD cookie = 77;
    EXPECT_EQ(source->Point(0).Advise(sink.Get(), &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(sink->RefCount(), 1u);
    EXPECT_EQ(source->Point(0).ConnectionCount(), 0u);

    // A sink of another event interface fails the same way.
    auto other = TestSink::Create(DIID__ISkTrace);
    EXPECT_EQ(source->Point(0).Advise(other.Get(), &cookie), CONNECT_E_CANNOTCONNECT);
}

TEST(SkConnectionPoint, OtherQueryFailuresAreReturnedUnchanged) {
    auto source = TestEventSource::Create(RefreshMap());
    auto sink = TestSink::Create(DIID__ISkRefreshEvents);
    sink->queryFailure = E_UNEXPECTED;
    DWORD cookie = 77;
    EXPECT_EQ(source->Point(0).Advise(sink.Get(), &cookie), E_UNEXPECTED);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(sink->RefCount(), 1u);
}

TEST(SkConnectionPoint, ConnectionHoldsOneReferenceUntilUnadvise) {
    auto source = TestEventSource::Create(RefreshMap());
    auto sink = TestSink::Create(DIID__ISkRefreshEvents);
    const DWORD cookie = AdviseOk(source->Point(0), sink.Get());
    EXPECT_EQ(sink->RefCount(), 2u);
    EXPECT_EQ(source->Point(0).SinkAt(0), static_cast<IUnknown*>(sink.Get()));
    EXPECT_EQ(source->Point(0).CookieAt(0), cookie);
    EXPECT_EQ(source->Point(0).Unadvise(cookie), S_OK);
    EXPECT_EQ(sink->RefCount(), 1u);
    EXPECT_EQ(source->Point(0).Unadvise(cookie), CONNECT_E_NOCONNECTION);
}

TEST(SkConnectionPoint, UnadviseOfUnknownCookieFails) {
    auto source = TestEventSource::Create(RefreshMap());
    SkConnectionPoint& point = source->Point(0);
    EXPECT_EQ(point.Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point.Unadvise(1), CONNECT_E_NOCONNECTION);
    auto a = TestSink::Create(DIID__ISkRefreshEvents);
    auto b = TestSink::Create(DIID__ISkRefreshEvents);
    const DWORD ca = AdviseOk(point, a.Get());
    const DWORD cb = AdviseOk(point, b.Get());
    EXPECT_EQ(point.Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point.Unadvise(ca + cb + 1000), CONNECT_E_NOCONNECTION);
    // Unadvise of one connection point never touches another's.
    EXPECT_EQ(source->Point(1).Unadvise(ca), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point.ConnectionCount(), 2u);
    EXPECT_EQ(a->RefCount(), 2u);
    EXPECT_EQ(b->RefCount(), 2u);
}

TEST(SkConnectionPoint, CookiesNameConnectionsNotSinks) {
    auto source = TestEventSource::Create(RefreshMap());
    SkConnectionPoint& point = source->Point(0);
    auto sink = TestSink::Create(DIID__ISkRefreshEvents);
    std::set<DWORD> seen;
    const DWORD first = AdviseOk(point, sink.Get());
    const DWORD second = AdviseOk(point, sink.Get());
    EXPECT_NE(first, second);
    EXPECT_EQ(sink->RefCount(), 3u);
    EXPECT_EQ(point.Unadvise(first), S_OK);
    // The stale cookie stays stale even though the same sink is still connected.
    EXPECT_EQ(point.Unadvise(first), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point.ConnectionCount(), 1u);
    // A reconnection never gets back a cookie in use or the stale one.
    for (int i = 0; i < 20; ++i) {
        const DWORD cookie = AdviseOk(point, sink.Get());
        EXPECT_TRUE(seen.insert(cookie).second);
        EXPECT_NE(cookie, first);
        EXPECT_NE(cookie, second);
        EXPECT_EQ(point.Unadvise(cookie), S_OK);
    }
    EXPECT_EQ(point.Unadvise(second), S_OK);
    EXPECT_EQ(sink->RefCount(), 1u);
}

TEST(SkConnectionPoint, SinkArrayGrowsFromOneToFourThenDoubles) {
    auto source = TestEventSource::Create(RefreshMap());
    SkConnectionPoint& point = source->Point(0);
    EXPECT_EQ(point.SlotCount(), 0u);
    std::vector<ComPtr<TestSink>> sinks;
    const size_t expectedSlots[] = {1, 4, 4, 4, 8, 8, 8, 8, 16};
    for (size_t i = 0; i < 9; ++i) {
        sinks.push_back(TestSink::Create(DIID__ISkRefreshEvents));
        AdviseOk(point, sinks.back().Get());
        EXPECT_EQ(point.SlotCount(), expectedSlots[i]) << "after sink " << i + 1;
    }
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(point.SinkAt(i), static_cast<IUnknown*>(sinks[i].Get())) << i;
    }
    for (size_t i = 9; i < 16; ++i) {
        EXPECT_EQ(point.SinkAt(i), nullptr);
    }
    // The table never shrinks.
    for (size_t i = 0; i < 16; ++i) {
        if (point.SinkAt(i)) {
            EXPECT_EQ(point.Unadvise(point.CookieAt(i)), S_OK);
        }
    }
    EXPECT_EQ(point.SlotCount(), 16u);
    EXPECT_EQ(point.ConnectionCount(), 0u);
    for (auto& sink : sinks) {
        EXPECT_EQ(sink->RefCount(), 1u);
    }
}

TEST(SkConnectionPoint, SingleSlotIsReused) {
    auto source = TestEventSource::Create(RefreshMap());
    SkConnectionPoint& point = source->Point(0);
    auto a = TestSink::Create(DIID__ISkRefreshEvents);
    auto b = TestSink::Create(DIID__ISkRefreshEvents);
    EXPECT_EQ(point.Unadvise(AdviseOk(point, a.Get())), S_OK);
    EXPECT_EQ(point.SlotCount(), 1u);
    AdviseOk(point, b.Get());
    EXPECT_EQ(point.SlotCount(), 1u);
    EXPECT_EQ(point.SinkAt(0), static_cast<IUnknown*>(b.Get()));
}

TEST(SkConnectionPoint, EmptiedSlotsAreReusedLowestFirst) {
    auto source = TestEventSource::Create(RefreshMap());
    SkConnectionPoint& point = source->Point(0);
    std::vector<ComPtr<TestSink>> sinks;
    std::vector<DWORD> cookies;
    for (int i = 0; i < 4; ++i) {
        sinks.push_back(TestSink::Create(DIID__ISkRefreshEvents));
        cookies.push_back(AdviseOk(point, sinks.back().Get()));
    }
    EXPECT_EQ(point.Unadvise(cookies[2]), S_OK);
    EXPECT_EQ(point.Unadvise(cookies[0]), S_OK);
    auto e = TestSink::Create(DIID__ISkRefreshEvents);
    auto f = TestSink::Create(DIID__ISkRefreshEvents);
    auto g = TestSink::Create(DIID__ISkRefreshEvents);
    AdviseOk(point, e.Get());
    EXPECT_EQ(point.SinkAt(0), static_cast<IUnknown*>(e.Get()));
    AdviseOk(point, f.Get());
    EXPECT_EQ(point.SinkAt(2), static_cast<IUnknown*>(f.Get()));
    EXPECT_EQ(point.SlotCount(), 4u);
    AdviseOk(point, g.Get());
    EXPECT_EQ(point.SlotCount(), 8u);
    EXPECT_EQ(point.SinkAt(4), static_cast<IUnknown*>(g.Get()));
}

TEST(SkConnectionPoint, AdviseLimitWhenTheArrayCannotGrow) {
    auto source = TestEventSource::Create(RefreshMap(), 4);
    SkConnectionPoint& point = source->Point(0);
    std::vector<ComPtr<TestSink>> sinks;
    std::vector<DWORD> cookies;
    for (int i = 0; i < 4; ++i) {
        sinks.push_back(TestSink::Create(DIID__ISkRefreshEvents));
        cookies.push_back(AdviseOk(point, sinks.back().Get()));
    }
    auto extra = TestSink::Create(DIID__ISkRefreshEvents);
    DWORD cookie = 77;
    EXPECT_EQ(point.Advise(extra.Get(), &cookie), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(extra->RefCount(), 1u);  // the reference from the query was given back
    EXPECT_EQ(point.SlotCount(), 4u);
    // Room made by Unadvise is used again.
    EXPECT_EQ(point.Unadvise(cookies[1]), S_OK);
    AdviseOk(point, extra.Get());
    EXPECT_EQ(point.SinkAt(1), static_cast<IUnknown*>(extra.Get()));

    // A limit of one sink: the table of four can never be made.
    auto single = TestEventSource::Create(RefreshMap(), 1);
    AdviseOk(single->Point(0), sinks[0].Get());
    EXPECT_EQ(single->Point(0).Advise(sinks[1].Get(), &cookie), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(single->Point(0).SlotCount(), 1u);
}

TEST(SkConnectionPoint, IsPartOfItsObject) {
    auto source = TestEventSource::Create(RefreshMap());
    SkConnectionPoint& point = source->Point(0);
    const ULONG base = source->RefCount();
    EXPECT_EQ(point.AddRef(), base + 1);
    EXPECT_EQ(source->RefCount(), base + 1);
    EXPECT_EQ(point.Release(), base);

    void* pv = nullptr;
    EXPECT_EQ(point.QueryInterface(IID_IConnectionPoint, &pv), S_OK);
    EXPECT_EQ(pv, static_cast<IConnectionPoint*>(&point));
    EXPECT_EQ(source->RefCount(), base + 1);
    point.Release();
    EXPECT_EQ(point.QueryInterface(IID_IUnknown, &pv), S_OK);
    EXPECT_EQ(pv, static_cast<IConnectionPoint*>(&point));
    point.Release();
    pv = &point;
    EXPECT_EQ(point.QueryInterface(IID_IConnectionPointContainer, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(point.QueryInterface(IID_IDispatch, &pv), E_NOINTERFACE);
    EXPECT_EQ(point.QueryInterface(IID_IConnectionPoint, nullptr), E_POINTER);
    EXPECT_EQ(source->RefCount(), base);

    IID iid = IID_NULL;
    EXPECT_EQ(point.GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, DIID__ISkRefreshEvents);
    EXPECT_EQ(point.GetConnectionInterface(nullptr), E_POINTER);

    ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(point.GetConnectionPointContainer(container.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(container.Get(), static_cast<IConnectionPointContainer*>(source.Get()));
    EXPECT_EQ(point.GetConnectionPointContainer(nullptr), E_POINTER);
}

TEST(SkConnectionPoint, EnumConnectionsCopiesOccupiedSlotsWithReferences) {
    auto source = TestEventSource::Create(RefreshMap());
    SkConnectionPoint& point = source->Point(0);
    auto a = TestSink::Create(DIID__ISkRefreshEvents);
    auto b = TestSink::Create(DIID__ISkRefreshEvents);
    auto c = TestSink::Create(DIID__ISkRefreshEvents);
    const DWORD ca = AdviseOk(point, a.Get());
    const DWORD cb = AdviseOk(point, b.Get());
    const DWORD cc = AdviseOk(point, c.Get());
    EXPECT_EQ(point.Unadvise(cb), S_OK);

    EXPECT_EQ(point.EnumConnections(nullptr), E_POINTER);
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(point.EnumConnections(connections.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(a->RefCount(), 3u);  // test, connection, enumerator
    EXPECT_EQ(b->RefCount(), 1u);
    // The enumerator is a snapshot: later changes do not reach it, and it keeps
    // its sinks alive.
    EXPECT_EQ(point.Unadvise(cc), S_OK);
    EXPECT_EQ(c->RefCount(), 2u);

    CONNECTDATA data[3] = {};
    ULONG fetched = 99;
    EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(data[0].pUnk, static_cast<IUnknown*>(a.Get()));
    EXPECT_EQ(data[0].dwCookie, ca);
    EXPECT_EQ(data[1].pUnk, static_cast<IUnknown*>(c.Get()));
    EXPECT_EQ(data[1].dwCookie, cc);
    EXPECT_EQ(a->RefCount(), 4u);
    EXPECT_EQ(c->RefCount(), 3u);
    data[0].pUnk->Release();
    data[1].pUnk->Release();

    EXPECT_EQ(connections->Next(1, data, nullptr), S_FALSE);
    EXPECT_EQ(connections->Next(2, data, nullptr), E_POINTER);
    EXPECT_EQ(connections->Next(0, data, &fetched), E_INVALIDARG);
    EXPECT_EQ(connections->Reset(), S_OK);
    EXPECT_EQ(connections->Skip(1), S_OK);
    ComPtr<IEnumConnections> clone;
    EXPECT_EQ(connections->Clone(clone.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(connections->Skip(5), S_FALSE);
    EXPECT_EQ(clone->Next(1, data, nullptr), S_OK);  // the clone starts where the original was
    EXPECT_EQ(data[0].dwCookie, cc);
    data[0].pUnk->Release();
    void* pv = nullptr;
    EXPECT_EQ(clone->QueryInterface(IID_IEnumConnections, &pv), S_OK);
    static_cast<IUnknown*>(pv)->Release();
    EXPECT_EQ(clone->QueryInterface(IID_IEnumConnectionPoints, &pv), E_NOINTERFACE);

    connections.Reset();
    EXPECT_EQ(c->RefCount(), 2u);  // the clone shares the snapshot
    clone.Reset();
    EXPECT_EQ(a->RefCount(), 2u);
    EXPECT_EQ(c->RefCount(), 1u);

    // An empty connection point enumerates nothing.
    ASSERT_EQ(source->Point(1).EnumConnections(connections.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(connections->Next(1, data, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
}

TEST(SkConnectionPoint, DestructionOfTheObjectReleasesItsSinks) {
    auto source = TestEventSource::Create(RefreshMap());
    std::vector<ComPtr<TestSink>> sinks;
    for (int i = 0; i < 6; ++i) {
        sinks.push_back(TestSink::Create(DIID__ISkRefreshEvents));
        AdviseOk(source->Point(0), sinks.back().Get());
    }
    auto trace = TestSink::Create(DIID__ISkTrace);
    AdviseOk(source->Point(1), trace.Get());
    // A sink whose only reference is the connection goes with it.
    auto orphan = TestSink::Create(DIID__ISkRefreshEvents);
    AdviseOk(source->Point(0), orphan.Get());
    auto orphanGone = orphan->destroyed;
    orphan.Reset();

    auto destroyed = source->destroyed;
    source.Reset();
    EXPECT_TRUE(*destroyed);
    EXPECT_TRUE(*orphanGone);
    for (auto& sink : sinks) {
        EXPECT_EQ(sink->RefCount(), 1u);
    }
    EXPECT_EQ(trace->RefCount(), 1u);
}

TEST(SkConnectionPointContainer, FindConnectionPointWalksTheMap) {
    auto source = TestEventSource::Create(DeviceMap());
    const std::vector<IID> map = DeviceMap();
    for (size_t i = 0; i < map.size(); ++i) {
        const ULONG base = source->RefCount();
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(source->FindConnectionPoint(map[i], point.ReleaseAndGetAddressOf()), S_OK);
        EXPECT_EQ(point.Get(), static_cast<IConnectionPoint*>(&source->Point(i)));
        EXPECT_EQ(source->RefCount(), base + 1);  // the new reference is the object's
    }

    auto refresh = TestEventSource::Create(RefreshMap());
    IConnectionPoint* point = &refresh->Point(0);
    EXPECT_EQ(refresh->FindConnectionPoint(DIID__ISkConnectionEvents, &point), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point, nullptr);
    EXPECT_EQ(refresh->FindConnectionPoint(IID_IDispatch, &point), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(refresh->FindConnectionPoint(DIID__ISkTrace, nullptr), E_POINTER);
    EXPECT_EQ(refresh->RefCount(), 1u);

    // The first in map order wins.
    auto twice = TestEventSource::Create({DIID__ISkTrace, DIID__ISkTrace});
    ASSERT_EQ(twice->FindConnectionPoint(DIID__ISkTrace, &point), S_OK);
    EXPECT_EQ(point, static_cast<IConnectionPoint*>(&twice->Point(0)));
    point->Release();
}

TEST(SkConnectionPointContainer, EnumConnectionPointsInMapOrderHoldingTheObject) {
    auto source = TestEventSource::Create(DeviceMap());
    EXPECT_EQ(source->EnumConnectionPoints(nullptr), E_POINTER);
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(source->EnumConnectionPoints(points.ReleaseAndGetAddressOf()), S_OK);

    auto destroyed = source->destroyed;
    TestEventSource* raw = source.Get();
    source.Reset();
    EXPECT_FALSE(*destroyed);

    const std::vector<IID> map = DeviceMap();
    IConnectionPoint* fetched[8] = {};
    ULONG count = 0;
    EXPECT_EQ(points->Next(8, fetched, &count), S_FALSE);
    ASSERT_EQ(count, map.size());
    for (size_t i = 0; i < map.size(); ++i) {
        IID iid = IID_NULL;
        EXPECT_EQ(fetched[i], static_cast<IConnectionPoint*>(&raw->Point(i)));
        EXPECT_EQ(fetched[i]->GetConnectionInterface(&iid), S_OK);
        EXPECT_EQ(iid, map[i]);
    }
    EXPECT_EQ(points->Reset(), S_OK);
    EXPECT_EQ(points->Skip(4), S_OK);
    ComPtr<IEnumConnectionPoints> clone;
    ASSERT_EQ(points->Clone(clone.ReleaseAndGetAddressOf()), S_OK);
    IConnectionPoint* last = nullptr;
    EXPECT_EQ(clone->Next(1, &last, nullptr), S_OK);
    EXPECT_EQ(last, fetched[4]);
    last->Release();
    EXPECT_EQ(clone->Next(1, &last, nullptr), S_FALSE);

    // Every handed-out point and each enumerator keeps the object alive.
    points.Reset();
    clone.Reset();
    for (size_t i = 0; i < map.size(); ++i) {
        EXPECT_FALSE(*destroyed);
        fetched[i]->Release();
    }
    EXPECT_TRUE(*destroyed);
}

}  // namespace
