// Runs inside a private network namespace (scripts/netns-run), where the
// limited broadcast loops back on lo.
#include "common/WinSocket.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/ManualClockTest.h"

namespace {

using ::testing::ElementsAre;

constexpr unsigned short kDevicePort = 65535;

SOCKADDR_IN Address(uint32_t ip, unsigned short port) {
    SOCKADDR_IN address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(ip);
    address.sin_port = htons(port);
    return address;
}

int Broadcast(WinSocket& socket, const std::string& payload, unsigned short port) {
    SOCKADDR_IN to = Address(INADDR_BROADCAST, port);
    return socket.SendTo(payload.data(), static_cast<int>(payload.size()), &to);
}

// What a receive handler saw.
struct Inbox {
    std::vector<std::string> payloads;
    bool zeroAfterEach = true;
    unsigned short lastSenderPort = 0;

    static void OnReceive(const char* data, int length, const SOCKADDR_IN* sender, void* user) {
        auto* self = static_cast<Inbox*>(user);
        self->payloads.emplace_back(data, static_cast<size_t>(length));
        self->zeroAfterEach = self->zeroAfterEach && data[length] == '\0';
        self->lastSenderPort = ntohs(sender->sin_port);
    }
};

// Reaches the socket's window procedure, to post notifications the network
// would not produce on demand.
class TestSocket : public WinSocket {
public:
    void Notify(long events, int error = 0) {
        WindowProc(m_hWnd, kSocketMessage, static_cast<WPARAM>(m_hSocket),
                   WSAMAKESELECTREPLY(static_cast<WORD>(events), static_cast<WORD>(error)));
    }
};

// An event handler's user data: logs "name:bit:error" and reads a pending datagram.
struct Slot {
    const char* name;
    WinSocket* socket;
    std::vector<std::string>* log;

