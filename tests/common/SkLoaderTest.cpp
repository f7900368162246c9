// The loader engine over a transport that records its frames: every request,
// reply, error code and re-entrant call, on the manual clock.

#include "common/skloader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ManualClockTest.h"
#include "tests/support/RecordingTransport.h"
#include "tests/support/TempFolder.h"
#include "winport/base/debugout.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using oskan::test::RecordingTransport;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using winport::ServiceLoop;

constexpr HRESULT kBusy = static_cast<HRESULT>(0x80070015);
constexpr HRESULT kBadFormat = static_cast<HRESULT>(0x8007000B);

struct Completion {
    uint32_t error;
    std::string details;
    bool operator==(const Completion&) const = default;
};
void PrintTo(const Completion& c, std::ostream* os) {
    *os << c.error << " \"" << c.details << "\"";
}

// A file of `size` bytes whose block n is filled with the byte n + 1.
std::vector<uint8_t> BlockPattern(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(i / 128 + 1);
    return data;
}

// An application file: header with the four fields, strings at the end.
std::vector<uint8_t> ApplicationFile(const std::string& buildId, const std::string* platform) {
    std::vector<uint8_t> file(256, 0);
    auto put = [&](uint32_t offset, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            file[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    const uint32_t area = 128;
    std::string strings = buildId + '\0';
    put(SkApplicationHeader::kBuildIdField, 0);
    if (platform) {
        put(SkApplicationHeader::kPlatformField, static_cast<uint32_t>(strings.size()));
        strings += *platform + '\0';
    } else {
        put(SkApplicationHeader::kPlatformField, SkApplicationHeader::kNoPlatform);
    }
    put(SkApplicationHeader::kStringAreaField, area);
    put(SkApplicationHeader::kStringAreaSizeField, static_cast<uint32_t>(strings.size()));
    std::copy(strings.begin(), strings.end(), file.begin() + area);
    return file;
}

class SkLoaderTest : public oskan::test::ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        transport.SetNextRequestId(0x100);
    }
    void TearDown() override {
        loader.reset();
        ManualClockTest::TearDown();
    }

    std::string WriteFile(const std::string& name, const std::vector<uint8_t>& data) {
        return folder.Write(name, data);
    }
    std::string WriteFile(size_t size) { return WriteFile("f" + std::to_string(size), BlockPattern(size)); }

    // The last frame sent, and a reply to it when it is a text request.
    const std::string& Last() const { return transport.Last(); }
    void ReplyToLast(const std::string& text) {
        const std::string& request = Last();
        transport.Reply(text + request.substr(request.find('|')));
    }
    void Receive(const std::string& reply) { transport.Reply(reply); }
    void Ack(char code, int number) {
        const char bytes[3] = {code, static_cast<char>(number >> 8), static_cast<char>(number & 0xFF)};
        Receive(std::string(bytes, 3));
    }
    static std::string BlockFrame(int number, const std::vector<uint8_t>& file) {
        std::string frame = {'D', static_cast<char>(number >> 8), static_cast<char>(number & 0xFF)};
        frame.append(reinterpret_cast<const char*>(file.data()) + number * 128, 128);
        return frame;
    }
    // Accepts every block from the current one on.
    void AcceptAllBlocks(int fixedOffset = 0) {
        while (loader->GetState() == SkLoader::STATE_SEND_BLOCKS)
            Ack('A', loader->CurrentBlock() + fixedOffset);
    }
    HRESULT StartFirmware(size_t size, int flags = 0) {
        HRESULT hr = loader->Load(WriteFile(size), flags);
        if (hr == S_OK)
            ReplyToLast("A");
        return hr;
    }

    static void OnProgress(int percentage, void* user) {
        auto* self = static_cast<SkLoaderTest*>(user);
        self->progress.push_back(percentage);
        if (self->onProgress)
            self->onProgress();
    }
    static void OnComplete(uint32_t error, const char* details, void* user) {
        auto* self = static_cast<SkLoaderTest*>(user);
        self->completions.push_back({error, details});
        if (self->onComplete)
            self->onComplete();
    }

    oskan::test::TempFolder folder{"skloader-test"};
    const std::string& dir = folder.Path();
    RecordingTransport transport;
    std::vector<int> progress;
    std::vector<Completion> completions;
    std::function<void()> onProgress, onComplete;
    std::unique_ptr<SkLoader> loader =
        std::make_unique<SkLoader>(&transport, nullptr, &OnProgress, &OnComplete, this);
};

