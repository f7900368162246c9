// The serial firmware sender against the simulated bootloader on a
// pseudo-terminal, on the manual clock: the wait for the device, every fault
// the device can make, cancel, a port that disappears, and re-entrant calls
// from the events.

#include "common/XmodemSender.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/Xmodem.h"
#include "sim/SimSerialLink.h"
#include "tests/common/SerialTestSupport.h"
#include "tests/support/ManualClockTest.h"
#include "tests/support/TempFolder.h"
#include "winport/base/errors.h"

namespace {

using oskan::sim::SimSerialFaults;
using oskan::sim::SimSerialLink;
using oskan::sim::SimXmodemReceiver;
using oskan::test::FirmwareImage;
using oskan::test::Settle;
using Outcome = SimXmodemReceiver::Outcome;

constexpr const char* kLoaded = "Firmware file successfully loaded into the target.";
constexpr const char* kCancelledText = "Loading is cancelled by user.";
// Five long blocks and three short ones.
constexpr size_t kFirmwareSize = 5 * 1024 + 3 * 128;

class SerialUploadTest : public oskan::test::ManualClockTest {
protected:
    struct Completion {
        uint32_t error;
        std::string details;
    };

    void Connect(SimSerialFaults faults = {}) {
        m_link = std::make_unique<SimSerialLink>(faults);
        ASSERT_TRUE(m_link->Open());
        ASSERT_EQ(m_port.Open(m_link->PortName()), ERROR_SUCCESS);
        m_sender = std::make_unique<XmodemSender>(&m_port, nullptr, OnProgress, OnComplete, this);
    }
    void TearDown() override {
        m_sender.reset();
        m_port.Close();
        m_link.reset();
        ManualClockTest::TearDown();
    }

    static void OnProgress(int percentage, void* user) {
        auto* self = static_cast<SerialUploadTest*>(user);
        self->progress.push_back(percentage);
        if (self->onProgress)
            self->onProgress(percentage);
    }
    static void OnComplete(uint32_t error, const char* details, void* user) {
        auto* self = static_cast<SerialUploadTest*>(user);
        self->completions.push_back({error, details});
        if (self->onComplete)
            self->onComplete(error);
    }

    // Boots the device and lets the upload run while the clock stands still.
    void BootAndSettle() {
        m_link->Boot();
        Settle();
    }
    const SimXmodemReceiver& Receiver() const { return m_link->Receiver(); }

    std::unique_ptr<SimSerialLink> m_link;
    SerialPort m_port;
    std::unique_ptr<XmodemSender> m_sender;
    std::vector<int> progress;
    std::vector<Completion> completions;
    std::function<void(int)> onProgress;
    std::function<void(uint32_t)> onComplete;
};

TEST_F(SerialUploadTest, WaitsForTheDeviceWithoutLimitThenSendsTheFirmwareByteForByte) {
    Connect();
    const std::vector<uint8_t> firmware = FirmwareImage(kFirmwareSize);
    ASSERT_EQ(m_sender->Start(firmware), S_OK);
    Settle();
    Advance(30 * 60 * 1000);  // the user takes half an hour to press SETUP
    Settle();
    EXPECT_EQ(m_sender->GetState(), XmodemSender::STATE_WAIT_RECEIVER);
    EXPECT_TRUE(completions.empty());

    BootAndSettle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, 0u);
    EXPECT_EQ(completions[0].details, kLoaded);
    EXPECT_EQ(m_sender->GetState(), XmodemSender::STATE_IDLE);
    EXPECT_EQ(Receiver().GetOutcome(), Outcome::kDone);
    EXPECT_EQ(Receiver().Image(), firmware);  // nothing padded: the image is the file
    EXPECT_EQ(Receiver().BlocksAccepted(), 8);
    EXPECT_EQ(Receiver().Refusals(), 0);
    // The clock stood still: the first block's event only, below 100.
    ASSERT_EQ(progress.size(), 1u);
    EXPECT_EQ(progress[0], 1024 * 100 / static_cast<int>(kFirmwareSize));
}

TEST_F(SerialUploadTest, ProgressIsThrottledToOneEventPer50Ms) {
    Connect();
    // 50 ms since the last event is not enough; 51 ms is.
    int stepMs = 50;
    onProgress = [&](int) { Advance(stepMs); };
    ASSERT_EQ(m_sender->Start(FirmwareImage(40 * 1024)), S_OK);
    BootAndSettle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, 0u);
    EXPECT_EQ(progress.size(), 1u);

    progress.clear();
    completions.clear();
    stepMs = 51;
    Advance(51);
    ASSERT_EQ(m_sender->Start(FirmwareImage(40 * 1024)), S_OK);
    BootAndSettle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, 0u);
    // Every block but the last, whose acknowledgement is followed by the end.
    ASSERT_EQ(progress.size(), 39u);
    for (size_t i = 0; i < progress.size(); ++i)
        EXPECT_EQ(progress[i], static_cast<int>((i + 1) * 100 / 40));
}

