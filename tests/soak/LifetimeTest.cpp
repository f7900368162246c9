// Lifetime: the device object released, or the part that fired cancelled,
// from inside each of its events, while commands, an upload and the debugger
// are all busy. Meant for the sanitizer build: a use after free there fails
// the run. Each case checks that its event came, and that every operation
// still completes exactly once.

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/soak/SoakHarness.h"
#include "tests/support/SimulatorTest.h"
#include "tests/support/TempFolder.h"

namespace oskan::soak {
namespace {

const sim::MacAddress kMac = sim::MacFromNumber(0x020000010000ull);
enum class Action { Release, Cancel };

struct Case {
    const char* event;  // the event's name as OnEvent sees it
    Action action;
};

std::ostream& operator<<(std::ostream& out, const Case& c) {
    return out << c.event << (c.action == Action::Release ? " release" : " cancel");
}

class LifetimeTest : public test::SimulatorTest, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        StartClockAt(9'000'000);
        AddDevices(sim, 1);
        folder.Write("fw.bin", std::string(128 * 60, 'f'));
    }
    // Runs the loop for a while of the manual clock.
    static void Run(uint32_t ms) {
        ServiceLoop::Current().RunUntil([] { return false; }, ms);
    }

    // Every event of the object, by name; the first one named by the case
    // triggers its action.
    void OnEvent(const std::string& name) {
        if (name == "Command")
            ++commands;
        if (name == "LoadComplete")
            ++loads;
        if (name == "Read")
            ++reads;
        if (!host || !host->Alive() || reached || name != GetParam().event)
            return;
        reached = true;
        if (GetParam().action == Action::Release) {
            host->ReleaseObject();  // the only references
            return;
        }
        if (name == "Connect")
            host->connection->Disconnect();
        else if (name == "Command")
            host->target->Cancel();
        else if (name.rfind("Load", 0) == 0)
            host->loader->Cancel();
        else
            host->debuggee->Cancel();
    }

    oskan::test::TempFolder folder{"oskan-lifetime"};
    const std::string& dir = folder.Path();
    std::unique_ptr<DeviceHost> host;
    bool reached = false;
    int commands = 0, loads = 0, reads = 0;
    int commandsStarted = 0, loadsStarted = 0, readsStarted = 0;
};

TEST_P(LifetimeTest, EventHandlerMayReleaseOrCancel) {
    host = std::make_unique<DeviceHost>(MacText(kMac).c_str());
    auto route = [this](const char* name) {
        return [this, name](DISPID, const DISPPARAMS&) { OnEvent(name); };
    };
    auto connection = DispatchSink::Create(DIID__ISkConnectionEvents, route("Connect"));
    auto trace = DispatchSink::Create(DIID__ISkTrace, route("Trace"));
    auto loader = DispatchSink::Create(DIID__ISkLoaderEvents, [this](DISPID id, const DISPPARAMS&) {
        OnEvent(id == DISPID_OnLoadProgress ? "LoadProgress" : "LoadComplete");
    });
    auto commandSink = DispatchSink::Create(DIID__ISkCmdTargetEvents, route("Command"));
    EXPECT_EQ(test::Advise(host->connection.Get(), DIID__ISkConnectionEvents, connection.Get()), S_OK);
    EXPECT_EQ(test::Advise(host->connection.Get(), DIID__ISkTrace, trace.Get()), S_OK);
    EXPECT_EQ(test::Advise(host->connection.Get(), DIID__ISkLoaderEvents, loader.Get()), S_OK);
    EXPECT_EQ(test::Advise(host->connection.Get(), DIID__ISkCmdTargetEvents, commandSink.Get()), S_OK);
    host->debugSink->onEvent = [this](const test::DebugEvent& event) {
        const std::string& text = event.text;
        OnEvent(text.rfind("Command", 0) == 0 ? "DebugCommand" : text.substr(0, text.find(' ')));
    };
    // Each step only while the object lives: an event of an earlier step may
    // have released it. Connect ran in the host's constructor: disconnect and
    // connect again so that its completion reaches the sink.
    auto step = [this](auto&& f) {
        if (host->Alive())
            f();
    };
    step([&] { EXPECT_EQ(host->connection->Disconnect(), S_OK); });
    step([&] { EXPECT_EQ(host->connection->Connect(), S_OK); });
    for (int i = 0; i < 3; ++i)
        step([&] { commandsStarted += host->Command(u"X", i) == S_OK; });
    step([&] { loadsStarted += host->Load(dir + "/fw.bin", 0) == S_OK; });
    step([&] { EXPECT_EQ(host->debuggee->BeginDebug(), S_OK); });
    Run(2000);
    step([&] { readsStarted += host->debuggee->ReadMemory(0x100, 600, 1) == S_OK; });
    Run(2000);
    // The machine starts and is stopped: its state changes.
    step([&] { EXPECT_EQ(host->debuggee->Run(), S_OK); });
    Run(2000);
    step([&] { EXPECT_EQ(host->debuggee->Break(), S_OK); });
    Run(30000);
    EXPECT_TRUE(reached) << GetParam();
    host->ReleaseObject();
    // Gone for good: after what its destruction sent, nothing more goes out,
    // and every operation ended once.
    Run(100);
    const uint64_t heard = sim.DatagramsReceived();
    Run(10000);
    EXPECT_EQ(sim.DatagramsReceived(), heard);
    EXPECT_EQ(commands, commandsStarted);
    EXPECT_EQ(loads, loadsStarted);
    EXPECT_EQ(reads, readsStarted);
}

INSTANTIATE_TEST_SUITE_P(EveryEvent, LifetimeTest,
                         ::testing::ValuesIn(std::vector<Case>{
                             {"Connect", Action::Release},      {"Connect", Action::Cancel},
                             {"Command", Action::Release},      {"Command", Action::Cancel},
                             {"LoadProgress", Action::Release}, {"LoadProgress", Action::Cancel},
                             {"LoadComplete", Action::Release}, {"LoadComplete", Action::Cancel},
                             {"DebugCommand", Action::Release}, {"DebugCommand", Action::Cancel},
                             {"StateChange", Action::Release},  {"StateChange", Action::Cancel},
                             {"KeepAlive", Action::Release},    {"KeepAlive", Action::Cancel},
                             {"Progress", Action::Release},     {"Progress", Action::Cancel},
                             {"Read", Action::Release},         {"Read", Action::Cancel},
                             {"Trace", Action::Release},        {"Trace", Action::Cancel}}));

}  // namespace
}  // namespace oskan::soak