// ---------------------------------------------------------------- Load

TEST_F(SkLoaderTest, SizesThatAreNotWholeBlocksAreRefusedWithoutAnEvent) {
    for (size_t size : {0, 127, 129, 255}) {
        EXPECT_EQ(loader->Load(WriteFile(size), 0), kBadFormat) << size;
    }
    EXPECT_EQ(loader->GetState(), SkLoader::STATE_IDLE);
    EXPECT_FALSE(loader->HasTransportClient());
    EXPECT_EQ(transport.ClientCount(), 0u);
    EXPECT_THAT(transport.sent, IsEmpty());
    EXPECT_THAT(completions, IsEmpty());
}

TEST_F(SkLoaderTest, FileErrorsAreWin32CodesAsHresults) {
    EXPECT_EQ(loader->Load(dir + "/missing.bin", 0), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(loader->Load(dir, 0), static_cast<HRESULT>(0x80070005));  // a directory
    EXPECT_EQ(loader->Load(dir + "/missing/x.bin", 0), static_cast<HRESULT>(0x80070002));
    // A zero inside the name would open another file: the valid prefix exists.
    const std::string path = WriteFile(128);
    EXPECT_EQ(loader->Load(path + std::string("\0.bak", 5), 0), static_cast<HRESULT>(0x8007007B));
    EXPECT_EQ(loader->Load(path, 0), S_OK);
}

TEST_F(SkLoaderTest, UnreadableFileIsAccessDenied) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    const std::string path = WriteFile(128);
    chmod(path.c_str(), 0);
    EXPECT_EQ(loader->Load(path, 0), static_cast<HRESULT>(0x80070005));
}

TEST_F(SkLoaderTest, FifoReadsAsEmptyInsteadOfBlocking) {
    const std::string path = dir + "/fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(loader->Load(path, 0), kBadFormat);
}

TEST_F(SkLoaderTest, FilesBeyondTheBlockNumbersAreRefused) {
    EXPECT_EQ(loader->Load(WriteFile(65537 * 128), 0), kBadFormat);
    // With the fixed-firmware numbering block 65535 would be acknowledged as 0.
    EXPECT_EQ(loader->Load(WriteFile(65536 * 128), OLF_FIXED_FIRMWARE), kBadFormat);
    EXPECT_EQ(loader->Load(WriteFile(65535 * 128), OLF_FIXED_FIRMWARE), S_OK);
    loader->Cancel();
    EXPECT_EQ(loader->Load(WriteFile(65536 * 128), 0), S_OK);
    EXPECT_EQ(loader->BlockCount(), 65536);
}

TEST_F(SkLoaderTest, FirstRequestFollowsTheFlags) {
    struct Case {
        int flags;
        const char* request;
        int state;
    };
    const std::string path = WriteFile(256);
    for (Case c : {Case{0, "QF", SkLoader::STATE_START}, Case{1, "Q", SkLoader::STATE_START},
                   Case{3, "X", SkLoader::STATE_GET_INFO}, Case{5, "X", SkLoader::STATE_GET_INFO},
                   Case{7, "X", SkLoader::STATE_GET_INFO}, Case{2, "QF", SkLoader::STATE_START},
                   Case{9, "Q", SkLoader::STATE_START}, Case{8, "QF", SkLoader::STATE_START}}) {
        transport.sent.clear();
        ASSERT_EQ(loader->Load(path, c.flags), S_OK) << c.flags;
        ASSERT_EQ(transport.sent.size(), 1u);
        EXPECT_EQ(Last().substr(0, Last().find('|')), c.request) << c.flags;
        EXPECT_EQ(loader->GetState(), c.state) << c.flags;
        loader->Cancel();
    }
}