TEST_F(SerialUploadTest, RefusedBlocksAndBootChatterAreSentAgainOrIgnored) {
    SimSerialFaults faults;
    faults.nakBlock = 2;
    faults.nakCount = 9;  // the tenth try goes through
    faults.garbageBlock = 4;
    Connect(faults);
    const std::vector<uint8_t> firmware = FirmwareImage(kFirmwareSize);
    ASSERT_EQ(m_sender->Start(firmware), S_OK);
    BootAndSettle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, 0u);
    EXPECT_EQ(Receiver().Refusals(), 9);
    EXPECT_EQ(Receiver().Image(), firmware);
}

TEST_F(SerialUploadTest, TenRefusalsOfOneBlockEndTheUploadAndTellTheDevice) {
    SimSerialFaults faults;
    faults.nakBlock = 3;
    faults.nakCount = 10;
    Connect(faults);
    ASSERT_EQ(m_sender->Start(FirmwareImage(kFirmwareSize)), S_OK);
    BootAndSettle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, XmodemSender::kBlockRefused);
    EXPECT_EQ(completions[0].details, "Target refused block 3 10 times, upload failed");
    EXPECT_EQ(Receiver().GetOutcome(), Outcome::kSenderCancelled);
    EXPECT_EQ(Receiver().BlocksAccepted(), 2);
}

TEST_F(SerialUploadTest, SilenceIsAnsweredByTheSameBlockAfterTheTimeout) {
    SimSerialFaults faults;
    faults.silentBlock = 3;
    faults.silentCount = 2;
    Connect(faults);
    const std::vector<uint8_t> firmware = FirmwareImage(kFirmwareSize);
    ASSERT_EQ(m_sender->Start(firmware), S_OK);
    BootAndSettle();
    EXPECT_EQ(m_sender->GetState(), XmodemSender::STATE_SEND_BLOCKS);
    EXPECT_EQ(m_sender->BytesAccepted(), 2048u);
    Advance(XmodemSender::kAnswerTimeoutMs - 1);
    Settle();
    EXPECT_EQ(m_sender->Tries(), 1);
    Advance(1);
    Settle();
    EXPECT_EQ(m_sender->Tries(), 2);
    Advance(XmodemSender::kAnswerTimeoutMs);
    Settle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, 0u);
    EXPECT_EQ(Receiver().Image(), firmware);
}

TEST_F(SerialUploadTest, TheEndIsRepeatedUntilAcknowledged) {
    SimSerialFaults faults;
    faults.silentEnds = 2;
    Connect(faults);
    ASSERT_EQ(m_sender->Start(FirmwareImage(kFirmwareSize)), S_OK);
    BootAndSettle();
    EXPECT_EQ(m_sender->GetState(), XmodemSender::STATE_SEND_EOT);
    Advance(XmodemSender::kEndTimeoutMs);
    Settle();
    EXPECT_TRUE(completions.empty());
    Advance(XmodemSender::kEndTimeoutMs);
    Settle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, 0u);
    EXPECT_EQ(m_sender->Tries(), 3);
}

TEST_F(SerialUploadTest, TenUnansweredTriesEndWithATimeout) {
    SimSerialFaults faults;
    faults.silentBlock = 1;
    faults.silentCount = 100;
    Connect(faults);
    ASSERT_EQ(m_sender->Start(FirmwareImage(kFirmwareSize)), S_OK);
    BootAndSettle();
    for (int i = 0; i < XmodemSender::kMaxTries && completions.empty(); ++i) {
        Advance(XmodemSender::kAnswerTimeoutMs);
        Settle();
    }
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, XmodemSender::kNoAnswer);
    EXPECT_EQ(completions[0].details, "Target did not answer block 1 after 10 tries, upload failed");
    EXPECT_EQ(Receiver().GetOutcome(), Outcome::kSenderCancelled);
}

TEST_F(SerialUploadTest, TheDeviceCancellingEndsTheUploadWithItsOwnCode) {
    SimSerialFaults faults;
    faults.cancelBlock = 4;
    Connect(faults);
    ASSERT_EQ(m_sender->Start(FirmwareImage(kFirmwareSize)), S_OK);
    BootAndSettle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, XmodemSender::kReceiverCancelled);
    EXPECT_EQ(completions[0].details, "Target cancelled the upload, upload failed");
    EXPECT_EQ(m_sender->BytesAccepted(), 3072u);
    EXPECT_EQ(m_sender->GetState(), XmodemSender::STATE_IDLE);
}

