// Sinks that change the connections, or the source's life, from inside an
// event: the firing goes on correctly and touches nothing that is gone.
#include <gtest/gtest.h>

#include "Mirel/MirelEvents.h"
#include "common/objects/SkEventFiring.h"
#include "tests/support/TestSinks.h"

namespace {

using oskan::test::CallOrder;
using oskan::test::TestDebuggeeSink;
using oskan::test::TestEventSource;
using oskan::test::TestSink;

class SkReentrancy : public ::testing::Test {
protected:
    void SetUp() override {
        source = TestEventSource::Create({DIID__ISkLoaderEvents, IID__ISkDebuggeeEvents});
    }

    SkConnectionPoint& Point() { return source->Point(0); }

    ComPtr<TestSink> Make(const std::string& name) {
        return TestSink::Create(DIID__ISkLoaderEvents, name, &order);
    }

    ComPtr<TestSink> Connect(const std::string& name) {
        auto sink = Make(name);
        EXPECT_EQ(Point().Advise(sink.Get(), &sink->cookie), S_OK);
        return sink;
    }

    void Fire() {
        SkFireDispatchEvent(Point(), DISPID_OnLoadComplete, {0, "Operation completed successfully"});
    }

    CallOrder order;
    ComPtr<TestEventSource> source;
};

TEST_F(SkReentrancy, SinkUnadvisesItself) {
    auto a = Connect("A");
    auto b = Connect("B");
    a->onInvoke = [this](TestSink& self, DISPPARAMS* params) {
        EXPECT_EQ(Point().Unadvise(self.cookie), S_OK);
        // The strings stay valid for the whole call.
        EXPECT_EQ(winport::BstrToU16(params->rgvarg[0].bstrVal), u"Operation completed successfully");
    };
    Fire();
    Fire();
    EXPECT_EQ(order, (CallOrder{"A", "B", "B"}));
    EXPECT_EQ(a->RefCount(), 1u);
}

TEST_F(SkReentrancy, SinkHeldOnlyByItsConnectionUnadvisesItself) {
    auto a = Connect("A");
    auto b = Connect("B");
    bool aliveDuringCall = false;
    auto gone = a->destroyed;
    a->onInvoke = [&](TestSink& self, DISPPARAMS*) {
        EXPECT_EQ(Point().Unadvise(self.cookie), S_OK);
        aliveDuringCall = !*gone;
        self.calls.clear();  // the object is still usable
    };
    a.Reset();  // only the connection holds A now
    EXPECT_FALSE(*gone);
    Fire();
    EXPECT_TRUE(aliveDuringCall);
    EXPECT_TRUE(*gone);
    EXPECT_EQ(order, (CallOrder{"A", "B"}));
}

TEST_F(SkReentrancy, SinkUnadvisesALaterSink) {
    auto a = Connect("A");
    auto b = Connect("B");
    auto c = Connect("C");
    a->onInvoke = [&](TestSink&, DISPPARAMS*) { EXPECT_EQ(Point().Unadvise(b->cookie), S_OK); };
    Fire();
    EXPECT_EQ(order, (CallOrder{"A", "C"}));
    EXPECT_EQ(b->RefCount(), 1u);
}

TEST_F(SkReentrancy, SinkUnadvisesALaterSinkHeldOnlyByItsConnection) {
    auto a = Connect("A");
    auto b = Connect("B");
    auto c = Connect("C");
    const DWORD cookieB = b->cookie;
    auto bGone = b->destroyed;
    b.Reset();
    a->onInvoke = [&](TestSink&, DISPPARAMS*) { EXPECT_EQ(Point().Unadvise(cookieB), S_OK); };
    Fire();
    EXPECT_TRUE(*bGone);
    EXPECT_EQ(order, (CallOrder{"A", "C"}));
}

TEST_F(SkReentrancy, SinkUnadvisesAnEarlierSink) {
    auto a = Connect("A");
    auto b = Connect("B");
    auto c = Connect("C");
    b->onInvoke = [&](TestSink&, DISPPARAMS*) { EXPECT_EQ(Point().Unadvise(a->cookie), S_OK); };
    Fire();
    b->onInvoke = nullptr;
    Fire();
    EXPECT_EQ(order, (CallOrder{"A", "B", "C", "B", "C"}));
}

TEST_F(SkReentrancy, SinkAdvisedIntoALaterSlotBelowTheCountIsCalled) {
    auto a = Connect("A");
    auto b = Connect("B");  // a table of 4: slots 2 and 3 are free
    auto c = Make("C");
    a->onInvoke = [&](TestSink&, DISPPARAMS*) { EXPECT_EQ(Point().Advise(c.Get(), &c->cookie), S_OK); };
    Fire();
    EXPECT_EQ(Point().SinkAt(2), static_cast<IUnknown*>(c.Get()));
    EXPECT_EQ(order, (CallOrder{"A", "B", "C"}));
}

TEST_F(SkReentrancy, SinkAdvisedIntoASlotAlreadyPassedWaitsForTheNextEvent) {
    auto a = Connect("A");
    auto b = Connect("B");
    auto c = Make("C");
    EXPECT_EQ(Point().Unadvise(a->cookie), S_OK);
    b->onInvoke = [&](TestSink& self, DISPPARAMS*) {
        EXPECT_EQ(Point().Advise(c.Get(), &c->cookie), S_OK);
        self.onInvoke = nullptr;
    };
    Fire();
    EXPECT_EQ(Point().SinkAt(0), static_cast<IUnknown*>(c.Get()));
    Fire();
    EXPECT_EQ(order, (CallOrder{"B", "C", "B"}));
}

TEST_F(SkReentrancy, SinkAdvisedWhileOneSinkIsHeldDirectlyWaits) {
    auto a = Connect("A");
    ASSERT_EQ(Point().SlotCount(), 1u);
    auto b = Make("B");
    a->onInvoke = [&](TestSink& self, DISPPARAMS*) {
        EXPECT_EQ(Point().Advise(b.Get(), &b->cookie), S_OK);
        self.onInvoke = nullptr;
    };
    Fire();
    EXPECT_EQ(Point().SlotCount(), 4u);  // slot 1 lies past the count of 1 read at the start
    EXPECT_EQ(order, (CallOrder{"A"}));
    Fire();
    EXPECT_EQ(order, (CallOrder{"A", "A", "B"}));
}

TEST_F(SkReentrancy, SinkAdvisedIntoAGrownTableWaits) {
    std::vector<ComPtr<TestSink>> sinks;
    for (int i = 0; i < 4; ++i) {
        sinks.push_back(Connect("S" + std::to_string(i)));
    }
    auto late = Make("late");
    std::vector<ComPtr<TestSink>> more;
    // The first sink grows the table twice over; the walk keeps to the 4
    // slots it started with, though the table has moved.
    sinks[0]->onInvoke = [&](TestSink& self, DISPPARAMS*) {
        EXPECT_EQ(Point().Advise(late.Get(), &late->cookie), S_OK);
        for (int i = 0; i < 6; ++i) {
            more.push_back(Make("M" + std::to_string(i)));
            EXPECT_EQ(Point().Advise(more.back().Get(), &more.back()->cookie), S_OK);
        }
        self.onInvoke = nullptr;
    };
    Fire();
    EXPECT_EQ(Point().SlotCount(), 16u);
    EXPECT_EQ(order, (CallOrder{"S0", "S1", "S2", "S3"}));
}

TEST_F(SkReentrancy, SinkFiresAnotherEventFromInsideAnEvent) {
    auto a = Connect("A");
    auto b = Connect("B");
    int depth = 0;
    a->onInvoke = [&](TestSink&, DISPPARAMS*) {
        if (depth++ == 0) {
            SkFireDispatchEvent(Point(), DISPID_OnLoadProgress, {50});
        }
    };
    Fire();
    EXPECT_EQ(order, (CallOrder{"A", "A", "B", "B"}));
    EXPECT_EQ(b->calls[0].dispid, DISPID_OnLoadProgress);
    EXPECT_EQ(b->calls[1].dispid, DISPID_OnLoadComplete);
    EXPECT_EQ(b->calls[1].args[0].text, u"Operation completed successfully");
}

TEST_F(SkReentrancy, SinkReleasesTheLastReferenceToTheSource) {
    auto a = Connect("A");
    auto b = Connect("B");
    auto gone = source->destroyed;
    bool aliveForB = false;
    // The test's reference goes to A, which lets go of it in the event.
    ComPtr<TestEventSource> held = std::move(source);
    a->onInvoke = [&](TestSink&, DISPPARAMS*) { held.Reset(); };
    b->onInvoke = [&](TestSink&, DISPPARAMS*) { aliveForB = !*gone; };
    SkConnectionPoint& point = held->Point(0);
    SkFireDispatchEvent(point, DISPID_OnLoadComplete, {0, "Operation completed successfully"});
    EXPECT_TRUE(aliveForB);
    EXPECT_TRUE(*gone);  // destroyed when the firing let go
    EXPECT_EQ(order, (CallOrder{"A", "B"}));
    EXPECT_EQ(a->RefCount(), 1u);
    EXPECT_EQ(b->RefCount(), 1u);
}

TEST_F(SkReentrancy, SinkReleasesTheSourceAndItselfDuringACustomEvent) {
    auto a = TestDebuggeeSink::Create("A", &order);
    auto b = TestDebuggeeSink::Create("B", &order);
    DWORD cookieA = 0;
    DWORD cookieB = 0;
    SkConnectionPoint& point = source->Point(1);
    ASSERT_EQ(point.Advise(a.Get(), &cookieA), S_OK);
    ASSERT_EQ(point.Advise(b.Get(), &cookieB), S_OK);
    auto sourceGone = source->destroyed;
    auto aGone = a->destroyed;
    ComPtr<TestEventSource> held = std::move(source);
    a->onCall = [&](TestDebuggeeSink&) {
        EXPECT_EQ(held->Point(1).Unadvise(cookieA), S_OK);
        held.Reset();
    };
    a.Reset();
    SkFireCustomEvent<_ISkDebuggeeEvents>(point,
                                          [](_ISkDebuggeeEvents* sink) { return sink->OnKeepAlive(); });
    EXPECT_TRUE(*sourceGone);
    EXPECT_TRUE(*aGone);
    EXPECT_EQ(order, (CallOrder{"A", "B"}));
    EXPECT_EQ(b->RefCount(), 1u);
}

TEST_F(SkReentrancy, EventsFiredFromTheDestructionPathReachConnectedSinks) {
    auto a = Connect("A");
    auto b = Connect("B");
    auto gone = source->destroyed;
    int firedDuringDestruction = 0;
    source->onDestroy = [&](TestEventSource& self) {
        SkFireDispatchEvent(self.Point(0), DISPID_OnLoadComplete, {1223, "Operation cancelled"});
        ++firedDuringDestruction;
    };
    // A sink that takes and gives back a reference to the dying source.
    TestEventSource* dying = source.Get();
    a->onInvoke = [&](TestSink&, DISPPARAMS*) {
        IConnectionPointContainer* container = nullptr;
        EXPECT_EQ(dying->Point(0).GetConnectionPointContainer(&container), S_OK);
        container->Release();
    };
    source.Reset();
    EXPECT_EQ(firedDuringDestruction, 1);
    EXPECT_TRUE(*gone);
    EXPECT_EQ(order, (CallOrder{"A", "B"}));
    ASSERT_EQ(b->calls.size(), 1u);
    EXPECT_EQ(b->calls[0].args[1].lVal, 1223);
    EXPECT_EQ(a->RefCount(), 1u);
    EXPECT_EQ(b->RefCount(), 1u);
}

}  // namespace