TEST_F(SkLoaderTest, SecondLoadWhileRunningIsBusyAndLeavesTheUploadAlone) {
    ASSERT_EQ(StartFirmware(384), S_OK);
    Ack('A', 0);
    const std::vector<std::string> before = transport.sent;
    EXPECT_EQ(loader->Load(WriteFile(128), OLF_LOAD_APPLICATION), kBusy);
    EXPECT_EQ(transport.sent, before);
    EXPECT_EQ(loader->BlockCount(), 3);
    EXPECT_EQ(loader->CurrentBlock(), 1);
    AcceptAllBlocks();
    ReplyToLast("A");  // "N"
    ReplyToLast("A");  // "EC"
    EXPECT_THAT(completions,
                ElementsAre(Completion{0, "Firmware file successfully loaded into the target."}));
}

// ---------------------------------------------------------------- the exchange

TEST_F(SkLoaderTest, OneBlockFileGoesStraightToTheEndRequestWithoutProgress) {
    const std::vector<uint8_t> file = BlockPattern(128);
    ASSERT_EQ(loader->Load(WriteFile("one.bin", file), 0), S_OK);
    ReplyToLast("A");
    EXPECT_EQ(Last(), BlockFrame(0, file));
    EXPECT_EQ(loader->GetState(), SkLoader::STATE_SEND_BLOCKS);
    Ack('A', 0);
    EXPECT_EQ(Last().substr(0, 2), "N|");
    EXPECT_EQ(loader->GetState(), SkLoader::STATE_FINISH_FIRMWARE);
    ReplyToLast("A");
    EXPECT_EQ(Last().substr(0, 3), "EC|");
    EXPECT_EQ(loader->GetState(), SkLoader::STATE_CONFIRM_FIRMWARE);
    ReplyToLast("A");
    EXPECT_THAT(progress, IsEmpty());
    EXPECT_THAT(completions,
                ElementsAre(Completion{0, "Firmware file successfully loaded into the target."}));
    EXPECT_EQ(loader->GetState(), SkLoader::STATE_IDLE);
    EXPECT_EQ(transport.ClientCount(), 0u);
    EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 0u);
}

TEST_F(SkLoaderTest, ApplicationSendsEveryBlockInOrderThenT) {
    const std::vector<uint8_t> file = BlockPattern(128 * 3);
    ASSERT_EQ(loader->Load(WriteFile("app.opc", file), OLF_LOAD_APPLICATION), S_OK);
    ReplyToLast("A");
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(Last(), BlockFrame(n, file));
        Ack('A', n);
    }
    EXPECT_EQ(Last().substr(0, 2), "T|");
    EXPECT_EQ(loader->GetState(), SkLoader::STATE_FINISH_APPLICATION);
    ReplyToLast("A");
    EXPECT_THAT(completions,
                ElementsAre(Completion{0, "Application file successfully loaded into the target."}));
}

TEST_F(SkLoaderTest, BlockNumbersAreBigEndianOnTheWire) {
    ASSERT_EQ(StartFirmware(128 * 300), S_OK);
    for (int n = 0; n < 258; ++n)
        Ack('A', n);
    ASSERT_EQ(Last().size(), 131u);
    EXPECT_EQ(static_cast<uint8_t>(Last()[1]), 1);
    EXPECT_EQ(static_cast<uint8_t>(Last()[2]), 2);
}

TEST_F(SkLoaderTest, RepliesWithAnotherOrNoIdAreIgnored) {
    ASSERT_EQ(loader->Load(WriteFile(256), 0), S_OK);
    Receive("A");
    Receive("A|");
    Receive("A|00000001");
    Receive("Axyz|zz");
    EXPECT_EQ(loader->GetState(), SkLoader::STATE_START);
    ReplyToLast("A");
    EXPECT_EQ(loader->GetState(), SkLoader::STATE_SEND_BLOCKS);
    EXPECT_THAT(completions, IsEmpty());
}

