// mirel debug against a simulated device: what it prints, how it exits, and
// that bad arguments send nothing. On the manual clock inside the test's
// network namespace.

#include "tools/mirel/DebugCommand.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "sim/SimPcodeMachine.h"
#include "tests/support/SimulatorTest.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using oskan::sim::MacAddress;
using oskan::sim::SimPcodeMachine;
using oskan::test::SimulatorTest;
using ::testing::ElementsAre;
using winport::ServiceLoop;

constexpr MacAddress kMac = {2, 0, 0, 1, 2, 3};

class DebugCommandTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        StartClockAt(70'000);
        device = AddDevice(kMac);
        device->SetMachineMode(oskan::sim::SimMachineMode::StoppedIdle);
    }
    // A link left up would leave its timer armed, which the fixture's tear-down catches.
    int Run(const std::string& operation, std::vector<std::string> arguments = {}, bool json = false) {
        mirel::DebugOptions options;
        options.mac = "2.0.0.1.2.3";
        options.operation = operation;
        options.arguments = std::move(arguments);
        options.json = json;
        options.breakpoints = breakpoints;
        options.timeoutSeconds = timeout;
        out.str("");
        err.str("");
        return mirel::RunDebug(options, out, err);
    }
    SimPcodeMachine& Machine() { return device->Machine(); }

    oskan::sim::SimDevice* device = nullptr;
    std::optional<std::string> breakpoints;
    double timeout = 5;
    std::ostringstream out, err;
};

TEST_F(DebugCommandTest, StatePrintsTheMachineAsTextOrJson) {
    Machine().SetRegister(oskan::sim::kRegA, 0xa1);
    Machine().SetRegister(oskan::sim::kRegPC, 0x123);
    Machine().SetRegister(oskan::sim::kRegFL, 5);
    device->SetErrorCode(0x1f);
    ASSERT_EQ(Run("state"), mirel::kExitOk) << err.str();
    EXPECT_EQ(out.str(), "stopped_idle error=1f A=00a1 B=0000 PC=0123 SP=f000 FL=5 ticks=0\n");
    ASSERT_EQ(Run("state", {}, true), mirel::kExitOk);
    EXPECT_EQ(out.str(),
              "{\"a\":161,\"b\":0,\"error\":31,\"flags\":5,\"mode\":\"stopped_idle\",\"pc\":291,\"sp\":61440,"
              "\"ticks\":0}\n");
    EXPECT_EQ(err.str(), "");
}

TEST_F(DebugCommandTest, RunWithBreakpointsThenTheMachineStopsThere) {
    breakpoints = "0x40,200";
    ASSERT_EQ(Run("run"), mirel::kExitOk) << err.str();
    EXPECT_EQ(out.str().substr(0, 8), "running ");
    EXPECT_THAT(Machine().CodeBreakpoints(), ElementsAre(0x40, 0x200));
    ServiceLoop::Current().AdvanceClock(SimPcodeMachine::kDefaultStopDelayMs);
    breakpoints.reset();
    ASSERT_EQ(Run("state"), mirel::kExitOk);
    EXPECT_EQ(out.str(), "stopped_idle error=0 A=0000 B=0000 PC=0040 SP=f000 FL=0 ticks=100\n");
    // While it runs, breakpoints go to the machine before the operation.
    ASSERT_EQ(Run("run"), mirel::kExitOk);
    breakpoints = "";
    ASSERT_EQ(Run("state"), mirel::kExitOk) << err.str();
    EXPECT_TRUE(Machine().CodeBreakpoints().empty());
    EXPECT_EQ(sim.RequestCount(kMac, "CB"), 1u);
}

