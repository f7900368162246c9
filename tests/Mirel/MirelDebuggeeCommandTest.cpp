// The debugging link, its commands and the machine state, on a recording
// transport.

#include <functional>
#include <string>

#include "tests/Mirel/DebuggeeHarness.h"

namespace oskan::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr HRESULT kNotReady = static_cast<HRESULT>(0x80070015);

// ---------------------------------------------------------------- the link

TEST_F(DebuggeeTest, BeginDebugSynchronizesAndStateIsUnavailableUntilTheFirstReply) {
    ASSERT_EQ(debuggee->BeginDebug(), S_OK);
    EXPECT_EQ(debuggee->BeginDebug(), kNotReady);
    ASSERT_THAT(transport.sent, ElementsAre("PC|00000010"));
    EXPECT_THAT(trace, ElementsAre(TraceLine{3, "PC|00000010"}));
    OSKAN_PCODE_MACHINE_STATE state{};
    EXPECT_EQ(debuggee->GetPCodeMachineState(&state), kNotReady);
    EXPECT_EQ(debuggee->GetPCodeMachineState(nullptr), E_POINTER);

    Answer(Last(), StateText("A*R*/1f", 0xa, 0xb, 0x123, 0x10, "C*N", 4711));
    EXPECT_THAT(sink->Texts(), ElementsAre("KeepAlive", "Command 0 Operation comlpeted successfully"));
    state = MachineState();
    EXPECT_EQ(state.m_Mode, OPCM_MODE_RUNNING);
    EXPECT_EQ(state.m_lError, 0x1f);
    EXPECT_THAT(state.m_Registers, ElementsAre(0xau, 0xbu, 0x123u, 0x10u, 5u));
    EXPECT_EQ(state.m_dwTickCount, 4711u);
    EXPECT_EQ(trace.back(),
              (TraceLine{4, WithId(StateText("A*R*/1f", 0xa, 0xb, 0x123, 0x10, "C*N", 4711), 0x10)}));
}

TEST_F(DebuggeeTest, MethodsOutsideTheirStatesAreRefusedAndSendNothing) {
    OSKAN_PCODE_MACHINE_STATE state{};
    EXPECT_EQ(debuggee->GetPCodeMachineState(&state), kNotReady);
    EXPECT_EQ(debuggee->Run(), kNotReady);
    EXPECT_EQ(debuggee->SetCodeBreakpoints(nullptr, 0), kNotReady);
    EXPECT_EQ(debuggee->ReadMemory(0, 4, 0), kNotReady);
    EXPECT_EQ(debuggee->WriteMemory(0, 1, &state), kNotReady);
    EXPECT_EQ(debuggee->Cancel(), S_OK);
    EXPECT_EQ(debuggee->EndDebug(), S_OK);
    EXPECT_THAT(transport.sent, IsEmpty());

    ASSERT_EQ(debuggee->BeginDebug(), S_OK);  // "PC" outstanding
    transport.sent.clear();
    EXPECT_EQ(debuggee->Run(), kNotReady);
    EXPECT_EQ(debuggee->StepOut(), kNotReady);
    EXPECT_EQ(debuggee->SetMemoryBreakpoints(nullptr, 0), kNotReady);
    EXPECT_EQ(debuggee->ReadString(0, 0), kNotReady);
    EXPECT_THAT(transport.sent, IsEmpty());
    EXPECT_THAT(sink->Texts(), IsEmpty());
}

TEST_F(DebuggeeTest, KeepAliveGoesOutEveryTwoSecondsWithoutIdUntilEndDebug) {
    Begin();
    transport.sent.clear();
    AdvanceTo(1999);
    EXPECT_THAT(transport.sent, IsEmpty());
    AdvanceTo(2000);
    EXPECT_THAT(transport.sent, ElementsAre("PC"));
    EXPECT_THAT(trace, ElementsAre(TraceLine{5, "PC"}));
    ASSERT_EQ(debuggee->Run(), S_OK);  // other traffic does not move it
    Answer(Last(), StateText("A*R*/00", 0, 0, 0, 0, "***"));
    AdvanceTo(4000);
    EXPECT_EQ(transport.sent.back(), "PC");
    EXPECT_EQ(transport.sent.size(), 3u);

    ASSERT_EQ(debuggee->EndDebug(), S_OK);
    EXPECT_FALSE(engine->KeepAliveArmed());
    const size_t sent = transport.sent.size();
    Advance(10000);
    EXPECT_EQ(transport.sent.size(), sent);
}