TEST_F(SkLoaderTest, AcknowledgementOfAnotherBlockIsIgnoredAndTheBlockResent) {
    const std::vector<uint8_t> file = BlockPattern(128 * 4);
    ASSERT_EQ(loader->Load(WriteFile("f.bin", file), 0), S_OK);
    ReplyToLast("A");
    Ack('A', 0);
    Ack('A', 0);  // a duplicate of the previous acknowledgement
    Ack('A', 2);
    Ack('A', 257);
    EXPECT_EQ(loader->CurrentBlock(), 1);
    Receive(std::string("A\0", 2));  // too short to carry a number
    EXPECT_EQ(loader->CurrentBlock(), 1);
    const size_t sent = transport.sent.size();
    ServiceLoop::Current().AdvanceClock(600);
    ASSERT_GT(transport.sent.size(), sent);
    EXPECT_EQ(Last(), BlockFrame(1, file));
}

TEST_F(SkLoaderTest, FixedFirmwareNumberingAndThreeUnansweredE) {
    ASSERT_EQ(StartFirmware(128 * 3, OLF_FIXED_FIRMWARE), S_OK);
    Ack('A', 0);  // 0 accepts block 0
    EXPECT_EQ(loader->CurrentBlock(), 1);
    Ack('A', 1);  // n + 1 accepts block n: this is block 0 again
    EXPECT_EQ(loader->CurrentBlock(), 1);
    Ack('A', 2);
    Ack('A', 3);
    EXPECT_EQ(Last().substr(0, 2), "N|");
    const size_t before = transport.sent.size();
    ReplyToLast("A");
    EXPECT_THAT(
        std::vector<std::string>(transport.sent.begin() + static_cast<long>(before), transport.sent.end()),
        ElementsAre("E", "E", "E"));
    EXPECT_THAT(completions,
                ElementsAre(Completion{0, "Firmware file successfully loaded into the target."}));
    // Nothing is left to resend.
    ServiceLoop::Current().AdvanceClock(2000);
    EXPECT_EQ(transport.sent.size(), before + 3);
}

TEST_F(SkLoaderTest, FixedFirmwareApplicationEndsWithTAsUsual) {
    ASSERT_EQ(loader->Load(WriteFile(256), OLF_FIXED_FIRMWARE | OLF_LOAD_APPLICATION), S_OK);
    ReplyToLast("A");
    Ack('A', 1);
    Ack('A', 2);
    EXPECT_EQ(Last().substr(0, 2), "T|");
}

// ---------------------------------------------------------------- error codes

TEST_F(SkLoaderTest, EveryErrorBlockReplyEndsTheUploadWhateverBlockItNames) {
    struct Case {
        char code;
        int number;
        int flags;
        Completion completion;
    };
    for (Case c :
         {Case{'F', 0, 0, {29, "Target reported FLASH write failure, upload failed"}},
          Case{
              'O', 9, 0, {8, "Target does not have enough ROM (application memory) to run this application"}},
          Case{'S', 500, 0, {13, "Target reported packet out of sequence, upload failed"}},
          Case{'S', 1, 1, {13, "Target reported packet out of sequence, upload failed"}},
          Case{'F', 0xFFFF, 1, {29, "Target reported FLASH write failure, upload failed"}},
          Case{'X', 7, 0, {31, "Failed to upload firmware file to the target"}},
          Case{'\0', 1, 1, {31, "Failed to upload application file to the target"}}}) {
        completions.clear();
        ASSERT_EQ(StartFirmware(384, c.flags), S_OK);
        Ack('A', 0);
        // Only an acceptance is bound to the block in flight: a late copy for
        // the previous block, or one for a later block, is ignored.
        Ack('A', 0);
        Ack('A', 2);
        EXPECT_THAT(completions, IsEmpty()) << c.code;
        EXPECT_EQ(loader->CurrentBlock(), 1);
        Ack(c.code, c.number);
        EXPECT_THAT(completions, ElementsAre(c.completion)) << c.code;
        EXPECT_EQ(loader->GetState(), SkLoader::STATE_IDLE);
        EXPECT_EQ(transport.ClientCount(), 0u);
    }
}

