// mirel upload against simulated devices: what it prints and how it exits for
// a completed upload, a refusal, a failed Load, a silent device and bad
// arguments. On the manual clock inside the test's network namespace.

#include "tools/mirel/UploadCommand.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/skloader.h"
#include "sim/SimAppFile.h"
#include "sim/SimUpload.h"
#include "tests/support/SimulatorTest.h"
#include "tests/support/TempFolder.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using oskan::sim::MacAddress;
using oskan::test::SimulatorTest;
using winport::ServiceLoop;

constexpr MacAddress kMac = {2, 0, 0, 1, 2, 3};

class UploadCommandTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        StartClockAt(50'000);
        device = AddDevice(kMac, "<P-1.2.3>", "b1");
    }
    std::string WriteFile(const std::string& name, const std::vector<uint8_t>& data) {
        return folder.Write(name, data);
    }
    int Run(const mirel::UploadOptions& options) {
        out.str("");
        err.str("");
        return mirel::RunUpload(options, out, err);
    }
    // Parses a command line the way the mirel program does and returns the
    // flags it would load with, or -1 when the line is refused.
    static int ParsedFlags(std::vector<std::string> args) {
        mirel::UploadCommand command;
        CLI::App app("test", "mirel");
        CLI::App* sub = command.Register(app);
        std::reverse(args.begin(), args.end());
        try {
            app.parse(args);
        } catch (const CLI::ParseError&) {
            return -1;
        }
        if (!sub->parsed())
            return -1;
        // The options are private to the command; read them back from CLI11.
        mirel::UploadOptions options;
        options.application = sub->get_option("--application")->count() > 0;
        options.skipIfLoaded = sub->get_option("--skip-if-loaded")->count() > 0;
        options.checkFirmware = sub->get_option("--check-firmware")->count() > 0;
        options.fixedFirmware = sub->get_option("--fixed-firmware")->count() > 0;
        return mirel::UploadFlags(options);
    }

    oskan::test::TempFolder folder{"mirel-upload-test"};
    const std::string& dir = folder.Path();
    oskan::sim::SimDevice* device = nullptr;
    std::ostringstream out, err;
};

TEST_F(UploadCommandTest, FirmwareUploadPrintsTheCompletionText) {
    const std::vector<uint8_t> image(128 * 40, 0x3c);
    EXPECT_EQ(Run({"2.0.0.1.2.3", WriteFile("fw.bin", image)}), mirel::kExitOk);
    EXPECT_EQ(out.str(), "Firmware file successfully loaded into the target.\n");
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(device->Upload().Image(), image);
}

TEST_F(UploadCommandTest, ApplicationFlagsReachTheDevice) {
    oskan::sim::SimApplicationFile app;
    app.buildId = "b1";
    app.platform = "P-1.2";
    mirel::UploadOptions options{"2.0.0.1.2.3", WriteFile("app.opc", oskan::sim::MakeApplicationFile(app))};
    options.application = options.skipIfLoaded = options.checkFirmware = true;
    EXPECT_EQ(Run(options), mirel::kExitOk);
    EXPECT_EQ(out.str(), "Application file is already loaded into the target.\n");
    EXPECT_EQ(sim.RequestCount(kMac, "X"), 1u);
    EXPECT_EQ(sim.RequestCount(kMac, "D"), 0u);
}

TEST_F(UploadCommandTest, RefusalByTheDeviceExitsOneWithItsCodeAndText) {
    device->Upload().SetRefusals({'A', 1u, 'F', 'A', 'A'});
    EXPECT_EQ(Run({"2.0.0.1.2.3", WriteFile("fw.bin", std::vector<uint8_t>(128 * 4))}),
              mirel::kExitDeviceError);
    EXPECT_EQ(err.str(), "mirel: error 29: Target reported FLASH write failure, upload failed\n");
    EXPECT_EQ(out.str(), "");
}