TEST_F(DebuggeeTest, EndDebugCancelsTheCommandOnceAndSilencesEverythingAfter) {
    ASSERT_EQ(debuggee->BeginDebug(), S_OK);
    const std::string pc = Last();
    ASSERT_EQ(debuggee->EndDebug(), S_OK);
    EXPECT_THAT(sink->Texts(), ElementsAre("Command 1223 Operation cancelled"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_IDLE);
    EXPECT_EQ(transport.ClientCount(), 0u);
    EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 0u);
    Answer(pc, StateText("A***/00", 0, 0, 0, 0, "***"));
    Reply(StateText("J***/00", 0, 0, 9, 0, "***"));
    EXPECT_EQ(sink->events.size(), 1u);
    EXPECT_EQ(debuggee->EndDebug(), S_OK);
    EXPECT_EQ(sink->events.size(), 1u);
    // A new link starts afresh and keeps the state it had.
    ASSERT_EQ(debuggee->BeginDebug(), S_OK);
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_COMMAND);
}

TEST_F(DebuggeeTest, CancelInReadyFiresNothingAndDuringACommandCompletesItOnce) {
    Begin();
    EXPECT_EQ(debuggee->Cancel(), S_OK);
    EXPECT_THAT(sink->Texts(), IsEmpty());

    ASSERT_EQ(debuggee->Run(), S_OK);
    const std::string run = Last();
    EXPECT_EQ(debuggee->Cancel(), S_OK);
    EXPECT_EQ(debuggee->Cancel(), S_OK);
    EXPECT_THAT(sink->Texts(), ElementsAre("Command 1223 Operation cancelled"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
    EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 0u);
    // The late reply to the cancelled command changes nothing.
    Answer(run, StateText("A*R*/00", 0, 0, 0, 0, "***"));
    EXPECT_THAT(sink->Outcomes(), ElementsAre("Command 1223 Operation cancelled"));
    EXPECT_EQ(MachineState().m_Mode, OPCM_MODE_STOPPED_IDLE);
}

TEST_F(DebuggeeTest, ACommandUnansweredIsResentUntilCancelled) {
    Begin();
    ASSERT_EQ(debuggee->Break(), S_OK);
    const size_t first = transport.sent.size();
    Advance(600);
    ASSERT_GT(transport.sent.size(), first);
    EXPECT_EQ(transport.sent.back(), transport.sent[first - 1]);
    debuggee->Cancel();
    const size_t after = transport.sent.size();
    Advance(1500);  // only the keep-alive
    for (size_t i = after; i < transport.sent.size(); ++i)
        EXPECT_EQ(transport.sent[i], "PC");
}

// ---------------------------------------------------------------- commands and their requests

TEST_F(DebuggeeTest, RunAndStepRequestsCarryTheCodeBreakpoints) {
    Begin();
    auto command = [&](HRESULT hr) {
        EXPECT_EQ(hr, S_OK);
        std::string body = BodyOf(Last());
        Answer(Last(), StateText("A***/00", 1, 2, 0x123, 0x10, "***", 5));
        return body;
    };
    EXPECT_EQ(command(debuggee->Run()), "PR+");
    ULONG breakpoints[] = {0x10, 0x1A0};
    ASSERT_EQ(debuggee->SetCodeBreakpoints(breakpoints, 2), S_OK);
    EXPECT_EQ(engine->CodeBreakpointText(), "0010,01a0");
    EXPECT_EQ(command(debuggee->Run()), "PR+0010,01a0");
    EXPECT_EQ(command(debuggee->RunTo(0x2B)), "PR002b+0010,01a0");
    EXPECT_EQ(command(debuggee->StepInto(0x100, 0x1c)), "PO0100-1c+0010,01a0");
    EXPECT_EQ(command(debuggee->StepOver(0x100, 0x1c)), "PO0100-1c,0010+0010,01a0");
    EXPECT_EQ(command(debuggee->StepOut()), "PO0123-0,000f+0010,01a0");
    EXPECT_EQ(command(debuggee->Break()), "PB");
    EXPECT_EQ(command(debuggee->Restart()), "E");
    EXPECT_EQ(command(debuggee->StepInstruction()), "PS");
    EXPECT_EQ(command(debuggee->Synchronize()), "PC");
    ASSERT_EQ(debuggee->SetCodeBreakpoints(nullptr, 0), S_OK);
    EXPECT_EQ(command(debuggee->Run()), "PR+");
    EXPECT_EQ(sink->Count("Command 0 Operation comlpeted successfully"), 11u);
}

TEST_F(DebuggeeTest, StepOutUsesTheLastReceivedRegisters) {
    Begin(StateText("A***/00", 0, 0, 0x0123, 0x0010, "***"));
    ASSERT_EQ(debuggee->StepOut(), S_OK);
    EXPECT_EQ(BodyOf(Last()), "PO0123-0,000f+");
    EXPECT_EQ(trace.back(), (TraceLine{3, Last()}));
}

TEST_F(DebuggeeTest, RegisterWritesUseTheirPrefixesAndRefuseUnknownRegisters) {
    Begin();
    const char* expected[] = {"SA0007", "SB00ff", "SP1234", "SS0020", "SF0005"};
    const int values[] = {7, 0xff, 0x1234, 0x20, 5};
    for (int reg = 0; reg < 5; ++reg) {
        ASSERT_EQ(debuggee->SetRegisterValue(reg, values[reg]), S_OK);
        EXPECT_EQ(BodyOf(Last()), expected[reg]);
        Answer(Last(), StateText("A***/00", 0, 0, 0, 0, "***"));
    }
    const size_t sent = transport.sent.size();
    EXPECT_EQ(debuggee->SetRegisterValue(5, 1), E_INVALIDARG);
    EXPECT_EQ(debuggee->SetRegisterValue(-1, 1), E_INVALIDARG);
    EXPECT_EQ(transport.sent.size(), sent);
    ASSERT_EQ(debuggee->SetRegisterValue(0, -1), S_OK);
    EXPECT_EQ(BodyOf(Last()), "SAffffffff");
    EXPECT_EQ(debuggee->SetRegisterValue(1, 1), kNotReady);
}

TEST_F(DebuggeeTest, CodeBreakpointsWhileStoppedAreKeptAndWhileRunningSent) {
    Begin();
    const size_t sent = transport.sent.size();
    ULONG one[] = {0x42};
    ASSERT_EQ(debuggee->SetCodeBreakpoints(one, 1), S_OK);
    EXPECT_EQ(transport.sent.size(), sent);
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);

    ASSERT_EQ(debuggee->Run(), S_OK);
    Answer(Last(), StateText("A*R*/00", 0, 0, 0, 0, "***"));
    ULONG two[] = {0x42, 0xffff};
    ASSERT_EQ(debuggee->SetCodeBreakpoints(two, 2), S_OK);
    EXPECT_EQ(BodyOf(Last()), "CB0042,ffff");
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_COMMAND);
    EXPECT_EQ(debuggee->SetCodeBreakpoints(one, 1), kNotReady);
    EXPECT_EQ(engine->CodeBreakpointText(), "0042,ffff");
}

