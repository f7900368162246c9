// Memory and property reads and writes of the debugger, on a recording
// transport.

#include <algorithm>

#include "tests/Mirel/DebuggeeHarness.h"
#include "tests/support/AllocationFailure.h"

namespace oskan::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr HRESULT kNotReady = static_cast<HRESULT>(0x80070015);
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002);

class DebuggeeMemoryTest : public DebuggeeTest {
protected:
    // A device's reply to "GMaddr,count": status, the address at offset 10,
    // the bytes from offset 16, three characters each.
    static std::string BlockReply(uint32_t address, const std::vector<uint8_t>& bytes) {
        char head[32];
        std::snprintf(head, sizeof head, "A***/00 @ %04x: ", address);
        std::string text = head;
        for (uint8_t byte : bytes) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x ", byte);
            text += hex;
        }
        return text;
    }
    // Bytes 0, 1, 2... of the device's memory, as the replies carry them.
    static std::vector<uint8_t> Pattern(uint32_t address, size_t count) {
        std::vector<uint8_t> bytes(count);
        for (size_t i = 0; i < count; ++i)
            bytes[i] = static_cast<uint8_t>(address + i);
        return bytes;
    }
    // Answers the read block request at frame index i from the pattern.
    void AnswerRead(size_t i) {
        const std::string& frame = transport.sent.at(i);
        unsigned address = 0, count = 0;
        ASSERT_EQ(std::sscanf(frame.c_str(), "GM%x,%x|", &address, &count), 2) << frame;
        Answer(frame, BlockReply(address, Pattern(address, count)));
    }
    void AnswerAll(size_t from) {
        const size_t to = transport.sent.size();
        for (size_t i = from; i < to; ++i)
            AnswerRead(i);
    }
    std::vector<std::string> Progress() const {
        std::vector<std::string> progress;
        for (const std::string& text : sink->Texts())
            if (text.rfind("Progress", 0) == 0)
                progress.push_back(text);
        return progress;
    }
    std::vector<std::string> Completions() const {
        std::vector<std::string> done;
        for (const std::string& text : sink->Outcomes())
            if (text.rfind("Progress", 0) != 0)
                done.push_back(text);
        return done;
    }
    void SetUp() override {
        DebuggeeTest::SetUp();
        Begin();
        transport.sent.clear();
    }
};

// ---------------------------------------------------------------- reads

TEST_F(DebuggeeMemoryTest, ReadIsSplitIntoBlocksAndCompletesOnceInAnyReplyOrder) {
    ASSERT_EQ(debuggee->ReadMemory(0x100, 40, 7), S_OK);
    EXPECT_THAT(Bodies(), ElementsAre("GM0100,10", "GM0110,10", "GM0120,08"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READ_MEMORY);
    EXPECT_EQ(trace.size(), 3u);
    EXPECT_EQ(trace[2], (TraceLine{3, transport.sent[2]}));
    AnswerRead(2);
    AnswerRead(0);
    EXPECT_THAT(Completions(), IsEmpty());
    AnswerRead(1);
    AnswerRead(1);  // a duplicate of an answered block
    EXPECT_THAT(Progress(), ElementsAre("Progress 33", "Progress 66", "Progress 100"));
    ASSERT_THAT(Completions(), ElementsAre("Read 0 Operation completed successfully @100 len 40 #7"));
    EXPECT_THAT(sink->LastRead().data, ElementsAreArray(Pattern(0x100, 40)));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
    EXPECT_EQ(engine->OperationCount(), 0u);
    EXPECT_EQ(engine->TotalBlocks(), 0);
    EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 0u);
}

