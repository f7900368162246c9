// The debugger end to end: ISkDebuggee on the device object, a simulated
// device's P-code machine answering, and the object's lifetime around the
// events. Runs on the manual clock inside the test's network namespace.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/mireldebuggee.h"
#include "Mirel/mireludpdevice.h"
#include "sim/SimPcodeMachine.h"
#include "tests/Mirel/RecordingDebugSink.h"
#include "tests/support/Advise.h"
#include "tests/support/SimulatorTest.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/loop/ServiceLoop.h"

namespace oskan::test {
namespace {

using oskan::sim::MacAddress;
using oskan::sim::SimPcodeMachine;
using oskan::test::SimulatorTest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using winport::ServiceLoop;

constexpr MacAddress kMac = {2, 0, 0, 1, 2, 3};
constexpr const char* kCommandDone = "Command 0 Operation comlpeted successfully";
constexpr const char* kWriteDone = "Command 0 Operation completed successfully";

class MirelDebuggeeDeviceTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        StartClockAt(2'000'000);
        machineDevice = AddDevice(kMac);
        machineDevice->SetMachineMode(oskan::sim::SimMachineMode::StoppedIdle);
        ASSERT_EQ(CMirelUdpDevice::CreateInstance(IID_ISkDebuggee, debuggee.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        ComPtr<ISkConnection> connection;
        ASSERT_EQ(debuggee.As(IID_ISkConnection, &connection), S_OK);
        ASSERT_EQ(connection->put_Address(winport::Bstr::FromUtf8("2.0.0.1.2.3").get()), S_OK);
        ASSERT_EQ(connection->Connect(), S_OK);
        sink = RecordingDebugSink::Create();
        Advise(IID__ISkDebuggeeEvents, sink.Get());
        traceSink = winport::DispatchSink::Create(DIID__ISkTrace, [this](DISPID, const DISPPARAMS& p) {
            traceLevels.push_back(winport::DispatchSink::IntArg(p, 0));
        });
        Advise(DIID__ISkTrace, traceSink.Get());
    }
    void TearDown() override {
        sink->onEvent = nullptr;
        debuggee.Reset();
        SimulatorTest::TearDown();
    }

    void Advise(REFIID iid, IUnknown* eventSink) {
        ASSERT_EQ(oskan::test::Advise(debuggee.Get(), iid, eventSink), S_OK);
    }
    bool WaitFor(const std::string& text, size_t count = 1, uint32_t timeoutMs = 10000) {
        return ServiceLoop::Current().RunUntil([&] { return sink->Count(text) >= count; }, timeoutMs);
    }
    void Begin() {
        ASSERT_EQ(debuggee->BeginDebug(), S_OK);
        ASSERT_TRUE(WaitFor(kCommandDone));
    }
    OSKAN_PCODE_MACHINE_STATE State() {
        OSKAN_PCODE_MACHINE_STATE state{};
        EXPECT_EQ(debuggee->GetPCodeMachineState(&state), S_OK);
        return state;
    }
    SimPcodeMachine& Machine() { return machineDevice->Machine(); }

    oskan::sim::SimDevice* machineDevice = nullptr;
    ComPtr<ISkDebuggee> debuggee;
    ComPtr<RecordingDebugSink> sink;
    ComPtr<winport::DispatchSink> traceSink;
    std::vector<LONG> traceLevels;
};

TEST_F(MirelDebuggeeDeviceTest, RunsToABreakpointAndHearsTheMachineStop) {
    Begin();
    OSKAN_PCODE_MACHINE_STATE state = State();
    EXPECT_EQ(state.m_Mode, OPCM_MODE_STOPPED_IDLE);
    EXPECT_EQ(state.m_Registers[3], SimPcodeMachine::kInitialSP);

    ULONG breakpoints[] = {0x40, 0x400};
    ASSERT_EQ(debuggee->SetCodeBreakpoints(breakpoints, 2), S_OK);
    ASSERT_EQ(debuggee->Run(), S_OK);
    ASSERT_TRUE(WaitFor(kCommandDone, 2));
    EXPECT_EQ(State().m_Mode, OPCM_MODE_RUNNING);
    EXPECT_THAT(Machine().CodeBreakpoints(), ElementsAre(0x40, 0x400));
    ASSERT_TRUE(WaitFor("StateChange"));
    state = State();
    EXPECT_EQ(state.m_Mode, OPCM_MODE_STOPPED_IDLE);
    EXPECT_EQ(state.m_Registers[2], 0x40u);
    EXPECT_EQ(state.m_dwTickCount, SimPcodeMachine::kDefaultStopDelayMs);
    EXPECT_THAT(traceLevels, ::testing::Contains(7));
    EXPECT_THAT(traceLevels, ::testing::Contains(3));
    EXPECT_THAT(traceLevels, ::testing::Contains(4));
}

TEST_F(MirelDebuggeeDeviceTest, KeepAliveAnnouncesTheTicksOfARunningMachineOnly) {
    Begin();
    ASSERT_EQ(debuggee->Run(), S_OK);
    ASSERT_TRUE(WaitFor(kCommandDone, 2));
    ASSERT_TRUE(WaitFor("StateChange", 2, 4100));  // two keep-alives, each with new ticks
    EXPECT_THAT(traceLevels, ::testing::Contains(5));
    ASSERT_EQ(debuggee->Break(), S_OK);
    ASSERT_TRUE(WaitFor(kCommandDone, 3));
    const size_t changes = sink->Count("StateChange");
    const size_t keepAlives = sink->Count("KeepAlive");
    ServiceLoop::Current().RunUntil([] { return false; }, 6500);
    EXPECT_GE(sink->Count("KeepAlive"), keepAlives + 3);
    EXPECT_EQ(sink->Count("StateChange"), changes);
}

TEST_F(MirelDebuggeeDeviceTest, RegistersStepsAndMemoryBreakpointsReachTheMachine) {
    Begin();
    ASSERT_EQ(debuggee->SetRegisterValue(0, 0x1234), S_OK);
    ASSERT_TRUE(WaitFor(kCommandDone, 2));
    EXPECT_EQ(State().m_Registers[0], 0x1234u);
    EXPECT_EQ(Machine().Register(oskan::sim::kRegA), 0x1234u);
    ASSERT_EQ(debuggee->StepInto(0x100, 6), S_OK);
    ASSERT_TRUE(WaitFor(kCommandDone, 3));
    EXPECT_EQ(State().m_Registers[2], 0x106u);
    OSKAN_MEMORY_BREAKPOINT watch[] = {{OMBP_WRITE, 0x300, 2}};
    ASSERT_EQ(debuggee->SetMemoryBreakpoints(watch, 1), S_OK);
    ASSERT_TRUE(WaitFor(kCommandDone, 4));
    ASSERT_EQ(Machine().MemoryBreakpoints().size(), 1u);
    EXPECT_EQ(Machine().MemoryBreakpoints()[0].type, 'W');
}

TEST_F(MirelDebuggeeDeviceTest, MemoryAndPropertiesRoundTrip) {
    Begin();
    std::vector<uint8_t> data(40);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(debuggee->WriteMemory(0x1000, 40, data.data()), S_OK);
    ASSERT_TRUE(WaitFor(kWriteDone));
    EXPECT_EQ(Machine().Read(0x1000, 40), data);
    ASSERT_EQ(debuggee->ReadMemory(0x1000, 40, 1), S_OK);
    ASSERT_EQ(debuggee->ReadProperty(2, SimPcodeMachine::kDefaultScratch, 4, 2), S_OK);
    ASSERT_EQ(debuggee->ReadStringProperty(3, SimPcodeMachine::kDefaultScratch, 3), S_OK);
    std::vector<DebugEvent> reads;
    sink->onEvent = [&](const DebugEvent& event) {
        if (event.text.rfind("Read", 0) == 0)
            reads.push_back(event);
    };
    ASSERT_TRUE(ServiceLoop::Current().RunUntil([&] { return reads.size() >= 3; }, 10000));
    ASSERT_EQ(reads.size(), 3u);
    sink->onEvent = nullptr;
    EXPECT_EQ(reads[0].data, data);
    EXPECT_THAT(reads[1].data, ElementsAre(0x78, 0x56, 0x34, 0x12));
    EXPECT_EQ(reads[2].text, "Read 0 Operation completed successfully @ff00 len 6 #3");
    EXPECT_THAT(reads[2].data, ElementsAre(4, 16, 'S', 'k', 'O', 'S'));

    const std::vector<uint8_t> name = SimPcodeMachine::StringValue("Pump-2", 16);
    ASSERT_EQ(debuggee->WriteProperty(3, SimPcodeMachine::kDefaultScratch, static_cast<ULONG>(name.size()),
                                      const_cast<uint8_t*>(name.data())),
              S_OK);
    ASSERT_TRUE(WaitFor(kWriteDone, 2));
    EXPECT_EQ(*Machine().Property(3), name);
}

TEST_F(MirelDebuggeeDeviceTest, ReadsCompleteThroughLostAndLateReplies) {
    oskan::sim::SimFaults faults;
    faults.dropReply = 0.3;
    faults.jitterMs = 40;
    sim.SetFaults(kMac, faults);
    Begin();
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i ^ (i >> 8));
    Machine().Write(0x4000, data);
    ASSERT_EQ(debuggee->ReadMemory(0x4000, 1024, 9), S_OK);
    ASSERT_TRUE(ServiceLoop::Current().RunUntil([&] { return !sink->LastRead().text.empty(); }, 120000));
    EXPECT_EQ(sink->LastRead().text, "Read 0 Operation completed successfully @4000 len 1024 #9");
    EXPECT_EQ(sink->LastRead().data, data);
    EXPECT_EQ(sink->Count("Progress 100"), 1u);
}

TEST_F(MirelDebuggeeDeviceTest, TheLastReleaseMayComeFromInsideACompletion) {
    Begin();
    sink->onEvent = [&](const DebugEvent& event) {
        if (event.text.rfind("Read", 0) == 0)
            debuggee.Reset();
    };
    ASSERT_EQ(debuggee->ReadMemory(0x10, 64, 4), S_OK);
    ASSERT_TRUE(ServiceLoop::Current().RunUntil([&] { return !debuggee; }, 10000));
    EXPECT_EQ(sink->LastRead().text, "Read 0 Operation completed successfully @10 len 64 #4");
}

TEST_F(MirelDebuggeeDeviceTest, DestructionEndsTheLinkAndCancelsWhatIsOutstanding) {
    oskan::sim::SimFaults faults;
    faults.silentKinds = {"GM"};
    sim.SetFaults(kMac, faults);
    Begin();
    ASSERT_EQ(debuggee->ReadMemory(0x10, 4, 6), S_OK);
    ServiceLoop::Current().RunUntil([] { return false; }, 3000);
    EXPECT_EQ(sink->LastRead().text, "");
    debuggee.Reset();
    EXPECT_EQ(sink->LastRead().text, "Read 1223 Operation cancelled @10 len 0 #6");
    EXPECT_GE(sim.RequestCount(kMac, "GM"), 4u);  // resent until the end
}

}  // namespace
}  // namespace oskan::test
