// The command engine over a transport that records its frames: matching of
// replies, the mode without ids, and completions that re-enter the engine.

#include "common/SkCmdTarget.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ManualClockTest.h"
#include "tests/support/RecordingTransport.h"

namespace {

using oskan::test::RecordingTransport;
using ::testing::ElementsAre;

struct Completion {
    uint32_t error;
    std::string details;
    bool hasResponse;
    std::string response;
    LONG lParam;
};

// The owner of the engine's completions in a test.
struct Host {
    std::vector<Completion> completions;
    std::function<void(const Completion&)> onComplete;

    static void Complete(uint32_t error, const char* details, const char* response, int length, void* user,
                         LONG lParam) {
        auto* host = static_cast<Host*>(user);
        Completion c{error, details, response != nullptr,
                     response ? std::string(response, static_cast<size_t>(length)) : std::string(), lParam};
        host->completions.push_back(c);
        if (host->onComplete)
            host->onComplete(c);
    }
};

std::string Hex(uint32_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "|%08x", id);
    return text;
}

class SkCmdTargetTest : public oskan::test::ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        StartClockAt(5000);
        transport.SetNextRequestId(0x100);
    }
    HRESULT Send(const std::string& text, LONG lParam = 0) {
        return engine->Send(text.data(), static_cast<int>(text.size()), &Host::Complete, &host, lParam);
    }

    RecordingTransport transport;
    Host host;
    std::unique_ptr<SkCmdTarget> engine = std::make_unique<SkCmdTarget>(&transport);
};

// ---------------------------------------------------------------- replies and requests

TEST_F(SkCmdTargetTest, UnknownStaleAndIdlessRepliesAreIgnored) {
    transport.Reply("A" + Hex(0x100));  // nothing pending
    Send("B");
    transport.Reply("A" + Hex(0x0ff));
    transport.Reply("A");
    transport.Reply("");
    EXPECT_TRUE(host.completions.empty());
    transport.Reply("A" + Hex(0x100));
    transport.Reply("A" + Hex(0x100));  // a duplicate of the answer
    EXPECT_EQ(host.completions.size(), 1u);
}

TEST_F(SkCmdTargetTest, TheCommandTextIsSentAsItIs) {
    Send("T%s%n");  // never a format
    Send("");       // an empty command is its id alone
    ASSERT_EQ(engine->Send(nullptr, 5, &Host::Complete, &host, 0), S_OK);
    const std::string withZero("A\0B", 3);
    Send(withZero);
    EXPECT_THAT(transport.sent, ElementsAre("T%s%n|00000100", "|00000101", "|00000102", "A|00000103"));
    transport.Reply("A" + Hex(0x101));
    ASSERT_EQ(host.completions.size(), 1u);
    EXPECT_EQ(host.completions[0].response, "A");
}

TEST_F(SkCmdTargetTest, ACommandWithIdThatDoesNotFitIsRefusedNotCut) {
    const std::string longest(MessageTransport::kMaxRequestBody, 'C');
    ASSERT_EQ(longest.size(), 258u);
    EXPECT_EQ(Send(longest), S_OK);
    ASSERT_EQ(transport.sent.size(), 1u);
    EXPECT_EQ(transport.sent[0], longest + "|00000100");
    EXPECT_EQ(Send(longest + "D"), E_INVALIDARG);
    EXPECT_EQ(transport.sent.size(), 1u);
    transport.Reply("A" + Hex(0x100));
    EXPECT_EQ(host.completions.size(), 1u);
    EXPECT_EQ(transport.ClientCount(), 0u);  // the refused command left nothing behind
    // Without id the text is sent as it is, whatever its length.
    engine->SetFlags(SkCmdTarget::kFlagNoId);
    EXPECT_EQ(Send(longest + "D"), S_OK);
    ASSERT_EQ(transport.sent.size(), 2u);
    EXPECT_EQ(transport.sent[1], longest + "D");
}

// ---------------------------------------------------------------- transport client

TEST_F(SkCmdTargetTest, ClientExistsExactlyWhileCommandsArePending) {
    EXPECT_FALSE(engine->HasTransportClient());
    Send("A");
    Send("B");
    EXPECT_TRUE(engine->HasTransportClient());
    EXPECT_EQ(transport.ClientCount(), 1u);
    transport.Reply("A" + Hex(0x100));
    EXPECT_TRUE(engine->HasTransportClient());
    host.onComplete = [&](const Completion&) {
        // The engine's state is final before the completion runs.
        EXPECT_EQ(engine->PendingCount(), 0u);
        EXPECT_FALSE(engine->HasTransportClient());
    };
    transport.Reply("A" + Hex(0x101));
    EXPECT_EQ(transport.ClientCount(), 0u);
    EXPECT_EQ(host.completions.size(), 2u);
}

// ---------------------------------------------------------------- without ids