TEST_F(SkLoaderTest, EndAndStartRepliesWithEveryCode) {
    struct Case {
        int flags;
        int stage;  // 0 start, 1 end request, 2 confirmation
        const char* reply;
        Completion completion;
    };
    const char* appFailed = "Failed to upload application file to the target";
    const char* fwFailed = "Failed to upload firmware file to the target";
    for (Case c :
         {Case{1, 0, "E", {31, appFailed}}, Case{0, 0, "F", {31, fwFailed}},
          Case{1, 1, "F", {29, "Target reported checksum error in uploaded application file"}},
          Case{1, 1, "O", {8, "Target does not have enough RAM (variable memory) to run this application"}},
          Case{1, 1, "S", {31, appFailed}}, Case{0, 1, "F", {31, fwFailed}}, Case{0, 1, "O", {31, fwFailed}},
          Case{0, 2, "E", {31, fwFailed}}, Case{8, 1, "S", {31, fwFailed}}}) {
        completions.clear();
        ASSERT_EQ(loader->Load(WriteFile(128), c.flags), S_OK);
        for (int stage = 0; stage < c.stage; ++stage) {
            ReplyToLast("A");
            if (stage == 0)
                Ack('A', c.flags & OLF_FIXED_FIRMWARE ? 1 : 0);
        }
        ReplyToLast(c.reply);
        EXPECT_THAT(completions, ElementsAre(c.completion)) << c.flags << "/" << c.stage << "/" << c.reply;
        EXPECT_EQ(loader->GetState(), SkLoader::STATE_IDLE);
    }
}

// ---------------------------------------------------------------- version checks

class SkLoaderInfoTest : public SkLoaderTest {
protected:
    HRESULT LoadApp(int flags, const std::string& buildId, const std::string* platform) {
        return loader->Load(WriteFile("app.opc", ApplicationFile(buildId, platform)), flags);
    }
    std::string FirstWord() const { return Last().substr(0, Last().find('|')); }
};

TEST_F(SkLoaderInfoTest, SkipIfLoadedEndsWithoutABlockWhenTheBuildMatches) {
    ASSERT_EQ(LoadApp(OLF_LOAD_APPLICATION | OLF_SKIP_IF_LOADED, "b1207", nullptr), S_OK);
    ReplyToLast("A3.51/b1207/Boiler");
    EXPECT_THAT(completions,
                ElementsAre(Completion{0, "Application file is already loaded into the target."}));
    EXPECT_EQ(transport.sent.size(), 1u);

    completions.clear();
    ASSERT_EQ(LoadApp(OLF_LOAD_APPLICATION | OLF_SKIP_IF_LOADED, "b1207", nullptr), S_OK);
    ReplyToLast("A3.51/b1208/Boiler");
    EXPECT_THAT(completions, IsEmpty());
    EXPECT_EQ(FirstWord(), "Q");
}

TEST_F(SkLoaderInfoTest, BuildIdentifierWithoutAProjectEndsAtTheIdSuffix) {
    ASSERT_EQ(LoadApp(OLF_LOAD_APPLICATION | OLF_SKIP_IF_LOADED, "b9", nullptr), S_OK);
    ReplyToLast("A3.51/b9");
    EXPECT_THAT(completions,
                ElementsAre(Completion{0, "Application file is already loaded into the target."}));
}

TEST_F(SkLoaderInfoTest, SkipWinsOverAMismatchingPlatform) {
    const std::string platform = "Q-9.9";
    ASSERT_EQ(LoadApp(7, "b1", &platform), S_OK);
    ReplyToLast("A<P-1.2.3>/b1/x");
    EXPECT_THAT(completions,
                ElementsAre(Completion{0, "Application file is already loaded into the target."}));
}

