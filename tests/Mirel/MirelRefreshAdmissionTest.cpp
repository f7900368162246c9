// How the discovery list is kept bounded against echo replies for made-up
// MACs: a sender gets only a few new devices listed until one of them answers
// a query, while real devices, each on its own address, and devices already
// listed are never turned away. On the manual clock, in the test's namespace.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelUdpRefresh.h"
#include "tests/support/Advise.h"
#include "tests/support/SimulatorTest.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using winport::DispatchSink;
using winport::ServiceLoop;
constexpr int kLimit = CMirelUdpRefresh::kMaxUnconfirmedPerSender;

// Answers from a loopback address of its own; learns where the host listens,
// and its queries, from the simulator's view of the broadcasts.
class Forger {
public:
    explicit Forger(uint32_t address) {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(address);
        EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }
    ~Forger() { close(m_fd); }
    void Send(const sockaddr_in& host, const std::string& text) {
        sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&host), sizeof host);
        ServiceLoop::Current().Dispatch();
    }
    // Echo replies for made-up MACs 2.0.0.9.<tag>.0 .. <count - 1>.
    void EchoReplies(const sockaddr_in& host, int tag, int count) {
        for (int i = 0; i < count; ++i)
            Send(host, "[2.0.0.9." + std::to_string(tag) + "." + std::to_string(i) + "]");
    }

private:
    int m_fd = -1;
};

class MirelRefreshAdmissionTest : public oskan::test::SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        StartClockAt(3'000'000);
        sim.SetDatagramHook([this](std::string_view datagram, const sockaddr_in& sender) {
            host = sender;
            if (datagram.find('|') != std::string_view::npos)
                queries.emplace_back(datagram);
        });
        ASSERT_EQ(CMirelUdpRefresh::CreateInstance(IID_ISkRefresh, refresh.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        sink = DispatchSink::Create(DIID__ISkRefreshEvents, [this](DISPID id, const DISPPARAMS&) {
            completions += id == DISPID_OnRefreshComplete;
        });
        ASSERT_EQ(oskan::test::Advise(refresh.Get(), DIID__ISkRefreshEvents, sink.Get()), S_OK);
    }
    void TearDown() override {
        refresh.Reset();
        SimulatorTest::TearDown();
    }

    CMirelUdpRefresh* Engine() { return static_cast<CMirelUdpRefresh*>(refresh.Get()); }
    void Start() {
        ASSERT_EQ(refresh->Refresh(), S_OK);
        ServiceLoop::Current().Dispatch();
        ASSERT_NE(host.sin_port, 0);
    }
    bool Finish() {
        const int before = completions;
        return ServiceLoop::Current().RunUntil([&] { return completions > before; }, 60000);
    }
    std::set<std::string> ListedMacs() {
        std::set<std::string> macs;
        Engine()->ForEachDevice([&](MirelUdpDeviceInfo& device) {
            const uint8_t* m = device.Mac();
            macs.insert(std::to_string(m[3]) + "." + std::to_string(m[4]) + "." + std::to_string(m[5]));
        });
        return macs;
    }
    // The id suffix of the first query sent for a MAC text.
    std::string QueryId(const std::string& mac, const char* kind) {
        for (const std::string& q : queries)
            if (q.find("[" + mac + "]" + kind + "|") != std::string::npos)
                return q.substr(q.rfind('|'));
        return {};
    }

    sockaddr_in host{};
    std::vector<std::string> queries;
    ComPtr<ISkRefresh> refresh;
    ComPtr<DispatchSink> sink;
    int completions = 0;
};

TEST_F(MirelRefreshAdmissionTest, OneSenderGetsOnlyAFewUnansweredDevicesListed) {
    Forger forger(0x7F000101);  // 127.0.1.1
    Start();
    forger.EchoReplies(host, 1, 50);
    EXPECT_EQ(Engine()->DeviceCount(), size_t(kLimit));
    // A second sender has its own allowance.
    Forger other(0x7F000102);
    other.EchoReplies(host, 2, 50);
    EXPECT_EQ(Engine()->DeviceCount(), size_t(2 * kLimit));
    ASSERT_TRUE(Finish());
    // The scan ends although the made-up devices never answer their queries.
    EXPECT_FALSE(Engine()->IsBusy());
}