TEST_F(DebugCommandTest, StepsRegistersAndMemoryBreakpoints) {
    ASSERT_EQ(Run("set-register", {"sp", "0x0f00"}), mirel::kExitOk) << err.str();
    EXPECT_EQ(Machine().Register(oskan::sim::kRegSP), 0xf00u);
    ASSERT_EQ(Run("step-over", {"100", "1c"}), mirel::kExitOk);
    EXPECT_EQ(Machine().Register(oskan::sim::kRegPC), 0x11cu);
    ASSERT_EQ(Run("run-to", {"0x300"}), mirel::kExitOk);
    ASSERT_EQ(Run("break"), mirel::kExitOk);
    ASSERT_EQ(Run("step"), mirel::kExitOk);
    EXPECT_EQ(Machine().Register(oskan::sim::kRegPC), 0x11du);
    ASSERT_EQ(Run("memory-breakpoints", {"r:10:2,w:0x20:4,b:ffff:1"}), mirel::kExitOk);
    ASSERT_EQ(Machine().MemoryBreakpoints().size(), 3u);
    EXPECT_EQ(Machine().MemoryBreakpoints()[1], (oskan::sim::SimMemoryBreakpoint{'W', 0x20, 4}));
    ASSERT_EQ(Run("memory-breakpoints"), mirel::kExitOk);
    EXPECT_TRUE(Machine().MemoryBreakpoints().empty());
    ASSERT_EQ(Run("restart"), mirel::kExitOk);
    EXPECT_EQ(out.str(), "running error=0 A=0000 B=0000 PC=0000 SP=f000 FL=0 ticks=0\n");
}

TEST_F(DebugCommandTest, ReadsPrintHexPairsAndWritesReachTheMemory) {
    ASSERT_EQ(Run("write", {"0x2000", "de:ad be-ef 00 7f"}), mirel::kExitOk) << err.str();
    EXPECT_EQ(Machine().Read(0x2000, 6), (std::vector<uint8_t>{0xde, 0xad, 0xbe, 0xef, 0x00, 0x7f}));
    ASSERT_EQ(Run("read", {"2000", "6"}), mirel::kExitOk);
    EXPECT_EQ(out.str(), "de ad be ef 00 7f\n");
    ASSERT_EQ(Run("read", {"2000", "2"}, true), mirel::kExitOk);
    EXPECT_EQ(out.str(), "{\"bytes\":\"de ad\",\"length\":2}\n");
    Machine().Write(0x3000, SimPcodeMachine::StringValue("hi", 8));
    ASSERT_EQ(Run("read-string", {"3000"}), mirel::kExitOk);
    EXPECT_EQ(out.str(), "02 08 68 69\n");
    ASSERT_EQ(Run("read-property", {"2", "ff00", "4"}), mirel::kExitOk);
    EXPECT_EQ(out.str(), "78 56 34 12\n");
    ASSERT_EQ(Run("write-property", {"2", "ff00", "0a0b0c0d"}), mirel::kExitOk);
    EXPECT_THAT(*Machine().Property(2), ElementsAre(0x0a, 0x0b, 0x0c, 0x0d));
    ASSERT_EQ(Run("read-string-property", {"3", "ff00"}), mirel::kExitOk);
    EXPECT_EQ(out.str(), "04 10 53 6b 4f 53\n");
}

