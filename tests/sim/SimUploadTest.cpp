// The upload protocol as one simulated device answers it, without sockets, and
// the application files the simulator makes.

#include "sim/SimUpload.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/SimAppFile.h"
#include "tests/support/ManualClockTest.h"

namespace oskan::sim {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Replies = std::vector<std::string>;

const std::string kPrefix = "_[2.0.0.1.2.3]";
const std::string kReply = "[2.0.0.1.2.3]";

std::string Ack(char code, uint16_t number) {
    return kReply + std::string{code, static_cast<char>(number >> 8), static_cast<char>(number & 0xFF)};
}

std::string Block(uint16_t number, const std::vector<uint8_t>& image) {
    std::string frame =
        kPrefix + std::string{'D', static_cast<char>(number >> 8), static_cast<char>(number & 0xFF)};
    frame.append(reinterpret_cast<const char*>(image.data()) + number * 128, 128);
    return frame;
}

class SimUploadTest : public ::testing::Test {
protected:
    SimUploadTest() : device(MacAddress{2, 0, 0, 1, 2, 3}) { device.SetBuildId("old"); }

    Replies Send(const std::string& body) { return device.Handle(kPrefix + body); }
    void SendBlocks(const std::vector<uint8_t>& image, uint16_t ackOffset = 0) {
        for (uint16_t n = 0; n < image.size() / 128; ++n)
            ASSERT_EQ(device.Handle(Block(n, image)),
                      Replies{Ack('A', static_cast<uint16_t>(n + ackOffset))});
    }

