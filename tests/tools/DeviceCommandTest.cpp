// mirel command, buzz, reboot and change-mac against simulated devices: what
// they print, how they exit, and that bad arguments send nothing. On the
// manual clock inside the test's network namespace.

#include "tools/mirel/DeviceCommand.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/SimulatorTest.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using oskan::sim::MacAddress;
using oskan::test::SimulatorTest;
using winport::ServiceLoop;

constexpr MacAddress kMac = {2, 0, 0, 1, 2, 3};

class DeviceCommandTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        StartClockAt(50'000);
        device = AddDevice(kMac, "4.2");
    }
    int Run(mirel::DeviceCommandOptions options) {
        out.str("");
        err.str("");
        return mirel::RunDeviceCommand(options, out, err);
    }
    int Run(const std::string& mac, const std::string& text) { return Run({mac, text}); }
    // Runs a subcommand the way the mirel program does.
    int RunCli(std::vector<std::string> args) {
        std::vector<std::unique_ptr<mirel::Command>> commands;
        commands.push_back(std::make_unique<mirel::TextCommand>());
        commands.push_back(std::make_unique<mirel::BuzzCommand>());
        commands.push_back(std::make_unique<mirel::RebootCommand>());
        commands.push_back(std::make_unique<mirel::ChangeMacCommand>());
        CLI::App app("test", "mirel");
        app.require_subcommand(1);
        std::vector<std::pair<CLI::App*, mirel::Command*>> registered;
        for (auto& command : commands)
            registered.emplace_back(command->Register(app), command.get());
        std::reverse(args.begin(), args.end());
        try {
            app.parse(args);
        } catch (const CLI::ParseError&) {
            return mirel::kExitUsage;
        }
        for (auto& [sub, command] : registered)
            if (sub->parsed())
                return command->Run();
        return -1;
    }

    oskan::sim::SimDevice* device = nullptr;
    std::ostringstream out, err;
};

TEST_F(DeviceCommandTest, ReplyIsPrintedAndAcceptanceExitsZero) {
    EXPECT_EQ(Run("2.0.0.1.2.3", "X"), mirel::kExitOk);
    EXPECT_EQ(out.str(), "A4.2//\n");
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(Run("2.0.0.1.2.3", "B"), mirel::kExitOk);
    EXPECT_EQ(out.str(), "A\n");
    EXPECT_EQ(device->BuzzCount(), 1u);
}

TEST_F(DeviceCommandTest, AnyOtherStatusIsADeviceError) {
    device->SetUnknownReply("Nnope");
    EXPECT_EQ(Run("2.0.0.1.2.3", "ZZ"), mirel::kExitDeviceError);
    EXPECT_EQ(out.str(), "Nnope\n");
    EXPECT_NE(err.str().find("did not accept"), std::string::npos) << err.str();
    device->SetUnknownReply("");
    EXPECT_EQ(Run("2.0.0.1.2.3", "ZZ"), mirel::kExitDeviceError);
    EXPECT_NE(err.str().find("empty reply"), std::string::npos) << err.str();
}

TEST_F(DeviceCommandTest, ControlCharactersInTheReplyAreEscaped) {
    device->SetUnknownReply("A\x1b[2J\x7f");
    EXPECT_EQ(Run("2.0.0.1.2.3", "ZZ"), mirel::kExitOk);
    EXPECT_EQ(out.str(), "A\\x1b[2J\\x7f\n");
}

TEST_F(DeviceCommandTest, SilenceTimesOutCancelsAndExitsThree) {
    oskan::sim::SimFaults silent;
    silent.silentKinds = {"B"};
    sim.SetFaults(kMac, silent);
    const uint64_t start = ServiceLoop::Current().NowMs();
    EXPECT_EQ(Run({"2.0.0.1.2.3", "B", false, 1.5}), mirel::kExitTimeout);
    const uint64_t waited = ServiceLoop::Current().NowMs() - start;
    EXPECT_GE(waited, 1500u);
    EXPECT_LT(waited, 2000u);
    EXPECT_NE(err.str().find("timed out"), std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "");
    // Cancelled: the request is not resent any more.
    const uint64_t requests = sim.RequestCount(kMac, "B");
    EXPECT_GE(requests, 3u);
    ServiceLoop::Current().AdvanceClock(5000);
    EXPECT_EQ(sim.RequestCount(kMac, "B"), requests);

    // The default is ten seconds.
    const uint64_t again = ServiceLoop::Current().NowMs();
    EXPECT_EQ(Run("2.0.0.1.2.3", "B"), mirel::kExitTimeout);
    EXPECT_GE(ServiceLoop::Current().NowMs() - again, 10000u);
}