TEST_F(SkLoaderInfoTest, PlatformIsReadAfterTheBracketOrAfterTheFirstCharacter) {
    const std::string platform = "P-1.2";
    for (const char* version : {"<P-1.2.3>", "vP-1.2.3", "xx<P-1.2.77.1"}) {
        transport.sent.clear();
        ASSERT_EQ(LoadApp(OLF_LOAD_APPLICATION | OLF_CHECK_FIRMWARE_VERSION, "b1", &platform), S_OK);
        ReplyToLast(std::string("A") + version + "/b0/p");
        EXPECT_THAT(completions, IsEmpty()) << version;
        EXPECT_EQ(FirstWord(), "Q") << version;
        loader->Cancel();
        completions.clear();
    }
}

TEST_F(SkLoaderInfoTest, PlatformMismatchNamesBothSides) {
    const std::string platform = "P-1.3";
    ASSERT_EQ(LoadApp(OLF_LOAD_APPLICATION | OLF_CHECK_FIRMWARE_VERSION, "b1", &platform), S_OK);
    ReplyToLast("A<P-1.2.3>/b0/p");
    EXPECT_THAT(completions, ElementsAre(Completion{
                                 13,
                                 "Firmware version mismatch (platform requires: <P-1.3.xx>, target runs: "
                                 "<P-1.2.3>).\nUpdate the SkOS firmware of your target (main menu: Project "
                                 "-> Select/Manage Target)."}));
    EXPECT_EQ(transport.sent.size(), 1u);
}

TEST_F(SkLoaderInfoTest, VersionWithoutTwoDotsCannotBeChecked) {
    const std::string platform = "P-1.2";
    for (const char* version : {"P-12", "<P-1>.", "", "<", "v1."}) {
        completions.clear();
        ASSERT_EQ(LoadApp(OLF_LOAD_APPLICATION | OLF_CHECK_FIRMWARE_VERSION, "b1", &platform), S_OK);
        ReplyToLast(std::string("A") + version + "/b0/p");
        EXPECT_THAT(completions, ElementsAre(Completion{
                                     13, "Firmware version check failed (invalid version string format)"}))
            << version;
    }
}

TEST_F(SkLoaderInfoTest, NoPlatformRequirementSkipsTheCheck) {
    ASSERT_EQ(LoadApp(OLF_LOAD_APPLICATION | OLF_CHECK_FIRMWARE_VERSION, "b1", nullptr), S_OK);
    ReplyToLast("Anonsense/b0/p");
    EXPECT_THAT(completions, IsEmpty());
    EXPECT_EQ(FirstWord(), "Q");
}

TEST_F(SkLoaderInfoTest, InfoReplyThatDoesNotParseFailsTheUpload) {
    for (const char* reply : {"E3.51/b1/p", "A3.51", "A"}) {
        completions.clear();
        ASSERT_EQ(LoadApp(OLF_LOAD_APPLICATION | OLF_SKIP_IF_LOADED, "b1", nullptr), S_OK);
        ReplyToLast(reply);
        EXPECT_THAT(completions,
                    ElementsAre(Completion{31, "Failed to upload application file to the target"}))
            << reply;
    }
}

