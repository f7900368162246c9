#include "common/MessageTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/ManualClockTest.h"
#include "tests/support/RecordingTransport.h"

namespace {

using oskan::test::RecordingTransport;
using ::testing::ElementsAre;

struct Received {
    std::vector<std::string> texts;
    static void Record(const char* text, int length, void* user) {
        static_cast<Received*>(user)->texts.emplace_back(text, static_cast<size_t>(length));
    }
};

class MessageTransportTest : public oskan::test::ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        StartClockAt(1000);
    }
    RecordingTransport transport;
};

TEST_F(MessageTransportTest, RequestIdsStartAtOneFromZeroAndSkipZeroOnWrap) {
    Received r;
    TransportClient* client = transport.OpenClient(&Received::Record, &r);
    uint32_t id = 99;
    transport.SetNextRequestId(0);
    transport.SendRequest(client, &id, "X");
    EXPECT_EQ(id, 1u);
    transport.SetNextRequestId(0xFFFFFFFFu);
    transport.SendRequest(client, &id, "Y");
    EXPECT_EQ(id, 0xFFFFFFFFu);
    transport.SendRequest(client, &id, "Z");
    EXPECT_EQ(id, 1u);
    EXPECT_THAT(transport.sent, ElementsAre("X|00000001", "Y|ffffffff", "Z|00000001"));
}

TEST_F(MessageTransportTest, RequestBodyIsFormattedAndFramed) {
    transport.header = "_[2.0.0.1.2.3]";
    TransportClient* client = transport.OpenClient(nullptr, nullptr);
    transport.SetNextRequestId(0x2a);
    uint32_t id = 0;
    ASSERT_NE(transport.SendRequest(client, &id, "PC%d%s", 7, "x"), nullptr);
    EXPECT_EQ(id, 0x2au);
    ASSERT_EQ(transport.sent.size(), 1u);
    EXPECT_EQ(transport.sent[0], "_[2.0.0.1.2.3]PC7x|0000002a");
}

TEST_F(MessageTransportTest, LongBodyIsCutSoTheIdAlwaysFits) {
    TransportClient* client = transport.OpenClient(nullptr, nullptr);
    transport.SetNextRequestId(5);
    const std::string fits(MessageTransport::kMaxRequestBody, 'a');
    const std::string tooLong(400, 'b');
    transport.SendRequest(client, nullptr, "%s", fits.c_str());
    transport.SendRequest(client, nullptr, "%s", tooLong.c_str());
    ASSERT_EQ(transport.sent.size(), 2u);
    EXPECT_EQ(transport.sent[0], fits + "|00000005");
    EXPECT_EQ(transport.sent[1], std::string(MessageTransport::kMaxRequestBody, 'b') + "|00000006");
    EXPECT_EQ(transport.sent[1].size() + 1, static_cast<size_t>(MessageTransport::kRequestBufferSize));
    EXPECT_EQ(
        MessageTransport::ParseReplyId(transport.sent[1].data(), static_cast<int>(transport.sent[1].size())),
        6u);
}

TEST_F(MessageTransportTest, DataIsSentAsGivenWithoutId) {
    transport.header = "_[1.2.3.4.5.6]";
    TransportClient* client = transport.OpenClient(nullptr, nullptr);
    const char bytes[] = {'D', 0, 1, '|', static_cast<char>(0xff)};
    transport.SendData(client, bytes, sizeof bytes);
    ASSERT_EQ(transport.sent.size(), 1u);
    EXPECT_EQ(transport.sent[0], "_[1.2.3.4.5.6]" + std::string(bytes, sizeof bytes));
}

TEST_F(MessageTransportTest, FifthRequestGoesOutWhenOneOfTheFirstFourIsRemoved) {
    TransportClient* client = transport.OpenClient(nullptr, nullptr);
    transport.SetNextRequestId(1);
    std::vector<TransportRequest*> requests;
    for (int i = 0; i < 5; ++i)
        requests.push_back(transport.SendRequest(client, nullptr, "R%d", i));
    EXPECT_EQ(transport.sent.size(), 4u);
    transport.RemoveRequest(requests[2]);
    ASSERT_EQ(transport.sent.size(), 5u);
    EXPECT_EQ(transport.sent[4], "R4|00000005");
}