TEST_F(DeviceCommandTest, BadArgumentsSendNothingAndExitTwo) {
    const std::string badMacs[] = {
        "",           "2.0.0.1.2",    "02-00-00-01-02-03", "2.0.0.1.2.256", "2.0.0.1.2.3.4",
        "2.0.0.1.2.", " 2.0.0.1.2.3", "2.0.0.1.2.x",       "2.0.0.1.2.0003"};
    for (const std::string& mac : badMacs) {
        EXPECT_EQ(Run(mac, "B"), mirel::kExitUsage) << mac;
        EXPECT_NE(err.str().find("is not a MAC address"), std::string::npos) << err.str();
    }
    EXPECT_EQ(Run({"2.0.0.1.2.3", "B", false, 0}), mirel::kExitUsage);
    EXPECT_EQ(Run({"2.0.0.1.2.3", "B", false, -1}), mirel::kExitUsage);
    EXPECT_EQ(Run({"2.0.0.1.2.3", "B", false, 1e9}), mirel::kExitUsage);
    EXPECT_NE(err.str().find("--timeout"), std::string::npos) << err.str();
    EXPECT_EQ(Run("2.0.0.1.2.3", std::string(259, 'B')), mirel::kExitUsage);
    // Measured as sent: each invalid byte goes out as a three-byte replacement character.
    EXPECT_EQ(Run("2.0.0.1.2.3", std::string(100, '\xff')), mirel::kExitUsage);
    EXPECT_NE(err.str().find("longer than 258"), std::string::npos) << err.str();
    EXPECT_EQ(Run({"2.0.0.1.2.3", "A" + std::string(86, '\xff'), true, 10}), mirel::kExitUsage);
    EXPECT_EQ(RunCli({"change-mac", "2.0.0.1.2.3", "2-0-0-1-2-9"}), mirel::kExitUsage);
    EXPECT_EQ(RunCli({"buzz"}), mirel::kExitUsage);
    EXPECT_EQ(RunCli({"command", "2.0.0.1.2.3"}), mirel::kExitUsage);
    EXPECT_EQ(RunCli({"buzz", "2.0.0.1.2.3", "--timeout", "soon"}), mirel::kExitUsage);
    ServiceLoop::Current().AdvanceClock(100);
    EXPECT_EQ(sim.DatagramsReceived(), 0u);
}

TEST_F(DeviceCommandTest, NoIdSendsTheBareTextAndPrintsTheWholeReply) {
    EXPECT_EQ(Run({"2.0.0.1.2.3", "X", true, 10}), mirel::kExitOk);
    EXPECT_EQ(sim.LastRequest(kMac), "_[2.0.0.1.2.3]X");
    EXPECT_EQ(out.str(), "A4.2//\n");
    EXPECT_EQ(Run("2.0.0.1.2.3", "X"), mirel::kExitOk);
    EXPECT_EQ(sim.LastRequest(kMac).substr(0, 16), "_[2.0.0.1.2.3]X|");
}

TEST_F(DeviceCommandTest, SubcommandsSendTheDeviceCommands) {
    EXPECT_EQ(RunCli({"buzz", "2.0.0.1.2.3"}), mirel::kExitOk);
    EXPECT_EQ(device->BuzzCount(), 1u);
    EXPECT_EQ(RunCli({"command", "2.0.0.1.2.3", "B", "--timeout", "2"}), mirel::kExitOk);
    EXPECT_EQ(device->BuzzCount(), 2u);
    EXPECT_EQ(RunCli({"change-mac", "2.0.0.1.2.3", "2.0.0.1.2.9"}), mirel::kExitOk);
    ASSERT_TRUE(device->NextMac());
    EXPECT_EQ(*device->NextMac(), (MacAddress{2, 0, 0, 1, 2, 9}));
    EXPECT_EQ(RunCli({"reboot", "2.0.0.1.2.3"}), mirel::kExitOk);
    EXPECT_TRUE(sim.IsRebooting(kMac));
    // While it boots the device is silent; then it answers under its new MAC.
    EXPECT_EQ(RunCli({"buzz", "2.0.0.1.2.9", "--timeout", "10"}), mirel::kExitOk);
    EXPECT_EQ(device->Mac(), (MacAddress{2, 0, 0, 1, 2, 9}));
    EXPECT_EQ(device->BuzzCount(), 3u);
}

}  // namespace
