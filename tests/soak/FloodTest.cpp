// Flood: junk and forged datagrams at a discovery object and a device object
// while they scan, run commands and upload: random bytes, replies for made-up
// MACs, replies with stale ids, oversized and empty datagrams. Nothing may
// crash, the discovery list stays bounded, and the real work completes. On
// the manual clock; 400,000 datagrams, and with OSKAN_SOAK_LONG=1 1,600,000.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>

#include "tests/soak/SoakHarness.h"
#include "tests/support/SimulatorTest.h"
#include "tests/support/TempFolder.h"

namespace oskan::soak {
namespace {

constexpr size_t kDevices = 20;
constexpr int kSenders = 3;
const sim::MacAddress kFirst = sim::MacFromNumber(0x020000010000ull);

// Forges datagrams from a few loopback addresses of its own.
class Flooder {
public:
    Flooder() : m_random(20261208) {
        for (int i = 0; i < kSenders; ++i) {
            m_fds[i] = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(0x7FFA0001u + static_cast<uint32_t>(i));  // 127.250.0.x
            EXPECT_EQ(bind(m_fds[i], reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        }
    }
    ~Flooder() {
        for (int fd : m_fds)
            close(fd);
    }

    void Send(uint16_t port, const std::string& realMac) {
        const std::string datagram = Make(realMac);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(m_fds[m_random() % kSenders], datagram.data(), datagram.size(), 0,
               reinterpret_cast<sockaddr*>(&to), sizeof to);
        ++sent;
    }

    uint64_t sent = 0;

private:
    std::string Bytes(size_t count) {
        std::string bytes(count, '\0');
        for (char& c : bytes)
            c = static_cast<char>(m_random());
        return bytes;
    }
    std::string Id() {
        char id[16];
        std::snprintf(id, sizeof id, "|%08x", static_cast<unsigned>(m_random()));
        return id;
    }
    std::string Make(const std::string& realMac) {
        static const char* const kBodies[] = {"",  "A4.2/b9/Fake", "A*R*/00", "AERB/1f", "A",
                                              "N", "J*R*/00 A:0"};
        const std::string body = kBodies[m_random() % 7];
        switch (m_random() % 6) {
            case 0:
                return Bytes(m_random() % 200);
            case 1: {  // made-up MAC: an echo reply or a query reply
                char mac[40];
                std::snprintf(mac, sizeof mac, "[%u.%u.%u.%u.%u.%u]", 2u, unsigned(m_random() % 256),
                              unsigned(m_random() % 256), unsigned(m_random() % 256),
                              unsigned(m_random() % 256), unsigned(m_random() % 256));
                return mac + body + (m_random() % 2 ? Id() : "");
            }
            case 2:  // a real device's MAC with a stale id
                return "[" + realMac + "]" + body + Id();
            case 3:
                return m_random() % 50 ? Bytes(2000 + m_random() % 7000) : Bytes(65000);
            case 4:
                return {};
            default:  // a real device's MAC with junk, binary block replies included
                return "[" + realMac + "]" + Bytes(m_random() % 8);
        }
    }

    int m_fds[kSenders] = {-1, -1, -1};
    std::mt19937_64 m_random;
};

class FloodTest : public test::SimulatorTest {};

TEST_F(FloodTest, RealWorkCompletesAndTheDiscoveryListStaysBounded) {
    StartClockAt(7'000'000);
    ServiceLoop& loop = Loop();
    AddDevices(sim, kDevices);
    uint16_t discoveryPort = 0;
    sim.SetDatagramHook([&](std::string_view datagram, const sockaddr_in& sender) {
        if (datagram == "_?")
            discoveryPort = ntohs(sender.sin_port);
    });

    RefreshHost refresh;
    DeviceHost device(MacText(kFirst).c_str());
    const uint16_t devicePort = device.Object()->Transport().LocalPort();
    const std::string firstMac = MacKey(kFirst);

    const oskan::test::TempFolder folder("oskan-flood");
    std::vector<uint8_t> image(128 * 40);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 13 + i / 128);
    const std::string path = folder.Write("fw.bin", image);

    const uint64_t total = 400'000ull * static_cast<uint64_t>(LongFactor(4));
    const long residentBefore = ResidentKiB();
    long residentPeak = residentBefore;
    size_t listedPeak = 0;
    int commandsSent = 0;
    size_t scansChecked = 0;
    Flooder flooder;
    const auto start = std::chrono::steady_clock::now();

    ASSERT_EQ(refresh.refresh->Refresh(), S_OK);
    ASSERT_EQ(device.Load(path, 0), S_OK);
    while (flooder.sent < total) {
        for (int i = 0; i < 64; ++i) {
            if (discoveryPort && refresh.Engine()->IsBusy())
                flooder.Send(discoveryPort, firstMac);
            flooder.Send(devicePort, firstMac);
        }
        // 128 datagrams every 10 ms of the clock; each turn takes one datagram
        // per socket, so the loop turns until the sockets are drained.
        while (loop.Dispatch() > 0) {
        }
        loop.AdvanceClock(10);
        listedPeak = std::max(listedPeak, refresh.Engine()->DeviceCount());

        // A finished scan must have found every device; then the next starts.
        if (refresh.completions.size() > scansChecked) {
            ++scansChecked;
            EXPECT_EQ(refresh.completions.back().error, 0);
            const auto listed = refresh.ListedVersions();
            for (size_t i = 0; i < kDevices; ++i) {
                auto it = listed.find(MacKey(sim::MacFromNumber(0x020000010000ull + i)));
                ASSERT_NE(it, listed.end()) << "device " << i << " lost in scan " << scansChecked;
                if (!it->second.empty()) {
                    EXPECT_EQ(it->second, "4." + std::to_string(i));
                }
            }
            ASSERT_EQ(refresh.refresh->Refresh(), S_OK);
        }
        // Commands keep flowing, a few at a time.
        while (commandsSent - static_cast<int>(device.commands.size()) < 4) {
            ASSERT_EQ(device.Command(commandsSent % 2 ? u"PC" : u"X", commandsSent), S_OK);
            ++commandsSent;
        }
        if ((flooder.sent & 0xFFFF) < 128)
            residentPeak = std::max(residentPeak, ResidentKiB());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The flood is over: what is outstanding completes.
    ASSERT_TRUE(loop.RunUntil([&] { return device.commands.size() == size_t(commandsSent); }, 600'000));
    ASSERT_TRUE(loop.RunUntil([&] { return !device.loads.empty(); }, 600'000));
    ASSERT_TRUE(loop.RunUntil([&] { return refresh.completions.size() > scansChecked; }, 600'000));

    ASSERT_EQ(device.loads.size(), 1u);
    EXPECT_EQ(device.loads[0].error, 0) << device.loads[0].details;
    EXPECT_EQ(sim.DeviceAt(0).Upload().Image(), image);
    std::set<LONG> answered;
    for (const CommandReply& reply : device.commands) {
        EXPECT_EQ(reply.error, 0);
        EXPECT_TRUE(answered.insert(reply.lParam).second);
        if (reply.lParam % 2)
            EXPECT_EQ(reply.response.rfind("A*", 0), 0u) << reply.lParam << ": " << reply.response;
        else
            EXPECT_EQ(reply.response, "A4.0/b17/Soak") << reply.lParam;
    }
    // Each flooding address costs a scan its few made-up devices' unanswered
    // queries (some seconds); scans still end.
    EXPECT_GE(scansChecked, 1u);
    // Made-up MACs: at most a few per sending address get listed per scan.
    EXPECT_LE(listedPeak, kDevices + 2 * kSenders * CMirelUdpRefresh::kMaxUnconfirmedPerSender);

    std::printf(
        "[ figures ] %llu datagrams in %.1f s (%.0f/s); %d commands, %zu scans, 1 upload; "
        "discovery list peak %zu; resident %ld KiB before, peak %ld KiB\n",
        static_cast<unsigned long long>(flooder.sent), seconds, static_cast<double>(flooder.sent) / seconds,
        commandsSent, scansChecked, listedPeak, residentBefore, residentPeak);
}

}  // namespace
}  // namespace oskan::soak