    SimDevice device;
};

TEST_F(SimUploadTest, ApplicationUploadTakesTheImageAndItsBuildIdentifier) {
    SimApplicationFile app;
    app.buildId = "b2024";
    app.codeBytes = 600;
    const std::vector<uint8_t> image = MakeApplicationFile(app);
    EXPECT_EQ(Send("Q|00000010"), Replies{kReply + "A|00000010"});
    SendBlocks(image);
    EXPECT_EQ(device.Upload().Running(), SimUploadKind::Application);
    EXPECT_EQ(Send("T|00000011"), Replies{kReply + "A|00000011"});
    EXPECT_EQ(device.Upload().Image(), image);
    EXPECT_EQ(device.Upload().ImageKind(), SimUploadKind::Application);
    EXPECT_EQ(device.Upload().Running(), SimUploadKind::None);
    EXPECT_EQ(device.BuildId(), "b2024");
    EXPECT_EQ(Send("X|00000012"), Replies{kReply + "A1.00/b2024/|00000012"});
}

TEST_F(SimUploadTest, FirmwareIsTakenOnTheConfirmationWhichRebootsTheDevice) {
    const std::vector<uint8_t> image(256, 0x5a);
    EXPECT_EQ(Send("QF|00000001"), Replies{kReply + "A|00000001"});
    SendBlocks(image);
    EXPECT_EQ(Send("N|00000002"), Replies{kReply + "A|00000002"});
    EXPECT_THAT(device.Upload().Image(), IsEmpty());
    EXPECT_FALSE(device.TakeRebootRequest());
    EXPECT_EQ(Send("EC|00000003"), Replies{kReply + "A|00000003"});
    EXPECT_EQ(device.Upload().Image(), image);
    EXPECT_EQ(device.Upload().ImageKind(), SimUploadKind::Firmware);
    EXPECT_TRUE(device.TakeRebootRequest());
    EXPECT_EQ(device.BuildId(), "old");
}

TEST_F(SimUploadTest, RetransmittedRequestsGetTheSameAnswerAndKeepTheUpload) {
    const std::vector<uint8_t> image(384, 1);
    Send("Q|00000001");
    EXPECT_EQ(device.Handle(Block(0, image)), Replies{Ack('A', 0)});
    // The start again with the same id, the previous block again: lost replies.
    EXPECT_EQ(Send("Q|00000001"), Replies{kReply + "A|00000001"});
    EXPECT_EQ(device.Handle(Block(0, image)), Replies{Ack('A', 0)});
    EXPECT_EQ(device.Handle(Block(1, image)), Replies{Ack('A', 1)});
    EXPECT_EQ(device.Handle(Block(2, image)), Replies{Ack('A', 2)});
    EXPECT_EQ(Send("T|00000002"), Replies{kReply + "A|00000002"});
    EXPECT_EQ(Send("T|00000002"), Replies{kReply + "A|00000002"});
    EXPECT_EQ(device.Upload().CompletedUploads(), 1u);
    EXPECT_EQ(device.Upload().Image().size(), 384u);
}

TEST_F(SimUploadTest, BlocksOutOfSequenceOrWithoutAnUploadAreRefused) {
    const std::vector<uint8_t> image(512, 2);
    EXPECT_EQ(device.Handle(Block(0, image)), Replies{Ack('S', 0)});
    Send("QF|00000001");
    EXPECT_EQ(device.Handle(Block(1, image)), Replies{Ack('S', 1)});
    EXPECT_EQ(device.Handle(Block(0, image)), Replies{Ack('A', 0)});
    EXPECT_EQ(device.Handle(Block(2, image)), Replies{Ack('S', 2)});
    EXPECT_EQ(device.Upload().BlocksTaken(), 1u);
    // An end request for the other kind, or with no upload, is an error.
    EXPECT_EQ(Send("T|00000002"), Replies{kReply + "E|00000002"});
}

TEST_F(SimUploadTest, EveryRefusalCode) {
    const std::vector<uint8_t> image(384, 3);
    device.Upload().SetRefusals({'E', std::nullopt, 'F', 'A', 'A'});
    EXPECT_EQ(Send("Q|00000001"), Replies{kReply + "E|00000001"});
    EXPECT_EQ(device.Upload().Running(), SimUploadKind::None);

    for (char code : {'F', 'O', 'S', 'X'}) {
        device.Upload().SetRefusals({'A', 1u, code, 'A', 'A'});
        Send("QF|00000002");
        EXPECT_EQ(device.Handle(Block(0, image)), Replies{Ack('A', 0)});
        EXPECT_EQ(device.Handle(Block(1, image)), Replies{Ack(code, 1)}) << code;
        EXPECT_EQ(device.Upload().Running(), SimUploadKind::None);
    }
    // A refusal that carries another block's number.
    device.Upload().SetRefusals({'A', 1u, 'S', 'A', 'A', 9});
    Send("QF|00000002");
    EXPECT_EQ(device.Handle(Block(0, image)), Replies{Ack('A', 0)});
    EXPECT_EQ(device.Handle(Block(1, image)), Replies{Ack('S', 9)});
    EXPECT_EQ(device.Upload().Running(), SimUploadKind::None);
    EXPECT_EQ(device.Handle(Block(1, image)), Replies{Ack('S', 9)});  // resent: the same refusal
    EXPECT_EQ(device.Handle(Block(2, image)), Replies{Ack('S', 2)});
    for (char code : {'F', 'O'}) {
        device.Upload().SetRefusals({'A', std::nullopt, 'F', code, 'A'});
        Send("Q|00000003");
        SendBlocks(image);
        EXPECT_EQ(Send("T|00000004"), Replies{kReply + std::string(1, code) + "|00000004"});
        EXPECT_THAT(device.Upload().Image(), IsEmpty());
    }
    device.Upload().SetRefusals({'A', std::nullopt, 'F', 'A', 'E'});
    Send("QF|00000005");
    SendBlocks(image);
    Send("N|00000006");
    EXPECT_EQ(Send("EC|00000007"), Replies{kReply + "E|00000007"});
    EXPECT_THAT(device.Upload().Image(), IsEmpty());
    EXPECT_FALSE(device.TakeRebootRequest());
}

TEST_F(SimUploadTest, ImageBeyondTheRomIsRefusedWithO) {
    device.Upload().SetCapacityBlocks(2);
    const std::vector<uint8_t> image(384, 4);
    Send("Q|00000001");
    EXPECT_EQ(device.Handle(Block(0, image)), Replies{Ack('A', 0)});
    EXPECT_EQ(device.Handle(Block(1, image)), Replies{Ack('A', 1)});
    EXPECT_EQ(device.Handle(Block(2, image)), Replies{Ack('O', 2)});
}

TEST_F(SimUploadTest, TextCommandsBeginningWithDAreUnknownCommands) {
    EXPECT_EQ(Send("DIR|0000000a"), Replies{kReply + "A|0000000a"});
    EXPECT_THAT(Send("D"), IsEmpty());
    EXPECT_EQ(Send("QX|0000000b"), Replies{kReply + "A|0000000b"});
    EXPECT_EQ(device.Upload().Running(), SimUploadKind::None);
}

TEST_F(SimUploadTest, EcWithoutAnUploadIsStillTheReboot) {
    EXPECT_EQ(Send("EC|00000001"), Replies{kReply + "A|00000001"});
    EXPECT_TRUE(device.TakeRebootRequest());
    EXPECT_EQ(device.Upload().CompletedUploads(), 0u);
}

// On the manual clock: the state reply compared at the end carries the
// machine's tick count, which would differ between two devices made apart.
class SimFixedFirmwareUpload : public oskan::test::ManualClockTest {};

TEST_F(SimFixedFirmwareUpload, AcknowledgesNPlusOneAndTakesTheFirmwareOnABareE) {
    SimDevice device(MacAddress{2, 0, 0, 1, 2, 3}, FixedFirmwareHandlers());
    const std::vector<uint8_t> image(128 * 3, 7);
    device.Handle(kPrefix + "QF|00000001");
    for (uint16_t n = 0; n < 3; ++n)
        EXPECT_EQ(device.Handle(Block(n, image)), Replies{Ack('A', static_cast<uint16_t>(n + 1))});
    EXPECT_EQ(device.Handle(kPrefix + "N|00000002"), Replies{kReply + "A|00000002"});
    EXPECT_THAT(device.Handle(kPrefix + "E"), IsEmpty());
    EXPECT_EQ(device.Upload().Image(), image);
    EXPECT_TRUE(device.TakeRebootRequest());
    EXPECT_THAT(device.Handle(kPrefix + "E"), IsEmpty());
    EXPECT_EQ(device.Upload().CompletedUploads(), 1u);
    // With an id, "E" is the device's other command of that name.
    SimDevice standard(MacAddress{2, 0, 0, 1, 2, 3});
    const Replies expected = standard.Handle(kPrefix + "E|00000003");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(device.Handle(kPrefix + "E|00000003"), expected);
}

TEST(SimApplicationFile, HeaderFieldsPointAtTheStrings) {
    SimApplicationFile app;
    app.buildId = "b77";
    app.platform = "P-1.2";
    app.projectName = "Boiler";
    app.codeBytes = 300;
    const std::vector<uint8_t> file = MakeApplicationFile(app);
    EXPECT_EQ(file.size() % 128, 0u);
    EXPECT_EQ(ReadAppField(file, kAppStringAreaField), 128u + 300u);
    EXPECT_EQ(ReadAppString(file, kAppBuildIdField), "b77");
    EXPECT_EQ(ReadAppString(file, kAppPlatformField), "P-1.2");
    EXPECT_EQ(ReadAppField(file, kAppStringAreaSizeField), 4u + 6u + 7u);
    EXPECT_EQ(MakeApplicationFile(app), file);
    app.seed = 2;
    EXPECT_NE(MakeApplicationFile(app), file);

    app.platform.reset();
    EXPECT_EQ(ReadAppField(MakeApplicationFile(app), kAppPlatformField), kAppNoPlatform);
}

TEST(SimApplicationFile, HostileHeaderReadsNothingOutsideTheFile) {
    std::vector<uint8_t> file(128, 'x');
    auto put = [&](uint32_t offset, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            file[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put(kAppStringAreaField, 124);
    put(kAppStringAreaSizeField, 100);
    put(kAppBuildIdField, 0);
    EXPECT_EQ(ReadAppString(file, kAppBuildIdField), "xxxx");  // no zero before the end
    put(kAppBuildIdField, 101);
    EXPECT_EQ(ReadAppString(file, kAppBuildIdField), "");
    put(kAppStringAreaField, 0xFFFFFFFF);
    put(kAppBuildIdField, 2);
    EXPECT_EQ(ReadAppString(file, kAppBuildIdField), "");
    EXPECT_EQ(ReadAppField(std::vector<uint8_t>(3), 0), 0u);
}

}  // namespace
}  // namespace oskan::sim