TEST_F(DebuggeeTest, BadCodeBreakpointListsAreRefusedAndLeaveTheOldList) {
    Begin();
    ULONG one[] = {0x42};
    ASSERT_EQ(debuggee->SetCodeBreakpoints(one, 1), S_OK);
    ULONG tooHigh[] = {0x10, 0x10000};
    EXPECT_EQ(debuggee->SetCodeBreakpoints(tooHigh, 2), E_INVALIDARG);
    EXPECT_EQ(debuggee->SetCodeBreakpoints(nullptr, 1), E_INVALIDARG);
    EXPECT_EQ(debuggee->SetCodeBreakpoints(one, -1), E_INVALIDARG);
    // As many as fit the longest request that carries them.
    std::vector<ULONG> many(47);
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = static_cast<ULONG>(i);
    EXPECT_EQ(debuggee->SetCodeBreakpoints(many.data(), 47), E_INVALIDARG);
    EXPECT_EQ(engine->CodeBreakpointText(), "0042");
    ASSERT_EQ(debuggee->SetCodeBreakpoints(many.data(), 46), S_OK);
    // The longest request that carries them still goes out whole.
    ASSERT_EQ(debuggee->Synchronize(), S_OK);
    Answer(Last(), StateText("A***/00", 0, 0, 0xffff, 0xffffffff, "***"));
    ASSERT_EQ(debuggee->StepOver(0xffff, 0xffffffff), S_OK);
    const std::string body = BodyOf(Last());
    EXPECT_EQ(body.size(), 25u + 46 * 5 - 1);
    EXPECT_EQ(body.substr(0, 25), "POffff-ffffffff,ffffffff+");
    EXPECT_EQ(body.substr(body.size() - 4), "002d");
}

