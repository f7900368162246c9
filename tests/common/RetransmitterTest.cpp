#include "common/Retransmitter.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "tests/support/ManualClockTest.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using Packet = Retransmitter::Packet;

// Packets carry their name as data; every send and expiry goes to a log of
// "S:name@ms" / "E:name@ms" entries, with times since the test's start.
class RetransmitterTest : public oskan::test::ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        Configure(4, 5);
    }
    void TearDown() override {
        m_rt.reset();
        ManualClockTest::TearDown();
    }

    // The default configuration, with the test's functions.
    void Configure(uint32_t window, int32_t limit) {
        RetransmitterConfig config;
        config.m_nWindow = window;
        config.m_nTransmissionLimit = limit;
        config.m_pfnSend = &Send;
        config.m_pfnExpire = &Expire;
        m_rt->Configure(config);
    }
    void Add(const std::string& name) {
        m_packets[name] = m_rt->AddPacket(name.data(), static_cast<int>(name.size()), this);
    }
    void Remove(const std::string& name) {
        Packet* packet = m_packets.at(name);
        m_packets.erase(name);
        m_rt->RemovePacket(packet);
    }
    void RemoveAll() {
        m_packets.clear();
        m_rt->RemoveAll();
    }
    std::string TakeLog() { return std::exchange(m_log, std::string()); }
    bool TimerRuns() const { return m_rt->IsTimerArmed() && Loop().HasTimers(); }
    bool TimerStopped() const { return !m_rt->IsTimerArmed() && !Loop().HasTimers(); }

    static int Send(Packet* packet, void* user, const void* data, int length) {
        static_cast<RetransmitterTest*>(user)->Record('S', packet, data, length);
        return length;
    }
    static void Expire(Packet* packet, void* user, const void* data, int length) {
        static_cast<RetransmitterTest*>(user)->Record('E', packet, data, length);
    }
    void Record(char kind, Packet* packet, const void* data, int length) {
        std::string name(static_cast<const char*>(data), static_cast<size_t>(length));
        if (!m_log.empty())
            m_log += ' ';
        m_log += std::string(1, kind) + ":" + name + "@" + std::to_string(Elapsed());
        if (m_hook)
            m_hook(kind, name, packet);
    }

    std::unique_ptr<Retransmitter> m_rt = std::make_unique<Retransmitter>();
    std::map<std::string, Packet*> m_packets;
    std::string m_log;
    // Runs inside the send and expiry functions, after the call is logged.
    std::function<void(char kind, const std::string& name, Packet* packet)> m_hook;
};

TEST_F(RetransmitterTest, WindowOfFourSendsTheFifthPacketWhenAnInFlightOneIsRemoved) {
    for (const char* name : {"p0", "p1", "p2", "p3", "p4", "p5"})
        Add(name);
    EXPECT_EQ(TakeLog(), "S:p0@0 S:p1@0 S:p2@0 S:p3@0");
    EXPECT_EQ(m_rt->InFlightCount(), 4u);
    EXPECT_EQ(m_rt->WaitingCount(), 2u);

    Advance(100);
    Remove("p5");  // waiting: nothing is sent
    EXPECT_EQ(TakeLog(), "");
    Remove("p1");
    EXPECT_EQ(TakeLog(), "S:p4@100");
    EXPECT_EQ(m_rt->InFlightCount(), 4u);
    EXPECT_EQ(m_rt->WaitingCount(), 0u);
}

TEST_F(RetransmitterTest, DefaultScheduleSendsFiveTimesExpiresAndStartsANewCycle) {
    // Ticks every 200 ms from the first AddPacket; a packet is due 500 ms after
    // its last transmission, so at the first tick at least 500 ms later.
    Add("a");
    AdvanceTo(6400);
    EXPECT_EQ(TakeLog(),
              "S:a@0 S:a@600 S:a@1200 S:a@1800 S:a@2400 E:a@3000 "
              "S:a@3200 S:a@3800 S:a@4400 S:a@5000 S:a@5600 E:a@6200 S:a@6400");
    Remove("a");
    EXPECT_TRUE(TimerStopped());
}