TEST_F(MessageTransportTest, SendOnceBypassesAFullWindowAndTheLock) {
    TransportClient* client = transport.OpenClient(nullptr, nullptr);
    for (int i = 0; i < 6; ++i)
        transport.SendData(client, "q", 1);
    transport.GetRetransmitter().LockTransmission(TRUE);
    transport.sent.clear();
    EXPECT_TRUE(transport.SendOnce("PC", 2));
    EXPECT_THAT(transport.sent, ElementsAre("PC"));
    EXPECT_EQ(transport.GetRetransmitter().InFlightCount() + transport.GetRetransmitter().WaitingCount(), 6u);
    transport.GetRetransmitter().LockTransmission(FALSE);
}

TEST_F(MessageTransportTest, RemovingAClientsRequestsSendsOtherClientsPromotedRequestsTogether) {
    TransportClient* first = transport.OpenClient(nullptr, nullptr);
    TransportClient* second = transport.OpenClient(nullptr, nullptr);
    for (int i = 0; i < 3; ++i)
        transport.SendData(first, "f", 1);
    for (int i = 0; i < 3; ++i)
        transport.SendData(second, "s", 1);
    EXPECT_THAT(transport.sent, ElementsAre("f", "f", "f", "s"));
    transport.sent.clear();
    transport.RemoveClientRequests(first);
    // The unlock resends every packet in flight: the old one and the two promoted.
    EXPECT_THAT(transport.sent, ElementsAre("s", "s", "s"));
    EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 3u);
    EXPECT_EQ(transport.GetRetransmitter().LockCount(), 0);
}

TEST_F(MessageTransportTest, EveryClientSeesEveryReply) {
    Received a, b;
    transport.OpenClient(&Received::Record, &a);
    transport.OpenClient(&Received::Record, &b);
    transport.DispatchReceived("A|0000002a", 10);
    transport.DispatchReceived("J****/00", 8);
    EXPECT_THAT(a.texts, ElementsAre("A|0000002a", "J****/00"));
    EXPECT_EQ(a.texts, b.texts);
}

// A client opened while a reply is being dispatched (an engine starting anew
// from a completion) waits for the next reply: this one was not its own.
TEST_F(MessageTransportTest, AClientOpenedDuringADispatchDoesNotSeeThatReply) {
    struct Opener {
        MessageTransport* transport;
        Received late;
        TransportClient* opened = nullptr;
        static void Receive(const char*, int, void* user) {
            auto* self = static_cast<Opener*>(user);
            if (!self->opened)
                self->opened = self->transport->OpenClient(&Received::Record, &self->late);
        }
    };
    Opener opener{&transport, {}};
    Received other;
    transport.OpenClient(&Opener::Receive, &opener);
    transport.OpenClient(&Received::Record, &other);
    transport.DispatchReceived("A", 1);
    EXPECT_THAT(other.texts, ElementsAre("A"));
    EXPECT_TRUE(opener.late.texts.empty());
    ASSERT_NE(opener.opened, nullptr);
    transport.DispatchReceived("B", 1);
    EXPECT_THAT(opener.late.texts, ElementsAre("B"));

    // Also when it opens inside a nested dispatch, and for the outer one.
    struct NestedOpener {
        MessageTransport* transport;
        Received late;
        bool nested = false;
        static void Receive(const char*, int, void* user) {
            auto* self = static_cast<NestedOpener*>(user);
            if (self->nested)
                return;
            self->nested = true;
            self->transport->DispatchReceived("inner", 5);
            self->transport->OpenClient(&Received::Record, &self->late);
        }
    };
    RecordingTransport second;
    NestedOpener nestedOpener{&second, {}};
    Received tail;
    second.OpenClient(&NestedOpener::Receive, &nestedOpener);
    second.OpenClient(&Received::Record, &tail);
    second.DispatchReceived("outer", 5);
    EXPECT_THAT(tail.texts, ElementsAre("inner", "outer"));
    EXPECT_TRUE(nestedOpener.late.texts.empty());
}

struct SelfClosing {
    MessageTransport* transport;
    TransportClient* client = nullptr;
    int calls = 0;
    static void Receive(const char*, int, void* user) {
        auto* self = static_cast<SelfClosing*>(user);
        ++self->calls;
        self->transport->CloseClient(self->client);
    }
};