TEST_F(DebugCommandTest, BadArgumentsExitWithUsageAndSendNothing) {
    const std::string notLength = " is not a length (hexadecimal, at least 1, within the 64 KiB of memory)";
    const std::string notBytes =
        " is not the bytes to write (hexadecimal pairs, within the 64 KiB of memory)";
    const std::string notBreakpoint = " is not a memory breakpoint (r:ADDR:LEN, w:ADDR:LEN or b:ADDR:LEN)";
    const std::vector<std::tuple<std::string, std::vector<std::string>, std::string>> cases = {
        {"jump",
         {},
         "'jump' is not an operation (state, run, break, restart, step, step-out, run-to, step-into, "
         "step-over, set-register, memory-breakpoints, read, read-string, read-property, "
         "read-string-property, write, write-property)"},
        {"state", {"1"}, "usage: mirel debug MAC state"},
        {"run-to", {}, "usage: mirel debug MAC run-to ADDR"},
        {"run-to", {"10000"}, "'10000' is not an address (hexadecimal, 0 to ffff)"},
        {"run-to", {"0xg"}, "'0xg' is not an address (hexadecimal, 0 to ffff)"},
        {"step-into", {"100"}, "usage: mirel debug MAC step-into ADDR LEN"},
        {"step-over", {"100", "zz"}, "'zz' is not a length (hexadecimal)"},
        {"set-register", {"ip", "1"}, "'ip' is not a register (a, b, pc, sp or fl)"},
        {"set-register", {"a", "123456789"}, "'123456789' is not a value (hexadecimal, at most 8 digits)"},
        {"read", {"100", "0"}, "'0'" + notLength},
        {"read", {"ffff", "2"}, "'2'" + notLength},
        {"read-string", {"ffff"}, "a string needs two bytes of header at its address"},
        {"read-property", {"-1", "100", "4"}, "'-1' is not a system call number (decimal)"},
        {"read-string-property", {"x", "100"}, "'x' is not a system call number (decimal)"},
        {"write", {"100", "abc"}, "'abc'" + notBytes},
        {"write", {"100", "a bc"}, "'a bc'" + notBytes},
        {"write", {"100", ""}, "''" + notBytes},
        {"write-property", {"2", "100"}, "usage: mirel debug MAC write-property SYSCALL ADDR HEXBYTES"},
        {"memory-breakpoints", {"x:10:2"}, "'x:10:2'" + notBreakpoint},
        {"memory-breakpoints", {"r:10"}, "'r:10'" + notBreakpoint},
        {"memory-breakpoints", {"r:10:2,"}, "''" + notBreakpoint},
        {"memory-breakpoints",
         {"r:1:1", "w:2:2"},
         "usage: mirel debug MAC memory-breakpoints [r:ADDR:LEN,w:ADDR:LEN,b:ADDR:LEN]"},
    };
    for (const auto& [operation, arguments, problem] : cases) {
        EXPECT_EQ(Run(operation, arguments), mirel::kExitUsage) << operation;
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(err.str(), "mirel: " + problem + "\n") << operation;
    }
    for (const char* list : {"10,zz", "10,", ",10", "10000"}) {
        breakpoints = list;
        EXPECT_EQ(Run("run"), mirel::kExitUsage) << list;
    }
    breakpoints.reset();
    timeout = 0;
    EXPECT_EQ(Run("state"), mirel::kExitUsage);
    mirel::DebugOptions badMac;
    badMac.mac = "2.0.0.1.2";
    badMac.operation = "state";
    EXPECT_EQ(mirel::RunDebug(badMac, out, err), mirel::kExitUsage);
    ServiceLoop::Current().RunUntil([] { return false; }, 100);
    EXPECT_EQ(sim.DatagramsReceived(), 0u);
}

TEST_F(DebugCommandTest, ASilentDeviceTimesOutAndTheLinkEnds) {
    oskan::sim::SimFaults faults;
    faults.silentKinds = {"GM"};
    sim.SetFaults(kMac, faults);
    timeout = 2;
    const uint64_t start = ServiceLoop::Current().NowMs();
    EXPECT_EQ(Run("read", {"100", "4"}), mirel::kExitTimeout);
    EXPECT_EQ(ServiceLoop::Current().NowMs() - start, 2000u);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "mirel: timed out after 2 s waiting for the read from 2.0.0.1.2.3\n");
    const uint64_t requests = sim.RequestCount(kMac, "GM");
    ServiceLoop::Current().RunUntil([] { return false; }, 3000);
    EXPECT_EQ(sim.RequestCount(kMac, "GM"), requests);
}