// The clock moves on while a tick's walk runs (a send that takes time); a
// packet promoted into the window and sent during that walk must not be sent
// again by the same walk, however its time compares with the walk's.
TEST_F(RetransmitterTest, APacketSentDuringATickIsNotDueAgainInIt) {
    Configure(2, 5);
    for (const char* name : {"a", "b", "c"})
        Add(name);
    m_hook = [&](char kind, const std::string& name, Packet*) {
        if (kind != 'S' || name != "a" || Elapsed() < 600)
            return;
        Advance(1);
        Remove("a");  // promotes and sends c, behind b, after the tick began
    };
    AdvanceTo(700);
    EXPECT_EQ(TakeLog(), "S:a@0 S:b@0 S:a@600 S:c@601 S:b@601");
    AdvanceTo(1300);
    EXPECT_EQ(TakeLog(), "S:b@1201 S:c@1201");  // the timer restarted when c was sent
    Remove("b");
    Remove("c");
}

TEST_F(RetransmitterTest, LimitZeroNeverExpires) {
    const PacketConfig forever{0, 500, &Send, &Expire};  // the packet's own, over the defaults
    m_rt->AddPacket("a", 1, this, &forever);
    AdvanceTo(5000);
    EXPECT_EQ(TakeLog(), "S:a@0 S:a@600 S:a@1200 S:a@1800 S:a@2400 S:a@3000 S:a@3600 S:a@4200 S:a@4800");
}

TEST_F(RetransmitterTest, SpacingHoldsAcrossTheWrapOfTheTickCount) {
    StartClockAt(0xFFFFFF00u);
    Configure(4, 0);
    Add("a");
    AdvanceTo(1900);
    EXPECT_LT(winport::GetTickCount(), 0x1000u);  // wrapped
    EXPECT_EQ(TakeLog(), "S:a@0 S:a@600 S:a@1200 S:a@1800");
}

TEST_F(RetransmitterTest, UnlockResendsEveryPacketInFlightWithAFreshCount) {
    for (const char* name : {"a", "b", "c"})
        Add(name);
    AdvanceTo(700);
    EXPECT_EQ(m_packets["a"]->m_nTransmissions, 2);
    TakeLog();

    m_rt->LockTransmission(TRUE);
    EXPECT_TRUE(TimerStopped());
    Add("d");  // enters the window unsent
    EXPECT_EQ(m_packets["d"]->m_nTransmissions, 0);
    AdvanceTo(2700);
    m_rt->LockTransmission(TRUE);
    m_rt->LockTransmission(FALSE);  // still locked once
    EXPECT_EQ(TakeLog(), "");
    EXPECT_TRUE(TimerStopped());

    m_rt->LockTransmission(FALSE);
    EXPECT_EQ(TakeLog(), "S:a@2700 S:b@2700 S:c@2700 S:d@2700");
    for (const char* name : {"a", "b", "c", "d"})
        EXPECT_EQ(m_packets[name]->m_nTransmissions, 1) << name;
    EXPECT_TRUE(TimerRuns());
    AdvanceTo(3300);
    EXPECT_EQ(TakeLog(), "S:a@3300 S:b@3300 S:c@3300 S:d@3300");
}

TEST_F(RetransmitterTest, PacketsPromotedWhileLockedAreSentOnUnlock) {
    Configure(1, 5);
    Add("a");
    Add("b");
    m_rt->LockTransmission(TRUE);
    Remove("a");
    EXPECT_EQ(m_rt->InFlightCount(), 1u);
    m_rt->LockTransmission(FALSE);
    EXPECT_EQ(TakeLog(), "S:a@0 S:b@0");
}