TEST_F(DebuggeeTest, MemoryBreakpointRequestsAndRefusals) {
    Begin();
    OSKAN_MEMORY_BREAKPOINT one[] = {{OMBP_READ_WRITE, 0x200, 4}};
    ASSERT_EQ(debuggee->SetMemoryBreakpoints(one, 1), S_OK);
    EXPECT_EQ(BodyOf(Last()), "MBB0200-4");
    Answer(Last(), StateText("A***/00", 0, 0, 0, 0, "***"));
    OSKAN_MEMORY_BREAKPOINT three[] = {
        {OMBP_READ, 0x10, 0x20}, {OMBP_WRITE, 0xffff, 1}, {OMBP_READ_WRITE, 0, 0}};
    ASSERT_EQ(debuggee->SetMemoryBreakpoints(three, 3), S_OK);
    EXPECT_EQ(BodyOf(Last()), "MBR0010-20,Wffff-1,B0000-0");
    Answer(Last(), StateText("A***/00", 0, 0, 0, 0, "***"));
    ASSERT_EQ(debuggee->SetMemoryBreakpoints(nullptr, 0), S_OK);
    EXPECT_EQ(BodyOf(Last()), "MB");
    Answer(Last(), StateText("A***/00", 0, 0, 0, 0, "***"));
    ASSERT_EQ(debuggee->SetMemoryBreakpoints(one, 1), S_OK);
    Answer(Last(), StateText("A***/00", 0, 0, 0, 0, "***"));

    const size_t sent = transport.sent.size();
    OSKAN_MEMORY_BREAKPOINT badType[] = {{static_cast<OSKAN_MEMORY_BREAKPOINT_TYPE>(3), 0x10, 1}};
    OSKAN_MEMORY_BREAKPOINT negativeType[] = {{static_cast<OSKAN_MEMORY_BREAKPOINT_TYPE>(-1), 0x10, 1}};
    OSKAN_MEMORY_BREAKPOINT badAddress[] = {{OMBP_READ, 0x10000, 1}};
    EXPECT_EQ(debuggee->SetMemoryBreakpoints(badType, 1), E_INVALIDARG);
    EXPECT_EQ(debuggee->SetMemoryBreakpoints(negativeType, 1), E_INVALIDARG);
    EXPECT_EQ(debuggee->SetMemoryBreakpoints(badAddress, 1), E_INVALIDARG);
    EXPECT_EQ(debuggee->SetMemoryBreakpoints(nullptr, 2), E_INVALIDARG);
    EXPECT_EQ(debuggee->SetMemoryBreakpoints(one, -3), E_INVALIDARG);
    // 18 of the longest form fill 18 * 15 - 1 characters: more than fits.
    std::vector<OSKAN_MEMORY_BREAKPOINT> many(18, OSKAN_MEMORY_BREAKPOINT{OMBP_WRITE, 0xffff, 0xffffffff});
    EXPECT_EQ(debuggee->SetMemoryBreakpoints(many.data(), 18), E_INVALIDARG);
    EXPECT_EQ(transport.sent.size(), sent);
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_READY);
    ASSERT_EQ(engine->MemoryBreakpoints().size(), 1u);
    EXPECT_EQ(engine->MemoryBreakpoints()[0].m_dwAddress, 0x200u);
    ASSERT_EQ(debuggee->SetMemoryBreakpoints(many.data(), 17), S_OK);
    EXPECT_EQ(BodyOf(Last()).size(), 2u + 17 * 15 - 1);
}