TEST_F(DebuggeeMemoryTest, ABlockReplyWithAnotherAddressIsIgnoredAndTheBlockResent) {
    ASSERT_EQ(debuggee->ReadMemory(0x200, 4, 1), S_OK);
    const std::string frame = Last();
    Answer(frame, BlockReply(0x204, Pattern(0x200, 4)));
    Answer(frame, "E");
    Answer(frame, BlockReply(0x200, Pattern(0x200, 3)));  // too short
    Answer(frame, "A***/00 @ 0200: 01 0x 03 04 ");        // not hexadecimal
    Answer(frame, "A***/00 @ zz00: 01 02 03 04 ");        // no address
    EXPECT_THAT(Completions(), IsEmpty());
    EXPECT_EQ(engine->OutstandingBlocks(), 1u);
    Advance(600);
    EXPECT_EQ(transport.sent.back(), frame);
    Answer(frame, BlockReply(0x200, {0xde, 0xad, 0xbe, 0xef}));
    ASSERT_THAT(Completions(), ElementsAre("Read 0 Operation completed successfully @200 len 4 #1"));
    EXPECT_THAT(sink->LastRead().data, ElementsAre(0xde, 0xad, 0xbe, 0xef));
}

TEST_F(DebuggeeMemoryTest, StringIsReadInTwoPhases) {
    ASSERT_EQ(debuggee->ReadString(0x300, 9), S_OK);
    EXPECT_THAT(Bodies(), ElementsAre("GM0300,02"));
    Answer(Last(), BlockReply(0x300, {5, 8}));
    EXPECT_THAT(Bodies(1), ElementsAre("GM0300,07"));
    EXPECT_THAT(Completions(), IsEmpty());
    Answer(Last(), BlockReply(0x300, {5, 8, 'h', 'e', 'l', 'l', 'o'}));
    ASSERT_THAT(Completions(), ElementsAre("Read 0 Operation completed successfully @300 len 7 #9"));
    EXPECT_THAT(sink->LastRead().data, ElementsAre(5, 8, 'h', 'e', 'l', 'l', 'o'));
    EXPECT_THAT(Progress(), ElementsAre("Progress 100", "Progress 100"));
}

TEST_F(DebuggeeMemoryTest, LongStringNearTheEndOfMemoryIsCutThere) {
    ASSERT_EQ(debuggee->ReadString(0xfff0, 1), S_OK);
    Answer(Last(), BlockReply(0xfff0, {200, 200}));
    EXPECT_THAT(Bodies(1), ElementsAre("GMfff0,10"));
    AnswerRead(1);
    ASSERT_THAT(Completions(), ElementsAre("Read 0 Operation completed successfully @fff0 len 16 #1"));
    EXPECT_EQ(debuggee->ReadString(0xffff, 1), E_INVALIDARG);
}

TEST_F(DebuggeeMemoryTest, ReadsOfSeveralOperationsRunTogether) {
    ASSERT_EQ(debuggee->ReadMemory(0x10, 16, 1), S_OK);
    ASSERT_EQ(debuggee->ReadMemory(0x20, 20, 2), S_OK);
    EXPECT_THAT(Bodies(), ElementsAre("GM0010,10", "GM0020,10", "GM0030,04"));
    EXPECT_EQ(engine->TotalBlocks(), 3);
    AnswerRead(1);
    AnswerRead(2);
    AnswerRead(0);
    // The progress covers the blocks of the phases still running: once the
    // second read is done only the first one's block is left.
    EXPECT_THAT(Progress(), ElementsAre("Progress 33", "Progress 0", "Progress 100"));
    EXPECT_THAT(Completions(), ElementsAre("Read 0 Operation completed successfully @20 len 20 #2",
                                           "Read 0 Operation completed successfully @10 len 16 #1"));
}

TEST_F(DebuggeeMemoryTest, BadReadArgumentsAreRefusedAndSendNothing) {
    EXPECT_EQ(debuggee->ReadMemory(0x100, 0, 0), E_INVALIDARG);
    EXPECT_EQ(debuggee->ReadMemory(0x10000, 1, 0), E_INVALIDARG);
    EXPECT_EQ(debuggee->ReadMemory(0xfff0, 0x11, 0), E_INVALIDARG);
    EXPECT_EQ(debuggee->ReadMemory(0x10, 0xffffffff, 0), E_INVALIDARG);
    EXPECT_EQ(debuggee->ReadProperty(-1, 0x10, 4, 0), E_INVALIDARG);
    EXPECT_EQ(debuggee->ReadProperty(3, 0x10, 0, 0), E_INVALIDARG);
    EXPECT_EQ(debuggee->ReadStringProperty(-5, 0x10, 0), E_INVALIDARG);
    EXPECT_THAT(transport.sent, IsEmpty());
    EXPECT_EQ(engine->OperationCount(), 0u);
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
    ASSERT_EQ(debuggee->ReadMemory(0xfff0, 0x10, 0), S_OK);  // the last 16 bytes
}