TEST_F(MessageTransportTest, AClientMayCloseItselfOrTheNextFromItsReceiveFunction) {
    Received last;
    SelfClosing closer{&transport};
    closer.client = transport.OpenClient(&SelfClosing::Receive, &closer);
    transport.SendData(closer.client, "x", 1);
    transport.OpenClient(&Received::Record, &last);
    transport.DispatchReceived("A", 1);
    EXPECT_EQ(closer.calls, 1);
    EXPECT_THAT(last.texts, ElementsAre("A"));
    EXPECT_EQ(transport.ClientCount(), 1u);

    // A client that closes the one after it: that one is not called.
    struct CloseNext {
        MessageTransport* transport;
        TransportClient* victim;
        static void Receive(const char*, int, void* user) {
            auto* self = static_cast<CloseNext*>(user);
            self->transport->CloseClient(self->victim);
        }
    };
    RecordingTransport other;
    Received victimSaw;
    CloseNext killer{&other, nullptr};
    other.OpenClient(&CloseNext::Receive, &killer);
    killer.victim = other.OpenClient(&Received::Record, &victimSaw);
    other.DispatchReceived("A", 1);
    EXPECT_TRUE(victimSaw.texts.empty());
    EXPECT_EQ(other.ClientCount(), 1u);
}

TEST_F(MessageTransportTest, TheTransportMayBeDestroyedFromAReceiveFunction) {
    // As when a host releases the device object from inside a completion event.
    struct Destroyer {
        std::unique_ptr<RecordingTransport> owned;
        static void Receive(const char*, int, void* user) { static_cast<Destroyer*>(user)->owned.reset(); }
    };
    Destroyer destroyer{std::make_unique<RecordingTransport>()};
    RecordingTransport* doomed = destroyer.owned.get();
    Received after;
    doomed->OpenClient(&Destroyer::Receive, &destroyer);
    doomed->OpenClient(&Received::Record, &after);
    doomed->DispatchReceived("A", 1);  // AddressSanitizer reports any touch of the freed transport
    EXPECT_FALSE(destroyer.owned);
    EXPECT_TRUE(after.texts.empty());
}

TEST_F(MessageTransportTest, AClientClosedInsideANestedDispatchIsSkippedByTheOuterOne) {
    struct Nester {
        MessageTransport* transport;
        TransportClient* victim = nullptr;
        int depth = 0;
        static void Receive(const char*, int, void* user) {
            auto* self = static_cast<Nester*>(user);
            if (self->depth++ > 0) {
                self->transport->CloseClient(self->victim);
                return;
            }
            self->transport->DispatchReceived("inner", 5);
        }
    };
    Nester nester{&transport};
    Received victimSaw;
    transport.OpenClient(&Nester::Receive, &nester);
    nester.victim = transport.OpenClient(&Received::Record, &victimSaw);
    transport.DispatchReceived("outer", 5);
    EXPECT_TRUE(victimSaw.texts.empty());
    EXPECT_EQ(transport.ClientCount(), 1u);
}

TEST_F(MessageTransportTest, UnansweredRequestsAreResentUntilRemoved) {
    TransportClient* client = transport.OpenClient(nullptr, nullptr);
    TransportRequest* request = transport.SendData(client, "r", 1);
    winport::ServiceLoop::Current().AdvanceClock(5000);
    // The transport's own schedule (the clock started at 1000): five sends
    // 600 ms apart, expiry, which does nothing, then the next cycle.
    EXPECT_THAT(transport.timeline, ElementsAre("S@1000", "S@1600", "S@2200", "S@2800", "S@3400", "E@4000",
                                                "S@4200", "S@4800", "S@5400", "S@6000"));
    transport.RemoveRequest(request);
    size_t count = transport.sent.size();
    winport::ServiceLoop::Current().AdvanceClock(5000);
    EXPECT_EQ(transport.sent.size(), count);
    EXPECT_FALSE(transport.GetRetransmitter().IsTimerArmed());
}

TEST_F(MessageTransportTest, DestructionWithRequestsOfSeveralClientsSendsNothing) {
    auto owned = std::make_unique<RecordingTransport>();
    TransportClient* a = owned->OpenClient(nullptr, nullptr);
    TransportClient* b = owned->OpenClient(nullptr, nullptr);
    for (int i = 0; i < 4; ++i)
        owned->SendData(a, "a", 1);
    for (int i = 0; i < 4; ++i)
        owned->SendData(b, "b", 1);
    owned.reset();  // would call a pure virtual send if removals promoted b's requests
    SUCCEED();
}