TEST_F(UploadCommandTest, DeviceTextInTheMismatchMessageIsEscaped) {
    device->SetVersion("<P-1.2.3>\x1b]0;owned\x07\x1b[2K\r");
    oskan::sim::SimApplicationFile app;
    app.buildId = "b2";
    app.platform = "P-1.4";
    mirel::UploadOptions options{"2.0.0.1.2.3", WriteFile("app.opc", oskan::sim::MakeApplicationFile(app))};
    options.application = options.checkFirmware = true;
    EXPECT_EQ(Run(options), mirel::kExitDeviceError);
    // The message's own line break stays.
    EXPECT_EQ(
        err.str(),
        "mirel: error 13: Firmware version mismatch (platform requires: <P-1.4.xx>, target runs: "
        "<P-1.2.3>\\x1b]0;owned\\x07\\x1b[2K\\x0d).\nUpdate the SkOS firmware of your target (main menu: "
        "Project -> Select/Manage Target).\n");
    EXPECT_EQ(sim.RequestCount(kMac, "Q"), 0u);
}

TEST_F(UploadCommandTest, FailedLoadExitsTwoWithTheHresultAndItsMeaning) {
    EXPECT_EQ(Run({"2.0.0.1.2.3", WriteFile("short.bin", std::vector<uint8_t>(200))}), mirel::kExitUsage);
    EXPECT_NE(err.str().find(": 0x8007000B: the file must be a whole number of 128-byte blocks"),
              std::string::npos)
        << err.str();
    EXPECT_EQ(Run({"2.0.0.1.2.3", dir + "/missing.bin"}), mirel::kExitUsage);
    EXPECT_NE(err.str().find(": 0x80070002: "), std::string::npos) << err.str();
    EXPECT_EQ(sim.DatagramsReceived(), 0u);
}

TEST_F(UploadCommandTest, SilentDeviceTimesOutWithThree) {
    oskan::sim::SimFaults faults;
    faults.silentKinds = {"QF"};
    sim.SetFaults(kMac, faults);
    mirel::UploadOptions options{"2.0.0.1.2.3", WriteFile("fw.bin", std::vector<uint8_t>(128))};
    options.timeoutSeconds = 5;
    const uint64_t start = ServiceLoop::Current().NowMs();
    EXPECT_EQ(Run(options), mirel::kExitTimeout);
    EXPECT_GE(ServiceLoop::Current().NowMs() - start, 5000u);
    EXPECT_NE(err.str().find("timed out after 5 s"), std::string::npos) << err.str();
    // Cancelled: nothing more goes out.
    ServiceLoop::Current().AdvanceClock(1);  // what was already on its way
    const uint64_t requests = sim.RequestCount(kMac, "QF");
    ServiceLoop::Current().AdvanceClock(3000);
    EXPECT_EQ(sim.RequestCount(kMac, "QF"), requests);
}

TEST_F(UploadCommandTest, BadArgumentsSendNothing) {
    const std::string file = WriteFile("fw.bin", std::vector<uint8_t>(128));
    EXPECT_EQ(Run({"2.0.0.1.2", file}), mirel::kExitUsage);
    EXPECT_NE(err.str().find("is not a MAC address"), std::string::npos);
    mirel::UploadOptions options{"2.0.0.1.2.3", file};
    options.timeoutSeconds = 0;
    EXPECT_EQ(Run(options), mirel::kExitUsage);
    options = {"2.0.0.1.2.3", file};
    options.skipIfLoaded = true;
    EXPECT_EQ(Run(options), mirel::kExitUsage);
    EXPECT_NE(err.str().find("--application"), std::string::npos);
    EXPECT_EQ(sim.DatagramsReceived(), 0u);
}

TEST_F(UploadCommandTest, CommandLineFlags) {
    EXPECT_EQ(ParsedFlags({"upload", "2.0.0.1.2.3", "f.opc", "--application", "--skip-if-loaded",
                           "--check-firmware"}),
              OLF_LOAD_APPLICATION | OLF_SKIP_IF_LOADED | OLF_CHECK_FIRMWARE_VERSION);
    EXPECT_EQ(ParsedFlags({"upload", "2.0.0.1.2.3", "f.bin", "--fixed-firmware"}), OLF_FIXED_FIRMWARE);
    EXPECT_EQ(ParsedFlags({"upload", "2.0.0.1.2.3", "f.bin"}), 0);
    EXPECT_EQ(ParsedFlags({"upload", "2.0.0.1.2.3"}), -1);
    EXPECT_EQ(ParsedFlags({"upload", "2.0.0.1.2.3", "f.bin", "--timeout", "x"}), -1);
}

}  // namespace