// ---------------------------------------------------------------- properties

TEST_F(DebuggeeMemoryTest, PropertyReadAsksForTheValueThenReadsIt) {
    ASSERT_EQ(debuggee->ReadProperty(12, 0xff00, 4, 3), S_OK);
    EXPECT_THAT(Bodies(), ElementsAre("GP12"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READ_PROPERTY);
    Answer(Last(), "E");  // refused: asked again later
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READ_PROPERTY);
    Answer(transport.sent[0], "A");
    EXPECT_THAT(Bodies(1), ElementsAre("GMff00,04"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READ_MEMORY);
    AnswerRead(1);
    ASSERT_THAT(Completions(), ElementsAre("Read 0 Operation completed successfully @ff00 len 4 #3"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
}

TEST_F(DebuggeeMemoryTest, StringPropertyReadsTheStringAfterTheValueIsThere) {
    ASSERT_EQ(debuggee->ReadStringProperty(7, 0xff00, 4), S_OK);
    Answer(Last(), "A");
    EXPECT_EQ(BodyOf(Last()), "GMff00,02");
    Answer(Last(), BlockReply(0xff00, {2, 16}));
    EXPECT_EQ(BodyOf(Last()), "GMff00,04");
    Answer(Last(), BlockReply(0xff00, {2, 16, 'o', 'k'}));
    ASSERT_THAT(Completions(), ElementsAre("Read 0 Operation completed successfully @ff00 len 4 #4"));
    EXPECT_THAT(sink->LastRead().data, ElementsAre(2, 16, 'o', 'k'));
}

TEST_F(DebuggeeMemoryTest, PropertyReadWaitsForEarlierOperationsAndLaterReadsWaitForIt) {
    ASSERT_EQ(debuggee->ReadMemory(0x10, 4, 1), S_OK);
    ASSERT_EQ(debuggee->ReadProperty(5, 0xff00, 2, 2), S_OK);
    ASSERT_EQ(debuggee->ReadMemory(0x20, 4, 3), S_OK);
    EXPECT_THAT(Bodies(), ElementsAre("GM0010,04"));
    AnswerRead(0);
    EXPECT_THAT(Bodies(1), ElementsAre("GP5"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READ_PROPERTY);
    ASSERT_EQ(debuggee->ReadMemory(0x30, 4, 4), S_OK);  // reads may still be queued
    EXPECT_EQ(transport.sent.size(), 2u);
    Answer(transport.sent[1], "A");
    EXPECT_THAT(Bodies(2), ElementsAre("GMff00,02", "GM0020,04", "GM0030,04"));
    AnswerAll(2);
    EXPECT_THAT(Completions(), ElementsAre("Read 0 Operation completed successfully @10 len 4 #1",
                                           "Read 0 Operation completed successfully @ff00 len 2 #2",
                                           "Read 0 Operation completed successfully @20 len 4 #3",
                                           "Read 0 Operation completed successfully @30 len 4 #4"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
}

// ---------------------------------------------------------------- writes

TEST_F(DebuggeeMemoryTest, WritesAndReadsAreRefusedDuringEachOther) {
    uint8_t data[3] = {1, 2, 3};
    ASSERT_EQ(debuggee->ReadMemory(0x10, 4, 1), S_OK);
    EXPECT_EQ(debuggee->WriteMemory(0x10, 3, data), kNotReady);
    EXPECT_EQ(debuggee->WriteProperty(1, 0x10, 3, data), kNotReady);
    EXPECT_EQ(debuggee->Run(), kNotReady);
    AnswerRead(0);
    transport.sent.clear();
    ASSERT_EQ(debuggee->WriteMemory(0x10, 3, data), S_OK);
    EXPECT_THAT(Bodies(), ElementsAre("SM0010,01,02,03"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_WRITE_MEMORY);
    EXPECT_EQ(debuggee->ReadMemory(0x10, 4, 1), kNotReady);
    EXPECT_EQ(debuggee->ReadProperty(1, 0x10, 4, 1), kNotReady);
    EXPECT_EQ(debuggee->WriteMemory(0x10, 3, data), kNotReady);
    EXPECT_EQ(debuggee->CancelRead(1), kNotFound);
    EXPECT_EQ(transport.sent.size(), 1u);
    Answer(Last(), "A");
    EXPECT_THAT(Completions(), ElementsAre("Read 0 Operation completed successfully @10 len 4 #1",
                                           "Command 0 Operation completed successfully"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
}

TEST_F(DebuggeeMemoryTest, PropertyWriteOfTwentyBytesSendsTwoBlocksThenTheSystemCall) {
    std::vector<uint8_t> data(20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(0xa0 + i);
    ASSERT_EQ(debuggee->WriteProperty(33, 0xff00, 20, data.data()), S_OK);
    EXPECT_THAT(Bodies(),
                ElementsAre("SMff00,a0,a1,a2,a3,a4,a5,a6,a7,a8,a9,aa,ab,ac,ad,ae,af", "SMff10,b0,b1,b2,b3"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_WRITE_PROPERTY);
    Answer(transport.sent[1], "A");
    Answer(transport.sent[1], "A");
    EXPECT_EQ(transport.sent.size(), 2u);
    Answer(transport.sent[0], "A");
    EXPECT_THAT(Bodies(2), ElementsAre("SR33"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_SET_PROPERTY);
    EXPECT_THAT(Completions(), IsEmpty());
    Answer(Last(), "E");
    Answer(Last(), "A");
    EXPECT_THAT(Completions(), ElementsAre("Command 0 Operation completed successfully"));
    EXPECT_THAT(Progress(), ElementsAre("Progress 50", "Progress 100"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
    EXPECT_EQ(engine->OperationCount(), 0u);
}

TEST_F(DebuggeeMemoryTest, BadWriteArgumentsAreRefusedAndSendNothing) {
    uint8_t data[2] = {1, 2};
    EXPECT_EQ(debuggee->WriteMemory(0x10, 0, data), E_INVALIDARG);
    EXPECT_EQ(debuggee->WriteMemory(0x10000, 1, data), E_INVALIDARG);
    EXPECT_EQ(debuggee->WriteMemory(0xffff, 2, data), E_INVALIDARG);
    EXPECT_EQ(debuggee->WriteMemory(0x10, 2, nullptr), E_POINTER);
    EXPECT_EQ(debuggee->WriteProperty(-1, 0x10, 2, data), E_INVALIDARG);
    EXPECT_THAT(transport.sent, IsEmpty());
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
}

// Out of memory at any allocation of a write or a read: the call says so
// (nothing thrown), and leaves no operation, no block and no request behind;
// the next call works.
TEST_F(DebuggeeMemoryTest, OutOfMemoryAnywhereInAMemoryOperationIsReportedAndLeavesNothing) {
    std::vector<uint8_t> data(40, 0x5a);  // three blocks
    const auto clear = [&] { transport.sent.clear(); };
    const std::vector<AllocationCase> cases = {
        {"WriteMemory", clear, [&] { return debuggee->WriteMemory(0x10, 40, data.data()); }},
        {"WriteProperty", clear, [&] { return debuggee->WriteProperty(7, 0x10, 40, data.data()); }},
        {"ReadMemory", clear, [&] { return debuggee->ReadMemory(0x10, 40, 1); }},
        {"ReadString", clear, [&] { return debuggee->ReadString(0x10, 2); }},
    };
    // The sinks are the test's: they stay out of the way while memory runs out.
    ASSERT_EQ(sinkConnection.Disconnect(), S_OK);
    ASSERT_EQ(traceConnection.Disconnect(), S_OK);
    FailEveryAllocation(
        cases,
        [&](const AllocationCase&, HRESULT hr, bool failed) {
            if (!failed) {
                EXPECT_EQ(hr, S_OK);
                debuggee->Cancel();
                return;
            }
            if (hr == S_OK) {
                // Only a trace line was lost: the operation runs whole.
                EXPECT_EQ(engine->OperationCount(), 1u);
                debuggee->Cancel();
                return;
            }
            EXPECT_EQ(hr, E_OUTOFMEMORY);
            EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
            EXPECT_EQ(engine->OperationCount(), 0u);
            EXPECT_EQ(engine->OutstandingBlocks(), 0u);
            EXPECT_EQ(engine->TotalBlocks(), 0);
            transport.sent.clear();
            Advance(600);  // nothing left to resend
            for (const std::string& body : Bodies())
                EXPECT_EQ(body, "PC");
        },
        1000);
    Listen();
    // After all that, a write runs to its end.
    ASSERT_EQ(debuggee->WriteMemory(0x10, 3, data.data()), S_OK);
    Answer(Last(), "A");
    EXPECT_EQ(Completions().back(), "Command 0 Operation completed successfully");
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
}

// ---------------------------------------------------------------- cancelling

TEST_F(DebuggeeMemoryTest, CancelReadWritesOffEachBlockThenCompletes) {
    ASSERT_EQ(debuggee->ReadMemory(0x100, 40, 5), S_OK);
    AnswerRead(1);
    EXPECT_EQ(debuggee->CancelRead(6), kNotFound);
    ASSERT_EQ(debuggee->CancelRead(5), S_OK);
    EXPECT_THAT(Progress(), ElementsAre("Progress 33", "Progress 66", "Progress 100"));
    ASSERT_THAT(Completions(), ElementsAre("Read 1223 Operation cancelled @100 len 0 #5"));
    EXPECT_TRUE(sink->LastRead().nullData);
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
    EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 0u);
    EXPECT_EQ(transport.GetRetransmitter().WaitingCount(), 0u);
    AnswerRead(0);  // too late: nothing
    EXPECT_EQ(Completions().size(), 1u);
    EXPECT_EQ(debuggee->CancelRead(5), kNotFound);
}

TEST_F(DebuggeeMemoryTest, CancelReadTakesTheOldestWithTheTagAndTheListGoesOn) {
    ASSERT_EQ(debuggee->ReadProperty(1, 0xff00, 2, 8), S_OK);
    ASSERT_EQ(debuggee->ReadMemory(0x10, 2, 8), S_OK);
    ASSERT_EQ(debuggee->ReadMemory(0x20, 2, 9), S_OK);
    EXPECT_THAT(Bodies(), ElementsAre("GP1"));
    ASSERT_EQ(debuggee->CancelRead(8), S_OK);  // the property read, whose "GP" is outstanding
    EXPECT_THAT(Completions(), ElementsAre("Read 1223 Operation cancelled @ff00 len 0 #8"));
    EXPECT_THAT(Bodies(1), ElementsAre("GM0010,02", "GM0020,02"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READ_MEMORY);
    Answer(transport.sent[0], "A");  // the cancelled "GP": ignored
    EXPECT_EQ(engine->OperationCount(), 2u);
    AnswerAll(1);
    EXPECT_EQ(Completions().size(), 3u);
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
}

TEST_F(DebuggeeMemoryTest, CancelEndsEveryOperationWithoutProgress) {
    ASSERT_EQ(debuggee->ReadMemory(0x10, 40, 1), S_OK);
    ASSERT_EQ(debuggee->ReadProperty(4, 0xff00, 2, 2), S_OK);
    AnswerRead(0);
    sink->events.clear();
    ASSERT_EQ(debuggee->Cancel(), S_OK);
    EXPECT_THAT(sink->Texts(), ElementsAre("Read 1223 Operation cancelled @10 len 0 #1",
                                           "Read 1223 Operation cancelled @ff00 len 0 #2"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
    EXPECT_EQ(engine->TotalBlocks(), 0);
    EXPECT_EQ(engine->CompleteBlocks(), 0);
    EXPECT_EQ(engine->OutstandingBlocks(), 0u);
    EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 0u);

    uint8_t data[1] = {7};
    ASSERT_EQ(debuggee->WriteProperty(4, 0xff00, 1, data), S_OK);
    Answer(Last(), "A");  // now "SR" is outstanding
    sink->events.clear();
    ASSERT_EQ(debuggee->EndDebug(), S_OK);
    EXPECT_THAT(sink->Texts(), ElementsAre("Command 1223 Operation cancelled"));
}

// ---------------------------------------------------------------- re-entrant sinks

TEST_F(DebuggeeMemoryTest, ANewOperationMayStartFromInsideEachCompletion) {
    int reads = 0;
    sink->onEvent = [&](const DebugEvent& event) {
        if (event.text.rfind("Read 0", 0) == 0 && reads++ == 0) {
            uint8_t data[2] = {0x55, 0x66};
            EXPECT_EQ(debuggee->WriteMemory(0x40, 2, data), S_OK);
        } else if (event.text == "Command 0 Operation completed successfully") {
            EXPECT_EQ(debuggee->ReadString(0x40, 2), S_OK);
        } else if (event.text.rfind("Read 1223", 0) == 0) {
            EXPECT_EQ(debuggee->ReadMemory(0x50, 1, 3), S_OK);
        }
    };
    ASSERT_EQ(debuggee->ReadMemory(0x10, 1, 1), S_OK);
    AnswerRead(0);
    EXPECT_THAT(Bodies(1), ElementsAre("SM0040,55,66"));
    Answer(Last(), "A");
    EXPECT_THAT(Bodies(2), ElementsAre("GM0040,02"));
    ASSERT_EQ(debuggee->CancelRead(2), S_OK);
    EXPECT_THAT(Bodies(3), ElementsAre("GM0050,01"));
    AnswerRead(3);
    EXPECT_THAT(Completions(), ElementsAre("Read 0 Operation completed successfully @10 len 1 #1",
                                           "Command 0 Operation completed successfully",
                                           "Read 1223 Operation cancelled @40 len 0 #2",
                                           "Read 0 Operation completed successfully @50 len 1 #3"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
}

TEST_F(DebuggeeMemoryTest, ASinkMayCancelFromProgressAndEveryReadStillEndsOnce) {
    ASSERT_EQ(debuggee->ReadMemory(0x10, 32, 1), S_OK);
    ASSERT_EQ(debuggee->ReadMemory(0x40, 16, 2), S_OK);
    sink->onEvent = [&](const DebugEvent& event) {
        if (event.text == "Progress 0")
            debuggee->Cancel();
        if (event.text.rfind("Read", 0) == 0) {
            EXPECT_EQ(debuggee->EndDebug(), S_OK);
        }
    };
    AnswerRead(2);  // completes the second read
    // The cancel came from an event fired after the second read had completed:
    // its completion reaches the host first.
    EXPECT_THAT(Completions(), ElementsAre("Read 0 Operation completed successfully @40 len 16 #2",
                                           "Read 1223 Operation cancelled @10 len 0 #1"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_IDLE);
    EXPECT_EQ(transport.ClientCount(), 0u);
}

TEST_F(DebuggeeMemoryTest, CancelledOperationsAreReportedAfterTheLinkIsDown) {
    ASSERT_EQ(debuggee->ReadMemory(0x10, 4, 1), S_OK);
    ASSERT_EQ(debuggee->ReadMemory(0x20, 4, 2), S_OK);
    std::vector<HRESULT> inside;
    sink->onEvent = [&](const DebugEvent&) { inside.push_back(debuggee->ReadMemory(0x30, 4, 3)); };
    ASSERT_EQ(debuggee->EndDebug(), S_OK);
    EXPECT_THAT(inside, ElementsAre(kNotReady, kNotReady));
    EXPECT_EQ(sink->Count("Read 1223 Operation cancelled @10 len 0 #1"), 1u);
    EXPECT_EQ(sink->Count("Read 1223 Operation cancelled @20 len 0 #2"), 1u);
}

}  // namespace
}  // namespace oskan::test
