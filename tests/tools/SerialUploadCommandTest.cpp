// mirel serial-upload against the simulated serial bootloader on a
// pseudo-terminal, through the registry: what it prints and how it exits. On
// the real clock: the simulated device answers at once.

#include "tools/mirel/SerialUploadCommand.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/SimSerialLink.h"
#include "tests/common/SerialTestSupport.h"
#include "tests/support/TempFolder.h"

namespace {

using oskan::sim::SimSerialFaults;
using oskan::sim::SimSerialLink;

class SerialUploadCommandTest : public ::testing::Test {
protected:
    std::string WriteFile(const std::string& name, const std::vector<uint8_t>& data) {
        const std::string path = m_folder.Path() + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        return path;
    }
    int Run(const std::string& port, const std::string& file, double timeout = 30) {
        out.str("");
        err.str("");
        mirel::SerialUploadOptions options;
        options.port = port;
        options.file = file;
        options.timeoutSeconds = timeout;
        return mirel::RunSerialUpload(options, out, err);
    }

    oskan::test::TempFolder m_folder{"mirel-serial-test"};
    std::ostringstream out, err;
};

TEST_F(SerialUploadCommandTest, UploadsTheFirmwareAndPrintsTheCompletionText) {
    SimSerialLink link;
    ASSERT_TRUE(link.Open());
    link.Boot();
    const std::vector<uint8_t> firmware = oskan::test::FirmwareImage(20 * 1024 + 128);
    EXPECT_EQ(Run(link.PortName(), WriteFile("fw.bin", firmware)), 0) << err.str();
    EXPECT_EQ(out.str(), "Firmware file successfully loaded into the target.\n");
    EXPECT_NE(err.str().find("Reboot Device with \"SETUP\" button pressed..."), std::string::npos);
    EXPECT_EQ(link.Receiver().Image(), firmware);
}

TEST_F(SerialUploadCommandTest, APortOrFileThatCannotBeUsedExitsTwo) {
    const std::string firmware = WriteFile("fw.bin", oskan::test::FirmwareImage(1024));
    EXPECT_EQ(Run(m_folder.Path() + "/ttyUSB3", firmware), 2);
    EXPECT_NE(err.str().find("error 2: There is no serial port"), std::string::npos) << err.str();

    SimSerialLink link;
    ASSERT_TRUE(link.Open());
    EXPECT_EQ(Run(link.PortName(), WriteFile("odd.bin", oskan::test::FirmwareImage(129))), 2);
    EXPECT_NE(err.str().find("0x8007000B"), std::string::npos) << err.str();
    EXPECT_EQ(Run(link.PortName(), firmware, -1), 2);
}

TEST_F(SerialUploadCommandTest, ADeviceThatCancelsExitsOneWithItsCodeAndText) {
    SimSerialFaults faults;
    faults.cancelBlock = 2;
    SimSerialLink link(faults);
    ASSERT_TRUE(link.Open());
    link.Boot();
    EXPECT_EQ(Run(link.PortName(), WriteFile("fw.bin", oskan::test::FirmwareImage(8 * 1024))), 1);
    EXPECT_EQ(err.str().substr(err.str().find("mirel:")),
              "mirel: error 995: Target cancelled the upload, upload failed\n");
}

TEST_F(SerialUploadCommandTest, ADeviceThatNeverAsksTimesOutWithThree) {
    SimSerialLink link;
    ASSERT_TRUE(link.Open());
    EXPECT_EQ(Run(link.PortName(), WriteFile("fw.bin", oskan::test::FirmwareImage(1024)), 0.2), 3);
    EXPECT_NE(err.str().find("timed out"), std::string::npos);
}

}  // namespace
