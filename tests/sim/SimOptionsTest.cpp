// The command line of skos-sim and the devices it describes.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sim/ServerSimulator.h"
#include "sim/SimOptions.h"
#include "sim/Simulator.h"

namespace oskan::sim {
namespace {

class SimOptionsTest : public ::testing::Test {
protected:
    // Parses the arguments; returns the exit code ParseSimOptions asked for,
    // or -1 when the simulator would run.
    int Parse(std::vector<std::string> args) {
        args.insert(args.begin(), "skos-sim");
        std::vector<const char*> argv;
        for (const std::string& arg : args)
            argv.push_back(arg.c_str());
        out.str("");
        err.str("");
        std::optional<int> code =
            ParseSimOptions(static_cast<int>(argv.size()), argv.data(), options, out, err);
        return code ? *code : -1;
    }

    SimProgramOptions options;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(SimOptionsTest, DefaultsDescribeOneRunningDevice) {
    ASSERT_EQ(Parse({}), -1);
    EXPECT_EQ(options.devices, 1u);
    SimDeviceSettings first = DeviceSettings(options, 0);
    EXPECT_EQ(first.mac, (MacAddress{2, 0, 0, 1, 2, 3}));
    EXPECT_EQ(first.project, "SIM-1");
    EXPECT_EQ(first.mode, SimMachineMode::Running);
    EXPECT_EQ(options.faults, SimFaults{});
}

TEST_F(SimOptionsTest, MacsCountUpAcrossByteBorders) {
    ASSERT_EQ(Parse({"--devices", "3", "--first-mac", "2.0.0.1.255.254"}), -1);
    EXPECT_EQ(DeviceSettings(options, 0).mac, (MacAddress{2, 0, 0, 1, 255, 254}));
    EXPECT_EQ(DeviceSettings(options, 1).mac, (MacAddress{2, 0, 0, 1, 255, 255}));
    EXPECT_EQ(DeviceSettings(options, 2).mac, (MacAddress{2, 0, 0, 2, 0, 0}));
}

TEST_F(SimOptionsTest, OneProjectNameIsNumberedAListIsTakenInTurn) {
    ASSERT_EQ(Parse({"--devices", "3", "--project", "Boiler"}), -1);
    EXPECT_EQ(DeviceSettings(options, 0).project, "Boiler-1");
    EXPECT_EQ(DeviceSettings(options, 2).project, "Boiler-3");
    ASSERT_EQ(Parse({"--devices", "3", "--project", "Pump,Fan/Hall"}), -1);
    EXPECT_EQ(DeviceSettings(options, 0).project, "Pump");
    EXPECT_EQ(DeviceSettings(options, 1).project, "Fan/Hall");
    EXPECT_EQ(DeviceSettings(options, 2).project, "Pump");
}

TEST_F(SimOptionsTest, ModesAreTakenInTurn) {
    ASSERT_EQ(Parse({"--devices", "5", "--mode", "stopped-idle,file-error,stopped-busy,running"}), -1);
    EXPECT_EQ(DeviceSettings(options, 0).mode, SimMachineMode::StoppedIdle);
    EXPECT_EQ(DeviceSettings(options, 1).mode, SimMachineMode::FileError);
    EXPECT_EQ(DeviceSettings(options, 2).mode, SimMachineMode::StoppedBusy);
    EXPECT_EQ(DeviceSettings(options, 3).mode, SimMachineMode::Running);
    EXPECT_EQ(DeviceSettings(options, 4).mode, SimMachineMode::StoppedIdle);
    for (SimMachineMode mode : options.modes)
        EXPECT_EQ(ModeFromName(ModeName(mode)), mode);
}

TEST_F(SimOptionsTest, FaultOptionsReachTheFaults) {
    ASSERT_EQ(Parse({"--drop-requests", "0.25", "--drop-replies", "0.5", "--duplicate", "1", "--delay", "40",
                     "--jitter", "15", "--silent", "?,PC", "--seed", "77"}),
              -1);
    EXPECT_DOUBLE_EQ(options.faults.dropRequest, 0.25);
    EXPECT_DOUBLE_EQ(options.faults.dropReply, 0.5);
    EXPECT_DOUBLE_EQ(options.faults.duplicateReply, 1.0);
    EXPECT_EQ(options.faults.delayMs, 40u);
    EXPECT_EQ(options.faults.jitterMs, 15u);
    EXPECT_TRUE(options.faults.IsSilent("?"));
    EXPECT_TRUE(options.faults.IsSilent("PC"));
    EXPECT_FALSE(options.faults.IsSilent("X"));
    EXPECT_EQ(options.seed, 77u);
}

TEST_F(SimOptionsTest, HelpEndsWithZero) {
    EXPECT_EQ(Parse({"--help"}), 0);
    EXPECT_NE(out.str().find("--devices"), std::string::npos);
    EXPECT_NE(out.str().find("--drop-replies"), std::string::npos);
}

TEST_F(SimOptionsTest, RefusesBadValuesWithTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {"--devices", "0"},
        {"--devices", "many"},
        {"--first-mac", "2.0.0.1.2"},
        {"--first-mac", "2.0.0.1.2.256"},
        {"--first-mac", "2.0.0.1.2.3.4"},
        {"--first-mac", "2.0.0.1..3"},
        {"--first-mac", "2.0.0.1.2.x"},
        {"--first-mac", "255.255.255.255.255.255", "--devices", "2"},
        {"--mode", "sleeping"},
        {"--drop-replies", "1.5"},
        {"--duplicate", "-0.1"},
        {"--version", "1.0/beta"},
        {"--build-id", "b|1"},
        {"--project", "Boiler|Hall"},
        {"--no-such-option"},
        {"--servers", "1", "--server-first-mac", "00-90-E8-00-01"},
        {"--servers", "1", "--server-first-mac", "2.0.0.1.2.3"},
        {"--servers", "2", "--server-first-mac", "FF-FF-FF-FF-FF-FF"},
        {"--servers", "1", "--direct-access", "2"},
        {"--servers", "1", "--password", "a|b"},
        {"--servers", "1", "--description", "tab\there"},
        {"--devices", "0", "--servers", "0"},
    };
    const SimProgramOptions defaults;
    for (const auto& args : bad) {
        options = defaults;
        EXPECT_EQ(Parse(args), 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_FALSE(err.str().empty()) << args[0];
    }
}

TEST_F(SimOptionsTest, LastMacOfTheSpaceIsAllowed) {
    EXPECT_EQ(Parse({"--first-mac", "255.255.255.255.255.254", "--devices", "2"}), -1);
    EXPECT_EQ(DeviceSettings(options, 1).mac, (MacAddress{255, 255, 255, 255, 255, 255}));
}

TEST_F(SimOptionsTest, PopulateBuildsTheDescribedDevices) {
    ASSERT_EQ(Parse({"--devices", "300", "--project", "Boiler", "--mode", "running,file-error", "--version",
                     "3.51", "--build-id", "b9", "--delay", "5"}),
              -1);
    Simulator simulator;  // never opened: no socket
    Populate(simulator, options);
    ASSERT_EQ(simulator.DeviceCount(), 300u);
    const SimDevice& second = simulator.DeviceAt(1);
    EXPECT_EQ(second.MacText(), "2.0.0.1.2.4");
    EXPECT_EQ(second.ProjectName(), "Boiler-2");
    EXPECT_EQ(second.MachineMode(), SimMachineMode::FileError);
    EXPECT_EQ(second.VersionText(), "A3.51/b9/Boiler-2");
    ASSERT_TRUE(simulator.Faults(second.Mac()));
    EXPECT_EQ(simulator.Faults(second.Mac())->delayMs, 5u);
}

TEST_F(SimOptionsTest, ServerOptionsDescribeTheServers) {
    ASSERT_EQ(Parse({"--devices", "0", "--servers", "3", "--server-first-mac", "00-90-e8-00-00-ff",
                     "--direct-access", "1,0", "--password", "-,pw", "--description", "Press", "--location",
                     "Hall 2", "--server-version", "4.1", "--reboot-ms", "10"}),
              -1);
    EXPECT_EQ(options.devices, 0u);
    const SimServerSettings third = ServerSettings(options, 2);
    EXPECT_EQ(third.mac, (MacAddress{0x00, 0x90, 0xE8, 0x00, 0x01, 0x01}));
    EXPECT_TRUE(third.directAccess);
    EXPECT_EQ(third.password, "");
    EXPECT_EQ(third.firstDescription, "Press-3");
    EXPECT_EQ(third.secondDescription, "Hall 2");
    EXPECT_EQ(third.version, "4.1");
    EXPECT_EQ(third.rebootMs, 10u);
    const SimServerSettings second = ServerSettings(options, 1);
    EXPECT_FALSE(second.directAccess);
    EXPECT_EQ(second.password, "pw");

    ServerSimulator servers;  // never opened: no socket
    Populate(servers, options);
    ASSERT_EQ(servers.ServerCount(), 3u);
    // Each from its own loopback address, apart from the SkOS devices'.
    EXPECT_EQ(FormatIpv4(servers.ServerAt(0).Ip()), "127.1.0.2");
    EXPECT_EQ(FormatIpv4(servers.ServerAt(2).Ip()), "127.1.0.4");
}

}  // namespace
}  // namespace oskan::sim