TEST(SkApplicationHeader, HostileOffsetsReadOnlyWithinTheFile) {
    std::vector<uint8_t> file(128, 0);
    auto put = [&](uint32_t offset, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            file[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    const char text[] = "abc";
    std::copy(text, text + 3, file.begin() + 120);  // "abc" then the zero at 123
    put(SkApplicationHeader::kStringAreaField, 120);
    put(SkApplicationHeader::kStringAreaSizeField, 0xFFFFFFFF);
    put(SkApplicationHeader::kBuildIdField, 1);
    EXPECT_EQ(SkApplicationHeader::ReadString(file, SkApplicationHeader::kBuildIdField), "bc");
    // No zero before the end of the file: the string stops there.
    file[123] = 'd';
    for (int i = 124; i < 128; ++i)
        file[i] = 'e';
    EXPECT_EQ(SkApplicationHeader::ReadString(file, SkApplicationHeader::kBuildIdField), "bcdeeee");
    // Pointing past the end, or wrapping 32 bits, reads nothing.
    put(SkApplicationHeader::kBuildIdField, 8);
    EXPECT_EQ(SkApplicationHeader::ReadString(file, SkApplicationHeader::kBuildIdField), "");
    put(SkApplicationHeader::kStringAreaField, 0xFFFFFFF0);
    put(SkApplicationHeader::kBuildIdField, 0x20);
    file[0x10] = 'h';  // where a 32-bit sum would land
    EXPECT_EQ(SkApplicationHeader::ReadString(file, SkApplicationHeader::kBuildIdField), "");
    // An offset beyond the area's size reads as empty.
    put(SkApplicationHeader::kStringAreaField, 120);
    put(SkApplicationHeader::kStringAreaSizeField, 0);
    put(SkApplicationHeader::kBuildIdField, 1);
    EXPECT_EQ(SkApplicationHeader::ReadString(file, SkApplicationHeader::kBuildIdField), "");
    EXPECT_EQ(SkApplicationHeader::ReadField(file, 125), 0u);
    EXPECT_EQ(SkApplicationHeader::ReadField(file, 0xFFFFFFFE), 0u);
}

// ---------------------------------------------------------------- cancel and re-entry

TEST_F(SkLoaderTest, CancelWhenIdleDoesNothing) {
    EXPECT_EQ(loader->Cancel(), S_OK);
    EXPECT_THAT(completions, IsEmpty());
}

TEST_F(SkLoaderTest, CancelCompletesOnceAndStopsEveryRetransmission) {
    ASSERT_EQ(StartFirmware(128 * 8), S_OK);
    Ack('A', 0);
    EXPECT_EQ(loader->Cancel(), S_OK);
    EXPECT_EQ(loader->Cancel(), S_OK);
    EXPECT_THAT(completions, ElementsAre(Completion{1223, "Loading is cancelled by user."}));
    const size_t sent = transport.sent.size();
    ServiceLoop::Current().AdvanceClock(5000);
    EXPECT_EQ(transport.sent.size(), sent);
    EXPECT_EQ(transport.ClientCount(), 0u);
    Ack('A', 1);  // a late reply finds the loader idle
    EXPECT_EQ(completions.size(), 1u);
}

TEST_F(SkLoaderTest, EveryStateIsLeftByCancel) {
    for (int stage = 0; stage < 4; ++stage) {
        completions.clear();
        ASSERT_EQ(loader->Load(WriteFile(128), 0), S_OK);
        if (stage >= 1)
            ReplyToLast("A");
        if (stage >= 2)
            Ack('A', 0);
        if (stage >= 3)
            ReplyToLast("A");
        loader->Cancel();
        EXPECT_THAT(completions, ElementsAre(Completion{1223, "Loading is cancelled by user."})) << stage;
        EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 0u);
    }
}

TEST_F(SkLoaderTest, NewLoadFromInsideTheCompletion) {
    const std::string next = WriteFile(256);
    HRESULT again = E_FAIL;
    bool first = true;
    onComplete = [&] {
        if (!std::exchange(first, false))
            return;
        EXPECT_EQ(loader->GetState(), SkLoader::STATE_IDLE);
        EXPECT_EQ(transport.ClientCount(), 0u);
        again = loader->Load(next, OLF_LOAD_APPLICATION);
    };
    ASSERT_EQ(StartFirmware(128), S_OK);
    Ack('S', 0);
    EXPECT_EQ(again, S_OK);
    EXPECT_EQ(loader->GetState(), SkLoader::STATE_START);
    EXPECT_EQ(loader->BlockCount(), 2);
    EXPECT_EQ(Last().substr(0, 2), "Q|");
    ReplyToLast("A");
    AcceptAllBlocks();
    ReplyToLast("A");
    EXPECT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[1].error, 0u);
}