// ---------------------------------------------------------------- replies

TEST_F(DebuggeeTest, CommandRepliesThatAreNotAcceptedOrDoNotParse) {
    Begin();
    ASSERT_EQ(debuggee->Run(), S_OK);
    const std::string run = Last();
    Answer(run, "E");
    Answer(run, StateText("N*R*/00", 0, 0, 0, 0, "***"));
    EXPECT_THAT(sink->Outcomes(), IsEmpty());
    Answer(run, "A*R*/00 A:1 B:2 PC:3 FL:***");  // no SP
    Answer(run, "A*R*/00 A:1 B:2 PC:3 SP:4 FL:***");
    EXPECT_THAT(sink->Outcomes(), ElementsAre("Error 8007000d Invalid PCM state response",
                                              "Command 0 Operation comlpeted successfully"));
    EXPECT_EQ(MachineState().m_Registers[3], 4u);
    // A reply to an earlier id, or one that comes again, is ignored.
    ASSERT_EQ(debuggee->Break(), S_OK);
    Answer(run, StateText("A***/00", 0, 0, 0, 0, "***"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_COMMAND);
    EXPECT_EQ(sink->Count("KeepAlive"), 5u);
}

TEST_F(DebuggeeTest, UnsolicitedStateMessagesAnnounceOnlyAChange) {
    const std::string stopped = StateText("A***/00", 1, 2, 3, 4, "***", 100);
    Begin(stopped);
    Reply(stopped);
    EXPECT_THAT(sink->Texts(), ElementsAre("KeepAlive"));
    Reply(StateText("A***/00", 1, 2, 3, 4, "***", 101));  // the tick count alone
    EXPECT_THAT(sink->Texts(), ElementsAre("KeepAlive", "KeepAlive", "StateChange"));
    EXPECT_EQ(MachineState().m_dwTickCount, 101u);
    Reply(StateText("J***/00", 1, 2, 0x40, 4, "***", 101));
    EXPECT_EQ(sink->Count("StateChange"), 2u);
    EXPECT_EQ(MachineState().m_Registers[2], 0x40u);
    EXPECT_THAT(trace,
                ElementsAre(TraceLine{6, stopped}, TraceLine{6, StateText("A***/00", 1, 2, 3, 4, "***", 101)},
                            TraceLine{7, StateText("J***/00", 1, 2, 0x40, 4, "***", 101)}));
    // Messages that are not states are passed over without trace.
    Reply("X***/00 A:1 B:2 PC:3 SP:4 FL:***");
    Reply("A***/00 garbage");
    Reply("A");
    EXPECT_EQ(sink->Count("StateChange"), 2u);
    EXPECT_EQ(sink->Count("KeepAlive"), 6u);
    EXPECT_EQ(trace.size(), 3u);
}

TEST_F(DebuggeeTest, UnsolicitedMessagesCountWhileACommandIsOutstanding) {
    Begin();
    ASSERT_EQ(debuggee->Run(), S_OK);
    Reply(StateText("J***/00", 0, 0, 0x77, 0, "***", 9));
    EXPECT_EQ(sink->Count("StateChange"), 1u);
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_COMMAND);
    Answer(Last(), StateText("A*R*/00", 0, 0, 0x80, 0, "***", 9));
    EXPECT_EQ(MachineState().m_Registers[2], 0x80u);
    EXPECT_EQ(sink->Count("StateChange"), 1u);  // a command reply announces no change
}