TEST_F(DebugCommandTest, StateRepliesThatCannotBeReadAreADeviceError) {
    auto handlers = std::make_shared<oskan::sim::SimHandlers>(*oskan::sim::SimHandlers::Defaults());
    handlers->Add(
        "PC", [](oskan::sim::SimDevice&, const oskan::sim::SimCommand&, std::vector<std::string>& replies) {
            replies.emplace_back("A***/00 no registers");
        });
    sim.AddDevice(std::make_unique<oskan::sim::SimDevice>(MacAddress{2, 0, 0, 1, 2, 4}, handlers));
    mirel::DebugOptions options;
    options.mac = "2.0.0.1.2.4";
    options.operation = "state";
    options.timeoutSeconds = 1;
    EXPECT_EQ(mirel::RunDebug(options, out, err), mirel::kExitDeviceError);
    EXPECT_EQ(err.str(),
              "mirel: 2.0.0.1.2.4 answered the first machine state with replies that could not be read "
              "(Invalid PCM "
              "state response)\n");
}

TEST_F(DebugCommandTest, TheSubcommandTakesItsArgumentsAndOptions) {
    auto runCli = [](std::vector<std::string> args) {
        mirel::DebugCommand command;
        CLI::App app("test", "mirel");
        CLI::App* sub = command.Register(app);
        std::reverse(args.begin(), args.end());
        try {
            app.parse(args);
        } catch (const CLI::ParseError&) {
            return mirel::kExitUsage;
        }
        return sub->parsed() ? command.Run() : mirel::kExitUsage;
    };
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(runCli({"debug", "2.0.0.1.2.3", "step-into", "0x100", "8", "--breakpoints", "10,20", "--json"}),
              mirel::kExitOk);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("\"pc\":264"), std::string::npos) << printed;
    EXPECT_THAT(Machine().CodeBreakpoints(), ElementsAre(0x10, 0x20));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(runCli({"debug", "2.0.0.1.2.3", "run", "--breakpoints", ""}), mirel::kExitOk);
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(Machine().CodeBreakpoints().empty());
    EXPECT_EQ(runCli({"debug", "2.0.0.1.2.3"}), mirel::kExitUsage);
}

TEST(DebugCommandText, HexArgumentsAndOutput) {
    EXPECT_EQ(mirel::ParseHexNumber("0x1A"), 0x1au);
    EXPECT_EQ(mirel::ParseHexNumber("ffffffff"), 0xffffffffu);
    EXPECT_EQ(mirel::ParseHexNumber("0X0"), 0u);
    for (const char* bad : {"", "0x", "x1", "-1", "1 ", "123456789", "1g"})
        EXPECT_FALSE(mirel::ParseHexNumber(bad)) << bad;
    EXPECT_EQ(mirel::ParseHexBytes("0x0102"), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(mirel::ParseHexBytes("AB:cd"), (std::vector<uint8_t>{0xab, 0xcd}));
    EXPECT_EQ(mirel::ParseHexBytes(""), std::vector<uint8_t>{});
    for (const char* bad : {"1", "a:bc", "zz", "01 0", "0x"})
        EXPECT_FALSE(mirel::ParseHexBytes(bad)) << bad;
    const uint8_t bytes[] = {0, 0x7f, 0xff};
    EXPECT_EQ(mirel::FormatBytes(bytes, 3), "00 7f ff");
    EXPECT_EQ(mirel::FormatBytes(bytes, 0), "");
    OSKAN_PCODE_MACHINE_STATE state{OPCM_MODE_FILE_ERROR, -1, {1, 2, 3, 4, 7}, 4000000000u};
    EXPECT_EQ(mirel::FormatMachineState(state, false),
              "file_error error=ffffffff A=0001 B=0002 PC=0003 SP=0004 FL=7 ticks=4000000000");
    EXPECT_EQ(mirel::FormatMachineState(state, true),
              "{\"a\":1,\"b\":2,\"error\":-1,\"flags\":7,\"mode\":\"file_error\",\"pc\":3,\"sp\":4,\"ticks\":"
              "4000000000}");
}

}  // namespace