TEST_F(RetransmitterTest, UnbalancedUnlockIsIgnored) {
    m_rt->LockTransmission(FALSE);
    EXPECT_EQ(m_rt->LockCount(), 0);
    Add("a");
    m_rt->LockTransmission(TRUE);  // a real lock still locks
    AdvanceTo(1000);
    EXPECT_EQ(TakeLog(), "S:a@0");
    m_rt->LockTransmission(FALSE);
    EXPECT_EQ(TakeLog(), "S:a@1000");
}

TEST_F(RetransmitterTest, RemoveAllStopsTheTimerAndAddPacketStartsItAgain) {
    for (const char* name : {"a", "b", "c", "d", "e"})
        Add(name);
    RemoveAll();
    EXPECT_EQ(m_rt->InFlightCount(), 0u);
    EXPECT_EQ(m_rt->WaitingCount(), 0u);
    EXPECT_TRUE(TimerStopped());
    AdvanceTo(1000);
    TakeLog();
    Add("f");
    EXPECT_TRUE(TimerRuns());
    AdvanceTo(1600);
    EXPECT_EQ(TakeLog(), "S:f@1000 S:f@1600");
}

TEST_F(RetransmitterTest, SendMayRemoveItsOwnPacketWhileItIsAdded) {
    m_hook = [&](char, const std::string&, Packet* packet) { m_rt->RemovePacket(packet); };
    m_rt->AddPacket("a", 1, this);
    EXPECT_EQ(TakeLog(), "S:a@0");
    EXPECT_EQ(m_rt->InFlightCount(), 0u);
    EXPECT_TRUE(TimerStopped());
}

TEST_F(RetransmitterTest, SendOfAPromotedPacketMayRemoveAll) {
    Configure(1, 5);
    for (const char* name : {"a", "b", "c"})
        Add(name);
    m_hook = [&](char, const std::string& name, Packet*) {
        if (name == "b")
            RemoveAll();
    };
    Remove("a");
    EXPECT_EQ(TakeLog(), "S:a@0 S:b@0");
    EXPECT_EQ(m_rt->WaitingCount(), 0u);
    EXPECT_TRUE(TimerStopped());
}

// Callbacks that remove packets while the engine walks its in-flight list: on
// a tick (resending or expiring) and on unlock. Packets a, b, c, d are in
// flight; b's callback removes something.
enum class WalkKind { TickSend, TickExpire, Unlock };
enum class Removal { Self, Earlier, Next, All };

struct WalkCase {
    WalkKind walk;
    Removal removal;
    const char* visited;    // packets whose callback ran in the walk
    const char* remaining;  // packets in flight afterwards
};

class RetransmitterWalkTest : public RetransmitterTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(RetransmitterWalkTest, CallbackMayRemovePackets) {
    const WalkCase& c = GetParam();
    Configure(4, c.walk == WalkKind::TickExpire ? 1 : 0);
    for (const char* name : {"a", "b", "c", "d"})
        Add(name);
    TakeLog();

    std::string visited;
    m_hook = [&](char, const std::string& name, Packet*) {
        visited += name;
        if (name != "b")
            return;
        switch (c.removal) {
            case Removal::Self:
                Remove("b");
                break;
            case Removal::Earlier:
                Remove("a");
                break;
            case Removal::Next:
                Remove("c");
                break;
            case Removal::All:
                RemoveAll();
                break;
        }
    };
    if (c.walk == WalkKind::Unlock) {
        m_rt->LockTransmission(TRUE);
        m_rt->LockTransmission(FALSE);
    } else {
        AdvanceTo(600);
    }
    EXPECT_EQ(visited, c.visited);
    EXPECT_EQ(m_rt->InFlightCount(), std::string(c.remaining).size());
    EXPECT_EQ(TimerRuns(), m_rt->InFlightCount() > 0);
    EXPECT_EQ(TimerStopped(), m_rt->InFlightCount() == 0);

    // Which packets remain in flight: an unlock sends each of them once.
    std::string resent;
    m_hook = [&](char, const std::string& name, Packet*) { resent += name; };
    m_rt->LockTransmission(TRUE);
    m_rt->LockTransmission(FALSE);
    EXPECT_EQ(resent, c.remaining);