TEST_F(DebuggeeTest, RepliesOfOtherEnginesOnlyKeepAlive) {
    Begin();
    TransportClient* other = transport.OpenClient(nullptr, nullptr);
    uint32_t id = 0;
    transport.SendRequest(other, &id, "B");
    Reply(WithId("A", id));
    EXPECT_THAT(sink->Texts(), ElementsAre("KeepAlive"));
    EXPECT_THAT(trace, ElementsAre(TraceLine{4, WithId("A", id)}));
    transport.CloseClient(other);
    Reply("");
    EXPECT_EQ(sink->events.size(), 1u);
}

TEST(MirelDebuggeeParse, StateMessages) {
    OSKAN_PCODE_MACHINE_STATE state{};
    auto parse = [&](const std::string& text) {
        state = {};
        return MirelDebuggee::ParsePcmState(text.data(), static_cast<int>(text.size()), &state) != FALSE;
    };
    ASSERT_TRUE(parse("AE**/0a;A:ffffffff,B:0,PC:12ab,SP:fffe FL:*Z*/123456"));
    EXPECT_EQ(state.m_Mode, OPCM_MODE_FILE_ERROR);
    EXPECT_EQ(state.m_lError, 10);
    EXPECT_THAT(state.m_Registers, ElementsAre(0xffffffffu, 0u, 0x12abu, 0xfffeu, 2u));
    EXPECT_EQ(state.m_dwTickCount, 123456u);
    // No tick count; the first occurrence of a tag counts; values beyond 32 bits saturate.
    ASSERT_TRUE(parse("A**B/00 A:1 B:2 PC:3 SP:123456789 FL:CZN A:9"));
    EXPECT_EQ(state.m_Mode, OPCM_MODE_STOPPED_BUSY);
    EXPECT_THAT(state.m_Registers, ElementsAre(1u, 2u, 3u, 0xffffffffu, 7u));
    EXPECT_EQ(state.m_dwTickCount, 0u);
    ASSERT_TRUE(parse("A***/00 A:1 B:2 PC:3 SP:4 FL:*** x/77"));
    EXPECT_EQ(state.m_dwTickCount, 77u);
    EXPECT_EQ(state.m_Mode, OPCM_MODE_STOPPED_IDLE);

    EXPECT_FALSE(parse("A***/0"));
    EXPECT_FALSE(parse("A***/00 A: B:2 PC:3 SP:4 FL:***"));
    EXPECT_FALSE(parse("A***/00 A:1 B:2 PC:3 SP:4 FL:**"));
    EXPECT_FALSE(parse("A***/00 A:1 B:2 PC:3 SP:4"));
    EXPECT_FALSE(parse("A***/00 A:1 B:2 P:3 SP:4 FL:***"));
    EXPECT_FALSE(MirelDebuggee::ParsePcmState(nullptr, 10, &state));
    // Within the given length only.
    const std::string cut = "A***/00 A:1 B:2 PC:3 SP:4 FL:***";
    EXPECT_FALSE(MirelDebuggee::ParsePcmState(cut.data(), static_cast<int>(cut.size()) - 1, &state));
}

// ---------------------------------------------------------------- re-entrant sinks

TEST_F(DebuggeeTest, ASinkMayStartTheNextCommandFromACompletion) {
    Begin();
    int runs = 0;
    sink->onEvent = [&](const DebugEvent& event) {
        if (event.text.rfind("Command", 0) == 0 && runs < 4) {
            ++runs;
            EXPECT_EQ(debuggee->Run(), S_OK);
        }
    };
    ASSERT_EQ(debuggee->Break(), S_OK);
    for (int i = 0; i < 3; ++i)
        Answer(Last(), StateText("A*R*/00", 0, 0, 0, 0, "***"));
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_COMMAND);
    EXPECT_EQ(BodyOf(Last()), "PR+");
    // A cancel's completion may start one too; it stays outstanding.
    debuggee->Cancel();
    EXPECT_EQ(runs, 4);
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_COMMAND);
    EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 1u);
    EXPECT_EQ(sink->Count("Command 1223 Operation cancelled"), 1u);
}