TEST_F(MirelRefreshAdmissionTest, AnAnsweredQueryMakesRoomForTheSendersNextDevice) {
    Forger forger(0x7F000101);
    Start();
    forger.EchoReplies(host, 1, kLimit + 1);
    ASSERT_EQ(Engine()->DeviceCount(), size_t(kLimit));
    ServiceLoop::Current().Dispatch();
    const std::string id = QueryId("2.0.0.9.1.0", "X");
    ASSERT_FALSE(id.empty());
    forger.Send(host, "[2.0.0.9.1.0]A4.2/b1/Real" + id);
    forger.Send(host, "[2.0.0.9.1." + std::to_string(kLimit) + "]");
    EXPECT_EQ(Engine()->DeviceCount(), size_t(kLimit + 1));
    // A reply with a made-up id confirms nothing.
    forger.Send(host, "[2.0.0.9.1.1]A4.2/b1/Real|00000001");
    forger.Send(host, "[2.0.0.9.1.99]");
    EXPECT_EQ(Engine()->DeviceCount(), size_t(kLimit + 1));
}

TEST_F(MirelRefreshAdmissionTest, RealDevicesAreAllFoundWhileASenderFloods) {
    for (uint64_t i = 0; i < 30; ++i)
        sim.AddDevice(oskan::sim::MacFromNumber(0x020000030000ull + i));
    Forger forger(0x7F000101);
    Start();
    // The forged replies arrive first, in a burst, before any real one.
    forger.EchoReplies(host, 1, 500);
    ASSERT_TRUE(Finish());
    const auto listed = ListedMacs();
    for (int i = 0; i < 30; ++i)
        EXPECT_TRUE(listed.count("3.0." + std::to_string(i))) << i;
    EXPECT_EQ(listed.size(), size_t(30 + kLimit));
}

// Made-up MACs from many addresses, in a burst before the real devices
// answer: the scan ends about when a normal one does, with a bounded number of
// queries for the made-up devices, and every real device is found whole.
TEST_F(MirelRefreshAdmissionTest, ForgedSendersCostTheScanBoundedTimeAndQueries) {
    constexpr int kForgers = 200;
    const uint64_t start = ServiceLoop::Current().NowMs();
    Start();
    for (int f = 0; f < kForgers; ++f) {
        Forger forger(0x7F020000u + static_cast<uint32_t>(f));  // 127.2.0.f
        forger.EchoReplies(host, f % 250, kLimit);
    }
    // The real devices answer from the echo's second copy on.
    for (uint64_t i = 0; i < 30; ++i) {
        auto* device = sim.AddDevice(oskan::sim::MacFromNumber(0x020000030000ull + i));
        device->SetVersion("4." + std::to_string(i));
    }
    ASSERT_TRUE(Finish());
    EXPECT_LE(ServiceLoop::Current().NowMs() - start, 5100u);
    size_t forgedQueries = 0;
    for (const std::string& q : queries)
        forgedQueries += q.rfind("_[2.0.0.9.", 0) == 0;
    // The three that held the window beside the echo and the one that took the
    // echo's place, five times each; the rest were never sent.
    EXPECT_LE(forgedQueries, 20u);
    std::map<std::string, std::string> versions;
    Engine()->ForEachDevice([&](MirelUdpDeviceInfo& device) {
        winport::Bstr text;
        device.get_Version(&text);
        const uint8_t* m = device.Mac();
        versions[std::to_string(m[3]) + "." + std::to_string(m[4]) + "." + std::to_string(m[5])] =
            winport::BstrToAnsi(text.get());
    });
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(versions["3.0." + std::to_string(i)], "4." + std::to_string(i)) << i;
}