TEST(ParseReplyId, ReadsHexAfterTheFirstBar) {
    EXPECT_EQ(MessageTransport::ParseReplyId("A|0000002a", 10), 42u);
    EXPECT_EQ(MessageTransport::ParseReplyId("A|0000002a|00000001", 19), 42u);
    EXPECT_EQ(MessageTransport::ParseReplyId("AERB/00", 7), 0u);
    EXPECT_EQ(MessageTransport::ParseReplyId("A|", 2), 0u);
    EXPECT_EQ(MessageTransport::ParseReplyId("A|zz", 4), 0u);
    EXPECT_EQ(MessageTransport::ParseReplyId("A|FFFFFFFF", 10), 0xFFFFFFFFu);
    EXPECT_EQ(MessageTransport::ParseReplyId("A|123456789abc", 14), 0xFFFFFFFFu);
    // The length bounds the search: a bar beyond it does not count.
    EXPECT_EQ(MessageTransport::ParseReplyId("AB|0000002a", 2), 0u);
    EXPECT_EQ(MessageTransport::ParseReplyId("A|00002a99", 8), 0x2au);
}

TEST(ParseStatusField, ReadsModeFlagsAndCode) {
    OSKAN_PCODE_MACHINE_MODE mode = OPCM_MODE_UNKNOWN;
    int32_t code = -1;
    EXPECT_FALSE(MessageTransport::ParseStatusField("A***/0", 6, &mode, &code));
    ASSERT_TRUE(MessageTransport::ParseStatusField("AERB/00", 7, &mode, &code));
    EXPECT_EQ(mode, OPCM_MODE_FILE_ERROR);
    EXPECT_EQ(code, 0);
    ASSERT_TRUE(MessageTransport::ParseStatusField("A*RB/1f", 7, &mode, &code));
    EXPECT_EQ(mode, OPCM_MODE_RUNNING);
    EXPECT_EQ(code, 0x1f);
    ASSERT_TRUE(MessageTransport::ParseStatusField("A**B/ff|0000002a", 16, &mode, &code));
    EXPECT_EQ(mode, OPCM_MODE_STOPPED_BUSY);
    EXPECT_EQ(code, 0xff);
    ASSERT_TRUE(MessageTransport::ParseStatusField("A***/00", 7, &mode, &code));
    EXPECT_EQ(mode, OPCM_MODE_STOPPED_IDLE);
    // Only the given length is read for the code.
    ASSERT_TRUE(MessageTransport::ParseStatusField("A***/0fff", 7, &mode, &code));
    EXPECT_EQ(code, 0x0f);
}

TEST(ParseMacText, ReadsUpToSixNumbers) {
    uint8_t mac[6] = {};
    EXPECT_EQ(MessageTransport::ParseMacText("2.0.0.1.2.3", 11, mac), 6);
    EXPECT_THAT(mac, ElementsAre(2, 0, 0, 1, 2, 3));
    EXPECT_EQ(MessageTransport::ParseMacText("002.000.000.001.002.003", 23, mac), 6);
    EXPECT_THAT(mac, ElementsAre(2, 0, 0, 1, 2, 3));
    EXPECT_EQ(MessageTransport::ParseMacText("1.2.3.4.5.6.7", 13, mac), 6);
    EXPECT_THAT(mac, ElementsAre(1, 2, 3, 4, 5, 6));
    EXPECT_EQ(MessageTransport::ParseMacText("256.257.0.0.0.1", 15, mac), 6);
    EXPECT_EQ(mac[0], 0);
    EXPECT_EQ(mac[1], 1);
    EXPECT_EQ(MessageTransport::ParseMacText("02-00-00-01-02-03", 17, mac), 1);
    EXPECT_EQ(MessageTransport::ParseMacText("1.2.3.4.5", 9, mac), 5);
    EXPECT_EQ(MessageTransport::ParseMacText("", 0, mac), 0);
    // Bounded by the length even without a terminating zero.
    const char unterminated[3] = {'1', '.', '2'};
    EXPECT_EQ(MessageTransport::ParseMacText(unterminated, 3, mac), 2);
}

}  // namespace