    static void OnEvent(long bit, int error, void* user) {
        auto* self = static_cast<Slot*>(user);
        self->log->push_back(std::string(self->name) + ":" + std::to_string(bit) + ":" +
                             std::to_string(error));
        char buffer[64];
        if (bit == FD_READ)
            self->socket->ReceiveFrom(buffer, sizeof buffer, nullptr);
    }
};

class WinSocketTest : public oskan::test::ManualClockTest {
protected:
    // On the manual clock this waits only as long as a datagram takes through
    // the loopback, then gives up.
    bool RunUntil(const std::function<bool()>& done) { return Loop().RunUntil(done, 1000); }
    void RunIdle() {
        Loop().RunUntil([] { return false; }, 100);
    }
};

TEST_F(WinSocketTest, BroadcastReachesTheDevicePortAndTheReplyComesBack) {
    WinSocket device;
    ASSERT_TRUE(device.Create(IPPROTO_UDP, kDevicePort));
    struct Device {
        WinSocket* socket;
        std::string request;
        static void OnRead(long, int, void* user) {
            auto* self = static_cast<Device*>(user);
            char buffer[256];
            SOCKADDR_IN from{};
            int n = self->socket->ReceiveFrom(buffer, sizeof buffer, &from);
            if (n <= 0)
                return;
            self->request.assign(buffer, static_cast<size_t>(n));
            self->socket->SendTo("[00-11-22-33-44-55]", 19, &from);
        }
    } state{&device, {}};
    const WinSocket::Subscription subscriptions[] = {{FD_READ, &Device::OnRead, &state},
                                                     {0, nullptr, nullptr}};
    ASSERT_TRUE(device.Select(subscriptions));

    Inbox inbox;
    WinAsyncSocket host;
    ASSERT_TRUE(host.OpenDatagram(&Inbox::OnReceive, &inbox, 1024));
    ASSERT_EQ(Broadcast(host, "_?", kDevicePort), 2);
    ASSERT_TRUE(RunUntil([&] { return !inbox.payloads.empty(); }));
    EXPECT_EQ(state.request, "_?");
    EXPECT_THAT(inbox.payloads, ElementsAre("[00-11-22-33-44-55]"));
    EXPECT_EQ(inbox.lastSenderPort, kDevicePort);
}

TEST_F(WinSocketTest, ReceiveHandlerGetsEachFittingDatagramWithAZeroAfterIt) {
    Inbox inbox;
    WinAsyncSocket host;
    ASSERT_TRUE(host.OpenDatagram(&Inbox::OnReceive, &inbox, 1024));
    WinSocket sender;
    ASSERT_TRUE(sender.Create(IPPROTO_UDP, 0));
    const std::string longest(1023, 'x');
    ASSERT_EQ(Broadcast(sender, longest + "y", host.LocalPort()), 1024);  // dropped: too long
    ASSERT_EQ(Broadcast(sender, "", host.LocalPort()), 0);                // dropped: empty
    ASSERT_EQ(Broadcast(sender, longest, host.LocalPort()), 1023);
    ASSERT_EQ(Broadcast(sender, "ok", host.LocalPort()), 2);  // the buffer still holds x's behind it
    ASSERT_TRUE(RunUntil([&] { return inbox.payloads.size() == 2; }));
    RunIdle();
    EXPECT_THAT(inbox.payloads, ElementsAre(longest, "ok"));
    EXPECT_TRUE(inbox.zeroAfterEach);
    EXPECT_EQ(inbox.lastSenderPort, sender.LocalPort());
}

TEST_F(WinSocketTest, SelectRoutesEachEventToTheLastEntryNamingIt) {
    std::vector<std::string> log;
    TestSocket socket;
    ASSERT_TRUE(socket.Create(IPPROTO_UDP, 0));
    Slot first{"first", &socket, &log}, second{"second", &socket, &log};
    const WinSocket::Subscription subscriptions[] = {{FD_READ | FD_CLOSE, &Slot::OnEvent, &first},
                                                     {FD_CLOSE, &Slot::OnEvent, &second},
                                                     {0, nullptr, nullptr}};
    ASSERT_TRUE(socket.Select(subscriptions));
    EXPECT_EQ(socket.EventMask(), FD_READ | FD_CLOSE);

    socket.Notify(FD_CLOSE);
    EXPECT_THAT(log, ElementsAre("second:32:0"));
    log.clear();
    socket.Notify(FD_CLOSE | FD_WRITE | FD_READ, WSAECONNRESET);  // in bit order; FD_WRITE has no handler
    EXPECT_THAT(log, ElementsAre("first:1:10054", "second:32:10054"));
    log.clear();

    // A real datagram arrives the same way.
    WinSocket sender;
    ASSERT_TRUE(sender.Create(IPPROTO_UDP, 0));
    Broadcast(sender, "x", socket.LocalPort());
    ASSERT_TRUE(RunUntil([&] { return !log.empty(); }));
    EXPECT_THAT(log, ElementsAre("first:1:0"));
    log.clear();

    // Without a list, notification ends.
    ASSERT_TRUE(socket.Select(nullptr));
    EXPECT_EQ(socket.EventMask(), 0);
    Broadcast(sender, "y", socket.LocalPort());
    RunIdle();
    EXPECT_TRUE(log.empty());

    // A notification that arrives for a closed socket is dropped.
    ASSERT_TRUE(socket.Select(subscriptions));
    socket.Close();
    socket.Notify(FD_READ);
    EXPECT_TRUE(log.empty());
}

TEST_F(WinSocketTest, OwnerMayBeDestroyedInsideItsReceiveHandler) {
    struct Owner {
        WinAsyncSocket socket;
        int* received;
        static void OnReceive(const char*, int, const SOCKADDR_IN*, void* user) {
            auto* self = static_cast<Owner*>(user);
            ++*self->received;
            delete self;
        }
    };
    int received = 0;
    auto* owner = new Owner{{}, &received};
    ASSERT_TRUE(owner->socket.OpenDatagram(&Owner::OnReceive, owner, 64));
    WinSocket sender;
    ASSERT_TRUE(sender.Create(IPPROTO_UDP, 0));
    Broadcast(sender, "one", owner->socket.LocalPort());
    Broadcast(sender, "two", owner->socket.LocalPort());
    ASSERT_TRUE(RunUntil([&] { return received == 1; }));
    RunIdle();
    EXPECT_EQ(received, 1);
}

TEST_F(WinSocketTest, SocketMayBeDestroyedInsideANestedNotification) {
    // A handler that runs a nested loop may see its socket destroyed by a
    // handler of that loop; the outer notification then stops.
    struct Nested {
        TestSocket* socket;
        std::vector<std::string> log;
        static void OnRead(long, int, void* user) {
            auto* self = static_cast<Nested*>(user);
            self->log.push_back("read");
            self->socket->Notify(FD_CLOSE);
        }
        static void OnWrite(long, int, void* user) { static_cast<Nested*>(user)->log.push_back("write"); }
        static void OnClose(long, int, void* user) {
            auto* self = static_cast<Nested*>(user);
            self->log.push_back("close");
            delete self->socket;
        }
    };
    auto* socket = new TestSocket;
    Nested nested{socket, {}};
    ASSERT_TRUE(socket->Create(IPPROTO_UDP, 0));
    const WinSocket::Subscription subscriptions[] = {{FD_READ, &Nested::OnRead, &nested},
                                                     {FD_WRITE, &Nested::OnWrite, &nested},
                                                     {FD_CLOSE, &Nested::OnClose, &nested},
                                                     {0, nullptr, nullptr}};
    ASSERT_TRUE(socket->Select(subscriptions));
    socket->Notify(FD_READ | FD_WRITE);
    EXPECT_THAT(nested.log, ElementsAre("read", "close"));
}

TEST_F(WinSocketTest, DatagramSocketCanBeClosedAndOpenedAgain) {
    Inbox before, after;
    WinAsyncSocket host;
    ASSERT_TRUE(host.OpenDatagram(&Inbox::OnReceive, &before, 64));
    host.CloseDatagram();
    EXPECT_FALSE(host.IsOpen());
    EXPECT_EQ(Broadcast(host, "lost", kDevicePort), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);

    ASSERT_TRUE(host.OpenDatagram(&Inbox::OnReceive, &after, 64));
    WinSocket sender;
    ASSERT_TRUE(sender.Create(IPPROTO_UDP, 0));
    Broadcast(sender, "again", host.LocalPort());
    ASSERT_TRUE(RunUntil([&] { return !after.payloads.empty(); }));
    EXPECT_THAT(after.payloads, ElementsAre("again"));
    EXPECT_TRUE(before.payloads.empty());
}

// What a receive handler may do to its own socket before it has finished
// reading the datagram (as a host disconnecting from inside an event that a
// reply fired, with other readers of the same reply still to come).
enum class InsideRead { Close, CloseAndOpen, NestedRead };

class WinSocketInsideReadTest : public WinSocketTest, public ::testing::WithParamInterface<InsideRead> {};

TEST_P(WinSocketInsideReadTest, TheDatagramStaysReadableUntilItsHandlerReturns) {
    struct Reader {
        WinAsyncSocket socket;
        WinSocketTest* test;
        InsideRead action;
        std::vector<std::string> seen;  // each datagram as it reads after the action
        static void OnReceive(const char* data, int length, const SOCKADDR_IN*, void* user) {
            auto* self = static_cast<Reader*>(user);
            if (self->seen.empty())
                self->Act();
            self->seen.emplace_back(data, static_cast<size_t>(length));  // AddressSanitizer checks the read
        }
        void Act() {
            seen.emplace_back("acting");
            switch (action) {
                case InsideRead::Close:
                    socket.CloseDatagram();
                    break;
                case InsideRead::CloseAndOpen:
                    socket.CloseDatagram();
                    EXPECT_TRUE(socket.OpenDatagram(&Reader::OnReceive, this, 64));
                    break;
                case InsideRead::NestedRead:
                    EXPECT_TRUE(test->Loop().RunUntil([&] { return seen.size() == 2; }, 1000));
                    break;
            }
        }
    };
    Reader reader{{}, this, GetParam(), {}};
    ASSERT_TRUE(reader.socket.OpenDatagram(&Reader::OnReceive, &reader, 64));
    WinSocket sender;
    ASSERT_TRUE(sender.Create(IPPROTO_UDP, 0));
    Broadcast(sender, "first", reader.socket.LocalPort());
    Broadcast(sender, "second", reader.socket.LocalPort());
    ASSERT_TRUE(RunUntil([&] { return reader.seen.size() >= 2; }));
    RunIdle();
    if (GetParam() == InsideRead::NestedRead) {
        EXPECT_THAT(reader.seen, ElementsAre("acting", "second", "first"));
    } else {
        // Closed: the second datagram is not read (and one reopened has a new port).
        EXPECT_THAT(reader.seen, ElementsAre("acting", "first"));
    }
}

std::string InsideReadName(const ::testing::TestParamInfo<InsideRead>& info) {
    static const char* names[] = {"Close", "CloseAndOpen", "NestedRead"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Actions, WinSocketInsideReadTest,
                         ::testing::Values(InsideRead::Close, InsideRead::CloseAndOpen,
                                           InsideRead::NestedRead),
                         InsideReadName);

}  // namespace