TEST_F(SerialUploadTest, CancelWhileWaitingAndFromTheProgressEventTellsTheDevice) {
    Connect();
    ASSERT_EQ(m_sender->Start(FirmwareImage(kFirmwareSize)), S_OK);
    Settle();
    EXPECT_EQ(m_sender->Cancel(), S_OK);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, ERROR_CANCELLED);
    EXPECT_EQ(completions[0].details, kCancelledText);
    EXPECT_EQ(m_sender->Cancel(), S_OK);  // idle: nothing more
    EXPECT_EQ(completions.size(), 1u);
    Settle();
    EXPECT_EQ(Receiver().GetOutcome(), Outcome::kSenderCancelled);

    completions.clear();
    m_link->Boot();
    ASSERT_EQ(m_sender->Start(FirmwareImage(kFirmwareSize)), S_OK);
    onProgress = [this](int) { EXPECT_EQ(m_sender->Cancel(), S_OK); };
    Settle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, ERROR_CANCELLED);
    // The block after the event never went out.
    EXPECT_EQ(Receiver().BlocksAccepted(), 1);
    EXPECT_EQ(Receiver().GetOutcome(), Outcome::kSenderCancelled);
}

TEST_F(SerialUploadTest, APortThatDisappearsEndsTheUploadWithAnError) {
    Connect();
    ASSERT_EQ(m_sender->Start(FirmwareImage(kFirmwareSize)), S_OK);
    onProgress = [this](int) { m_link->Unplug(); };
    BootAndSettle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, XmodemSender::kPortLost);
    EXPECT_EQ(completions[0].details, "Serial port closed or disconnected during the upload, upload failed");
    EXPECT_FALSE(m_port.IsOpen());
    EXPECT_EQ(m_sender->GetState(), XmodemSender::STATE_IDLE);
    // A new upload on the gone port is refused at once.
    EXPECT_EQ(m_sender->Start(FirmwareImage(128)), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));

    // Unplugged while still waiting for the device.
    completions.clear();
    onProgress = nullptr;
    Connect();
    ASSERT_EQ(m_sender->Start(FirmwareImage(kFirmwareSize)), S_OK);
    Settle();
    m_link->Unplug();
    Settle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, XmodemSender::kPortLost);
}

TEST_F(SerialUploadTest, LoadRefusesBadFilesABusySenderAndAClosedPort) {
    oskan::test::TempFolder folder;
    Connect();
    auto write = [&](const char* name, size_t size) {
        const std::string path = folder.Path() + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(FirmwareImage(size).data()),
                   static_cast<std::streamsize>(size));
        return path;
    };
    const HRESULT badFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
    EXPECT_EQ(m_sender->Load(write("empty.bin", 0)), badFormat);
    EXPECT_EQ(m_sender->Load(write("short.bin", 127)), badFormat);
    EXPECT_EQ(m_sender->Load(write("odd.bin", 129)), badFormat);
    EXPECT_EQ(m_sender->Load(folder.Path() + "/missing.bin"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(m_sender->GetState(), XmodemSender::STATE_IDLE);

    const std::string good = write("good.bin", kFirmwareSize);
    ASSERT_EQ(m_sender->Load(good), S_OK);
    EXPECT_EQ(m_sender->Load(good), HRESULT_FROM_WIN32(ERROR_NOT_READY));
    BootAndSettle();
    ASSERT_EQ(completions.size(), 1u);  // the busy call left the upload whole
    EXPECT_EQ(completions[0].error, 0u);
    EXPECT_EQ(Receiver().Image(), FirmwareImage(kFirmwareSize));

    m_port.Close();
    EXPECT_EQ(m_sender->Load(good), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(completions.size() == 1u);
}

TEST_F(SerialUploadTest, TheCompletionMayStartTheNextUploadOrDestroyTheSender) {
    Connect();
    const std::vector<uint8_t> second = FirmwareImage(3 * 128);
    onComplete = [&](uint32_t error) {
        if (completions.size() == 1) {
            EXPECT_EQ(error, 0u);
            EXPECT_EQ(m_sender->Start(second), S_OK);
            m_link->Boot();
        } else {
            m_sender.reset();  // from inside its own completion
        }
    };
    ASSERT_EQ(m_sender->Start(FirmwareImage(kFirmwareSize)), S_OK);
    BootAndSettle();
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[1].error, 0u);
    EXPECT_EQ(m_sender, nullptr);
    EXPECT_EQ(Receiver().Image(), second);
}

TEST_F(SerialUploadTest, DestroyingARunningSenderCompletesItAsCancelled) {
    Connect();
    ASSERT_EQ(m_sender->Start(FirmwareImage(kFirmwareSize)), S_OK);
    onProgress = [this](int) { m_sender.reset(); };
    BootAndSettle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error, ERROR_CANCELLED);
    EXPECT_EQ(Receiver().GetOutcome(), Outcome::kSenderCancelled);
}

}  // namespace
