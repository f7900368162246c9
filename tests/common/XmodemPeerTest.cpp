// The serial firmware sender against lrzsz's rx, a receiver no one here wrote,
// behind a pseudo-terminal that socat makes, on the real clock: the file rx
// writes equals the firmware; cancel mid-upload ends rx; the far side going
// away mid-upload ends the upload with an error.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/XmodemSender.h"
#include "tests/common/SerialTestSupport.h"
#include "tests/support/SerialPeers.h"
#include "tests/support/TempFolder.h"
#include "winport/base/errors.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using oskan::test::FirmwareImage;

constexpr uint32_t kUploadLimitMs = 60000;  // a failing test ends; a passing one takes well under a second

class LrzszPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_peer.Start(oskan::test::RxCommand("received.bin"), m_folder.Path()))
            << "socat did not make its pseudo-terminal";
        m_output = m_folder.Path() + "/received.bin";
        ASSERT_EQ(m_port.Open(m_peer.Path()), ERROR_SUCCESS);
        m_sender = std::make_unique<XmodemSender>(&m_port, nullptr, OnProgress, OnComplete, this);
    }
    void TearDown() override {
        m_sender.reset();
        m_port.Close();
    }

    static void OnProgress(int percentage, void* user) {
        auto* self = static_cast<LrzszPeerTest*>(user);
        self->m_progress.push_back(percentage);
        if (self->m_onProgress) {
            auto handler = std::move(self->m_onProgress);
            handler();
        }
    }
    static void OnComplete(uint32_t error, const char* details, void* user) {
        auto* self = static_cast<LrzszPeerTest*>(user);
        self->m_error = error;
        self->m_details = details;
        self->m_completions++;
    }
    bool RunUpload() {
        return winport::ServiceLoop::Current().RunUntil([this] { return m_completions > 0; }, kUploadLimitMs);
    }
    std::vector<uint8_t> Received() const {
        std::ifstream in(m_output, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    oskan::test::TempFolder m_folder;
    oskan::test::SocatPty m_peer;
    std::string m_output;
    SerialPort m_port;
    std::unique_ptr<XmodemSender> m_sender;
    std::vector<int> m_progress;
    std::function<void()> m_onProgress;
    int m_completions = 0;
    uint32_t m_error = 0;
    std::string m_details;
};

TEST_F(LrzszPeerTest, RxReceivesTheFirmwareByteForByte) {
    // Long blocks and a tail of short ones; block numbers wrap past 255.
    const std::vector<uint8_t> firmware = FirmwareImage(300 * 1024 + 5 * 128);
    ASSERT_EQ(m_sender->Start(firmware), S_OK);
    ASSERT_TRUE(RunUpload()) << "sender state " << m_sender->GetState() << ", " << m_sender->BytesAccepted()
                             << " bytes accepted";
    EXPECT_EQ(m_error, 0u) << m_details;
    EXPECT_EQ(m_details, "Firmware file successfully loaded into the target.");
    EXPECT_EQ(m_completions, 1);
    // rx has written its file and ended, and socat with it.
    ASSERT_TRUE(m_peer.Program().WaitExit(10000).has_value());
    EXPECT_EQ(Received(), firmware);
    ASSERT_FALSE(m_progress.empty());
    EXPECT_LT(m_progress.back(), 100);
}

TEST_F(LrzszPeerTest, CancelMidUploadEndsRx) {
    m_onProgress = [this] { EXPECT_EQ(m_sender->Cancel(), S_OK); };
    ASSERT_EQ(m_sender->Start(FirmwareImage(64 * 1024)), S_OK);
    ASSERT_TRUE(RunUpload());
    EXPECT_EQ(m_error, ERROR_CANCELLED);
    EXPECT_EQ(m_details, "Loading is cancelled by user.");
    // rx takes the cancel, removes what it had and ends, and socat with it.
    ASSERT_TRUE(m_peer.Program().WaitExit(20000).has_value()) << "rx did not take the cancel";
    EXPECT_TRUE(Received().empty());
}

TEST_F(LrzszPeerTest, ThePeerClosingThePortMidUploadEndsTheUploadWithAnError) {
    // socat, which holds the other side of the sender's terminal, goes.
    m_onProgress = [this] { m_peer.Program().Kill(SIGKILL); };
    ASSERT_EQ(m_sender->Start(FirmwareImage(256 * 1024)), S_OK);
    ASSERT_TRUE(RunUpload());
    EXPECT_EQ(m_completions, 1);
    EXPECT_NE(m_error, 0u);
    EXPECT_NE(m_error, ERROR_CANCELLED);
    EXPECT_EQ(m_error, XmodemSender::kPortLost) << m_details;
    EXPECT_EQ(m_sender->GetState(), XmodemSender::STATE_IDLE);
}

}  // namespace