TEST_F(DebuggeeTest, ASinkMayEndTheLinkFromOnKeepAlive) {
    Begin();
    ASSERT_EQ(debuggee->Run(), S_OK);
    sink->onEvent = [&](const DebugEvent& event) {
        if (event.text == "KeepAlive")
            debuggee->EndDebug();
    };
    Answer(Last(), StateText("A*R*/00", 0, 0, 0, 0, "***"));
    EXPECT_THAT(sink->Texts(), ElementsAre("KeepAlive", "Command 1223 Operation cancelled"));
    EXPECT_EQ(engine->State(), MirelDebuggee::STATE_IDLE);
}

TEST_F(DebuggeeTest, CommandsStartedFromEndDebugsCancellationAreRefused) {
    ASSERT_EQ(debuggee->BeginDebug(), S_OK);
    HRESULT inside = S_OK;
    sink->onEvent = [&](const DebugEvent&) { inside = debuggee->Run(); };
    ASSERT_EQ(debuggee->EndDebug(), S_OK);
    EXPECT_EQ(inside, kNotReady);
    EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 0u);
}

// ---------------------------------------------------------------- out of memory

// Every allocation of a call fails in turn, the trace events it queues
// included: the call answers E_OUTOFMEMORY or succeeds, nothing throws, and
// the link can be ended and begun again.
TEST_F(DebuggeeTest, OutOfMemoryAnywhereInALinkCallIsAnAnswerAndTheLinkStaysUsable) {
    ULONG breakpoints[] = {0x10, 0x20};
    OSKAN_MEMORY_BREAKPOINT memoryBreakpoints[] = {{OMBP_WRITE, 0x40, 2}};
    const auto begun = [&] { Begin(); };
    const auto reading = [&] {
        Begin();
        ASSERT_EQ(debuggee->ReadMemory(0x10, 40, 1), S_OK);
    };
    const auto running = [&] {
        Begin();
        ASSERT_EQ(debuggee->Run(), S_OK);
    };
    const std::vector<AllocationCase> cases = {
        {"BeginDebug", [] {}, [&] { return debuggee->BeginDebug(); }},
        {"EndDebug", reading, [&] { return debuggee->EndDebug(); }},
        {"EndDebug in a command", running, [&] { return debuggee->EndDebug(); }},
        {"Cancel", running, [&] { return debuggee->Cancel(); }},
        {"Cancel of reads", reading, [&] { return debuggee->Cancel(); }},
        {"CancelRead", reading, [&] { return debuggee->CancelRead(1); }},
        {"Synchronize", begun, [&] { return debuggee->Synchronize(); }},
        {"StepOut", begun, [&] { return debuggee->StepOut(); }},
        {"SetRegisterValue", begun, [&] { return debuggee->SetRegisterValue(1, 0x55); }},
        {"SetCodeBreakpoints", begun, [&] { return debuggee->SetCodeBreakpoints(breakpoints, 2); }},
        {"SetMemoryBreakpoints", begun, [&] { return debuggee->SetMemoryBreakpoints(memoryBreakpoints, 1); }},
    };
    // The debugger sink is the test's: it stays out of the way; the trace sink
    // takes its lines without allocating through the engine.
    ASSERT_EQ(sinkConnection.Disconnect(), S_OK);
    FailEveryAllocation(
        cases,
        [&](const AllocationCase& c, HRESULT hr, bool failed) {
            if (failed) {
                EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << std::hex << hr;
            } else {
                EXPECT_EQ(hr, S_OK);
            }
            if (hr == E_OUTOFMEMORY && std::string(c.name) == "BeginDebug") {
                EXPECT_EQ(engine->State(), MirelDebuggee::STATE_IDLE);
                EXPECT_EQ(transport.ClientCount(), 0u);
                EXPECT_FALSE(engine->KeepAliveArmed());
            }
            ASSERT_EQ(debuggee->EndDebug(), S_OK);
            EXPECT_EQ(transport.ClientCount(), 0u);
            EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 0u);
            Begin();
            ASSERT_EQ(debuggee->EndDebug(), S_OK);
        },
        1000);
}

}  // namespace
}  // namespace oskan::test
