#pragma once
// A debugger on a transport that records its frames instead of sending them,
// with sinks that keep copies of everything the events carry. The device's
// replies are handed to the transport by the test; time runs on the manual
// clock.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/mireldebuggee.h"
#include "tests/Mirel/RecordingDebugSink.h"
#include "tests/support/AllocationFailure.h"
#include "tests/support/ManualClockTest.h"
#include "tests/support/RecordingTransport.h"
#include "tests/support/TestSinks.h"
#include "winport/host/DispatchSink.h"
#include "winport/host/EventConnection.h"

namespace oskan::test {

class DebuggeeTransport : public RecordingTransport {
protected:
    BOOL SendDatagram(const void* bytes, int length) override {
        // The record is the test's, not the engine's: it never runs out of memory.
        AllocationFailure::Suspended suspended;
        return RecordingTransport::SendDatagram(bytes, length);
    }
    void OnRequestExpired(RetransmitterPacket* packet, const void* data, int length) override {
        AllocationFailure::Suspended suspended;
        RecordingTransport::OnRequestExpired(packet, data, length);
    }
};

struct TraceLine {
    int level;
    std::string text;
    bool operator==(const TraceLine&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const TraceLine& line) {
    return out << line.level << ":" << line.text;
}

class DebuggeeTest : public ManualClockTest {
public:
    // A state message as a device writes it.
    static std::string StateText(const char* status, uint32_t a, uint32_t b, uint32_t pc, uint32_t sp,
                                 const char* flags, long ticks = -1) {
        char text[128];
        int n = std::snprintf(text, sizeof text, "%s A:%04x B:%04x PC:%04x SP:%04x FL:%s", status, a, b, pc,
                              sp, flags);
        if (ticks >= 0)
            std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "/%ld", ticks);
        return text;
    }
    static std::string WithId(const std::string& text, uint32_t id) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "|%08x", id);
        return text + suffix;
    }
    // The request id at the end of a frame; 0 without one.
    static uint32_t IdOf(const std::string& frame) {
        size_t bar = frame.rfind('|');
        return bar == std::string::npos
                   ? 0
                   : static_cast<uint32_t>(std::stoul(frame.substr(bar + 1), nullptr, 16));
    }
    static std::string BodyOf(const std::string& frame) { return frame.substr(0, frame.rfind('|')); }

protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        source = TestEventSource::Create({IID__ISkDebuggeeEvents, DIID__ISkTrace});
        engine = std::make_unique<MirelDebuggee>(static_cast<IConnectionPointContainer*>(source.Get()),
                                                 &transport, source->Point(0), source->Point(1));
        sink = RecordingDebugSink::Create();
        traceSink = winport::DispatchSink::Create(DIID__ISkTrace, [this](DISPID, const DISPPARAMS& p) {
            AllocationFailure::Suspended suspended;  // the test's record
            trace.push_back({winport::DispatchSink::IntArg(p, 0), winport::DispatchSink::TextArg(p, 1)});
        });
        Listen();
        transport.SetNextRequestId(0x10);
        debuggee = engine.get();
    }
    void TearDown() override {
        sink->onEvent = nullptr;  // it may refer to the test's locals
        engine.reset();
        sinkConnection.Disconnect();
        traceConnection.Disconnect();
        ManualClockTest::TearDown();
    }

    // Connects both sinks to the engine's events.
    void Listen() {
        sinkConnection = winport::EventConnection(static_cast<IConnectionPointContainer*>(source.Get()),
                                                  IID__ISkDebuggeeEvents, sink.Get());
        ASSERT_EQ(sinkConnection.Result(), S_OK);
        traceConnection = winport::EventConnection(static_cast<IConnectionPointContainer*>(source.Get()),
                                                   DIID__ISkTrace, traceSink.Get());
        ASSERT_EQ(traceConnection.Result(), S_OK);
    }

    void Reply(const std::string& text) { transport.Reply(text); }
    // Answers the frame with its id.
    void Answer(const std::string& frame, const std::string& text) { Reply(WithId(text, IdOf(frame))); }
    const std::string& Last() const { return transport.Last(); }
    std::vector<std::string> Bodies(size_t from = 0) const {
        std::vector<std::string> bodies;
        for (size_t i = from; i < transport.sent.size(); ++i)
            bodies.push_back(BodyOf(transport.sent[i]));
        return bodies;
    }
    // Begins the link and answers its "PC" with a stopped machine.
    void Begin(const std::string& state = StateText("A***/00", 1, 2, 0x123, 0x10, "***", 5)) {
        ASSERT_EQ(debuggee->BeginDebug(), S_OK);
        Answer(Last(), state);
        ASSERT_EQ(engine->State(), MirelDebuggee::STATE_READY);
        sink->events.clear();
        trace.clear();
    }
    OSKAN_PCODE_MACHINE_STATE MachineState() {
        OSKAN_PCODE_MACHINE_STATE state{};
        EXPECT_EQ(debuggee->GetPCodeMachineState(&state), S_OK);
        return state;
    }

    DebuggeeTransport transport;
    ComPtr<TestEventSource> source;
    std::unique_ptr<MirelDebuggee> engine;
    ISkDebuggee* debuggee = nullptr;
    ComPtr<RecordingDebugSink> sink;
    winport::EventConnection sinkConnection;
    ComPtr<winport::DispatchSink> traceSink;
    winport::EventConnection traceConnection;
    std::vector<TraceLine> trace;
};

}  // namespace oskan::test