// Once the scan holds its most unconfirmed new devices, a real device still
// gets in: it takes the place of a made-up one that answered the echo once.
TEST_F(MirelRefreshAdmissionTest, ARealDeviceIsNotTurnedAwayWhenTheScanIsFull) {
    constexpr size_t kFull = CMirelUdpRefresh::kMaxUnconfirmed;
    int removals = 0;
    sink = DispatchSink::Create(DIID__ISkRefreshEvents, [&](DISPID id, const DISPPARAMS&) {
        completions += id == DISPID_OnRefreshComplete;
        removals += id == DISPID_OnDeviceRemove;
    });
    ASSERT_EQ(oskan::test::Advise(refresh.Get(), DIID__ISkRefreshEvents, sink.Get()), S_OK);
    Start();
    for (uint32_t f = 0; f < kFull / kLimit; ++f) {
        Forger forger(0x7F100000u + f);  // 127.16.x.y
        const std::string prefix = "[2.1." + std::to_string(f >> 8) + "." + std::to_string(f & 255) + ".0.";
        for (int i = 0; i < kLimit; ++i)
            forger.Send(host, prefix + std::to_string(i) + "]");
    }
    ASSERT_EQ(Engine()->DeviceCount(), kFull);
    EXPECT_EQ(removals, 0);
    // The real device answers from the echo's second copy on.
    sim.AddDevice(oskan::sim::MacFromNumber(0x020000030007ull))->SetVersion("4.7");
    ASSERT_TRUE(Finish());
    EXPECT_TRUE(ListedMacs().count("3.0.7"));
    EXPECT_EQ(removals, 1);
    EXPECT_EQ(Engine()->DeviceCount(), kFull);
    const std::string id = QueryId("2.0.0.3.0.7", "X");
    EXPECT_FALSE(id.empty());
}

// Made-up devices that answer every copy of the echo keep their queries, and
// each of those holds the window for seconds: the scan still ends at its limit.
TEST_F(MirelRefreshAdmissionTest, AScanEndsAtItsTimeLimitWhateverKeepsItBusy) {
    std::vector<std::unique_ptr<Forger>> forgers;
    for (uint32_t f = 0; f < 40; ++f)
        forgers.push_back(std::make_unique<Forger>(0x7F030000u + f));
    const uint64_t start = ServiceLoop::Current().NowMs();
    Start();
    for (int copy = 0; copy < 5; ++copy) {
        for (size_t f = 0; f < forgers.size(); ++f)
            forgers[f]->EchoReplies(host, static_cast<int>(f), kLimit);
        ServiceLoop::Current().AdvanceClock(500);
    }
    const size_t before = queries.size();
    ASSERT_TRUE(Finish());
    const uint64_t elapsed = ServiceLoop::Current().NowMs() - start;
    EXPECT_GE(elapsed, 20000u);
    EXPECT_LE(elapsed, 20050u);
    EXPECT_EQ(Engine()->DeviceCount(), 160u);
    // Four places, a copy every 500 ms at most.
    EXPECT_LE(queries.size() - before, 4u * 40);
    ServiceLoop::Current().AdvanceClock(5000);
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(ServiceLoop::Current().HasTimers());
}

TEST_F(MirelRefreshAdmissionTest, DevicesListedBeforeAreNeverTurnedAway) {
    Forger forger(0x7F000101);
    Start();
    forger.EchoReplies(host, 1, kLimit);
    ASSERT_TRUE(Finish());
    ASSERT_EQ(Engine()->DeviceCount(), size_t(kLimit));
    // Next scan: the sender's allowance is taken by new MACs, yet the devices
    // it had listed still answer and stay.
    Start();
    forger.EchoReplies(host, 2, kLimit);
    forger.EchoReplies(host, 1, kLimit);
    ASSERT_TRUE(Finish());
    const auto listed = ListedMacs();
    for (int i = 0; i < kLimit; ++i) {
        EXPECT_TRUE(listed.count("9.1." + std::to_string(i))) << i;
        EXPECT_TRUE(listed.count("9.2." + std::to_string(i))) << i;
    }
}

}  // namespace