TEST_F(SkCmdTargetTest, FlagsKeepAnyValueAndOnlyTheNoIdBitCounts) {
    EXPECT_EQ(engine->Flags(), 0);
    engine->SetFlags(-1);
    EXPECT_EQ(engine->Flags(), -1);
    Send("a");
    engine->SetFlags(5);  // no bit of value 2
    Send("b");
    EXPECT_THAT(transport.sent, ElementsAre("a", "b|00000100"));
}

TEST_F(SkCmdTargetTest, WithoutIdOneCommandAtATimeCompletedByAnyIdlessReply) {
    engine->SetFlags(SkCmdTarget::kFlagNoId);
    ASSERT_EQ(Send("X", 7), S_OK);
    // A second one could not be told apart: refused, nothing sent, no event.
    EXPECT_EQ(Send("Y", 8), SkCmdTarget::kBusy);
    EXPECT_THAT(transport.sent, ElementsAre("X"));
    // A parsable id belongs to someone else.
    transport.Reply("A1.0|0000abcd");
    EXPECT_TRUE(host.completions.empty());
    transport.Reply("A1.0|x");
    ASSERT_EQ(host.completions.size(), 1u);
    EXPECT_EQ(host.completions[0].response, "A1.0|x");  // not cut: it was sent without id
    EXPECT_EQ(host.completions[0].lParam, 7);
    EXPECT_FALSE(engine->HasTransportClient());
    EXPECT_EQ(Send("Y", 8), S_OK);
}

TEST_F(SkCmdTargetTest, CommandsWithAndWithoutIdSharePendingList) {
    Send("I", 1);
    engine->SetFlags(SkCmdTarget::kFlagNoId);
    Send("N", 2);
    engine->SetFlags(0);
    Send("J", 3);
    EXPECT_THAT(transport.sent, ElementsAre("I|00000100", "N", "J|00000101"));
    transport.Reply("Aj" + Hex(0x101));
    transport.Reply("An");
    transport.Reply("Ai" + Hex(0x100));
    ASSERT_EQ(host.completions.size(), 3u);
    EXPECT_EQ(host.completions[0].lParam, 3);
    EXPECT_EQ(host.completions[1].lParam, 2);
    EXPECT_EQ(host.completions[1].response, "An");
    EXPECT_EQ(host.completions[2].lParam, 1);
}

// ---------------------------------------------------------------- Cancel

TEST_F(SkCmdTargetTest, CommandSentFromACancellationStaysPendingWithItsRequest) {
    Send("A", 1);
    Send("B", 2);
    host.onComplete = [&](const Completion& c) {
        if (c.lParam == 1) {
            EXPECT_EQ(engine->PendingCount(), 0u);  // the cancelled ones are already detached
            EXPECT_EQ(Send("again", 10), S_OK);
        }
    };
    engine->Cancel();
    ASSERT_EQ(host.completions.size(), 2u);
    EXPECT_EQ(host.completions[1].lParam, 2);
    EXPECT_EQ(engine->PendingCount(), 1u);
    EXPECT_TRUE(engine->HasTransportClient());
    EXPECT_EQ(transport.sent.back(), "again|00000102");
    winport::ServiceLoop::Current().AdvanceClock(600);
    EXPECT_EQ(transport.sent.back(), "again|00000102");  // still being resent
    transport.Reply("Ay" + Hex(0x102));
    ASSERT_EQ(host.completions.size(), 3u);
    EXPECT_EQ(host.completions[2].error, 0u);
    EXPECT_EQ(host.completions[2].response, "Ay");
}

TEST_F(SkCmdTargetTest, CancelFromInsideAReplyCompletionEndsTheRest) {
    Send("A", 1);
    Send("B", 2);
    host.onComplete = [&](const Completion& c) {
        if (c.lParam == 1 && c.error == 0)
            engine->Cancel();
    };
    transport.Reply("A" + Hex(0x100));
    ASSERT_EQ(host.completions.size(), 2u);
    EXPECT_EQ(host.completions[1].lParam, 2);
    EXPECT_EQ(host.completions[1].error, 1223u);
    EXPECT_EQ(transport.ClientCount(), 0u);
}

// ---------------------------------------------------------------- destruction

TEST_F(SkCmdTargetTest, DestructionCancelsAndRefusesNewCommandsFromItsCompletions) {
    Send("A", 1);
    Send("B", 2);
    HRESULT fromCompletion = S_OK;
    SkCmdTarget* dying = engine.get();
    host.onComplete = [&](const Completion&) {
        fromCompletion = dying->Send("late", 4, &Host::Complete, &host, 0);
    };
    const size_t sent = transport.sent.size();
    engine.reset();
    ASSERT_EQ(host.completions.size(), 2u);
    EXPECT_EQ(host.completions[0].error, 1223u);
    EXPECT_EQ(fromCompletion, E_ABORT);
    EXPECT_EQ(transport.sent.size(), sent);
    EXPECT_EQ(transport.ClientCount(), 0u);
}

}  // namespace