    if (c.removal == Removal::All) {
        Add("e");
        EXPECT_TRUE(TimerRuns());
    }
}

std::string WalkCaseName(const ::testing::TestParamInfo<WalkCase>& info) {
    static const char* walks[] = {"TickSend", "TickExpire", "Unlock"};
    static const char* removals[] = {"Self", "Earlier", "Next", "All"};
    return std::string(walks[static_cast<int>(info.param.walk)]) + "Removes" +
           removals[static_cast<int>(info.param.removal)];
}

INSTANTIATE_TEST_SUITE_P(Walks, RetransmitterWalkTest,
                         ::testing::Values(WalkCase{WalkKind::TickSend, Removal::Self, "abcd", "acd"},
                                           WalkCase{WalkKind::TickSend, Removal::Earlier, "abcd", "bcd"},
                                           WalkCase{WalkKind::TickSend, Removal::Next, "abd", "abd"},
                                           WalkCase{WalkKind::TickSend, Removal::All, "ab", ""},
                                           WalkCase{WalkKind::TickExpire, Removal::Self, "abcd", "acd"},
                                           WalkCase{WalkKind::TickExpire, Removal::Earlier, "abcd", "bcd"},
                                           WalkCase{WalkKind::TickExpire, Removal::Next, "abd", "abd"},
                                           WalkCase{WalkKind::TickExpire, Removal::All, "ab", ""},
                                           WalkCase{WalkKind::Unlock, Removal::Self, "abcd", "acd"},
                                           WalkCase{WalkKind::Unlock, Removal::Earlier, "abcd", "bcd"},
                                           WalkCase{WalkKind::Unlock, Removal::Next, "abd", "abd"},
                                           WalkCase{WalkKind::Unlock, Removal::All, "ab", ""}),
                         WalkCaseName);

// The engine destroyed from inside each place that calls a send or expiry
// function.
enum class DestroyIn { AddPacket, Promotion, TickSend, TickExpire, Unlock };

class RetransmitterDestroyTest : public RetransmitterTest, public ::testing::WithParamInterface<DestroyIn> {};

TEST_P(RetransmitterDestroyTest, EngineMayBeDestroyedInsideACallback) {
    const DestroyIn where = GetParam();
    Configure(where == DestroyIn::Promotion ? 1 : 4, where == DestroyIn::TickExpire ? 1 : 0);
    Add("a");
    if (where != DestroyIn::AddPacket)
        Add("b");
    const char kind = where == DestroyIn::TickExpire ? 'E' : 'S';
    const std::string victim = where == DestroyIn::AddPacket || where == DestroyIn::Promotion ? "b" : "a";
    m_hook = [&](char k, const std::string& name, Packet*) {
        if (k == kind && name == victim)
            m_rt.reset();
    };
    switch (where) {
        case DestroyIn::AddPacket:
            m_rt->AddPacket("b", 1, this);
            break;
        case DestroyIn::Promotion:
            Remove("a");
            break;
        case DestroyIn::TickSend:
        case DestroyIn::TickExpire:
            AdvanceTo(600);
            break;
        case DestroyIn::Unlock:
            m_rt->LockTransmission(TRUE);
            m_rt->LockTransmission(FALSE);
            break;
    }
    EXPECT_EQ(m_rt, nullptr);
    EXPECT_FALSE(Loop().HasTimers());
    std::string log = TakeLog();
    AdvanceTo(3000);
    EXPECT_EQ(TakeLog(), "") << "after: " << log;
}

std::string DestroyInName(const ::testing::TestParamInfo<DestroyIn>& info) {
    static const char* names[] = {"AddPacket", "Promotion", "TickSend", "TickExpire", "Unlock"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Callbacks, RetransmitterDestroyTest,
                         ::testing::Values(DestroyIn::AddPacket, DestroyIn::Promotion, DestroyIn::TickSend,
                                           DestroyIn::TickExpire, DestroyIn::Unlock),
                         DestroyInName);

}  // namespace