TEST_F(SkLoaderTest, CancelFromInsideProgressSendsNoFurtherBlock) {
    ASSERT_EQ(StartFirmware(128 * 4), S_OK);
    onProgress = [&] { loader->Cancel(); };
    Ack('A', 0);
    ASSERT_EQ(progress.size(), 1u);
    EXPECT_EQ(transport.sent.size(), 2u);  // "QF" and block 0 only
    EXPECT_EQ(completions.size(), 1u);
    EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 0u);
}

TEST_F(SkLoaderTest, DestroyingTheLoaderCompletesTheUploadAsCancelled) {
    ASSERT_EQ(StartFirmware(128 * 4), S_OK);
    loader.reset();
    EXPECT_THAT(completions, ElementsAre(Completion{1223, "Loading is cancelled by user."}));
    EXPECT_EQ(transport.ClientCount(), 0u);
    EXPECT_EQ(transport.GetRetransmitter().InFlightCount(), 0u);
}

// ---------------------------------------------------------------- progress

TEST_F(SkLoaderTest, ProgressIsThrottledAndNeverReaches100) {
    ASSERT_EQ(StartFirmware(128 * 100), S_OK);
    for (int n = 0; n < 100; ++n) {
        ServiceLoop::Current().AdvanceClock(10);
        Ack('A', n);
    }
    // One event per more than 50 ms: every sixth block at 10 ms each.
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 1);
    EXPECT_EQ(progress.size(), 17u);
    for (size_t i = 1; i < progress.size(); ++i)
        EXPECT_EQ(progress[i] - progress[i - 1], 6);
    EXPECT_LT(progress.back(), 100);
}

TEST_F(SkLoaderTest, ProgressGoesOnAcrossTheWrapOfTheTickCount) {
    // Acknowledgements 60 ms apart: one lands 55 ms before the wrap, the next
    // 5 ms after it.
    StartClockAt(0x100000000ull - 175);
    ASSERT_EQ(StartFirmware(128 * 100), S_OK);
    for (int n = 0; n < 99; ++n) {
        ServiceLoop::Current().AdvanceClock(60);
        Ack('A', n);
    }
    EXPECT_EQ(progress.size(), 99u);
}

// ---------------------------------------------------------------- other engines' traffic

TEST_F(SkLoaderTest, OtherEnginesRepliesAreNotTakenForBlockAcknowledgements) {
    // 0x7c30 = "|0": a command reply "A|0...." reads as that block number.
    ASSERT_EQ(StartFirmware(128 * 0x7c32), S_OK);
    for (int n = 0; n < 0x7c30; ++n)
        Ack('A', n);
    ASSERT_EQ(loader->CurrentBlock(), 0x7c30);
    Receive("A|0000abcd");
    Receive("E|0123abcd");
    // An unsolicited machine state of the debugger, as "J" and as "A".
    Receive("J*R*/00 A:0 B:0 PC:0 SP:0 FL:***");
    EXPECT_EQ(loader->CurrentBlock(), 0x7c30);
    EXPECT_THAT(completions, IsEmpty());
    Ack('A', 0x7c30);
    EXPECT_EQ(loader->CurrentBlock(), 0x7c31);
}

// ---------------------------------------------------------------- debugger output

struct DebugLines {
    DebugLines() { winport::SetDebugOutputListener(&DebugLines::Record, this); }
    ~DebugLines() { winport::SetDebugOutputListener(nullptr, nullptr); }
    static void Record(const char* text, void* user) {
        static_cast<DebugLines*>(user)->lines.emplace_back(text);
    }
    std::vector<std::string> lines;
};

TEST_F(SkLoaderTest, RepliesAreWrittenToTheDebuggerOutput) {
    DebugLines debug;
    ASSERT_EQ(loader->Load(WriteFile(128), OLF_FIXED_FIRMWARE), S_OK);
    ReplyToLast("A");
    Ack('A', 1);
    Receive("X|00000001");
    EXPECT_THAT(debug.lines,
                ElementsAre("SKLDR: < A|00000100\n", "SKLDR: < A (data block 0)\n", "SKLDR: < X|00000001\n"));
}

}  // namespace
