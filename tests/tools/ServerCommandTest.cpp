// mirel server against simulated Device Servers: each action, the password
// from the option and from the prompt, what it prints and how it exits, and
// that bad arguments send nothing. On the manual clock inside the test's
// network namespace.

#include "tools/mirel/ServerCommand.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/ServerSimulator.h"
#include "tests/support/TempFolder.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using mirel::ServerAction;
using mirel::ServerOptions;
using oskan::sim::MacAddress;
using oskan::sim::ServerSimulator;
using oskan::sim::SimServer;
using oskan::sim::SimServerSettings;
using winport::ServiceLoop;

constexpr MacAddress kOpen = {0x00, 0x90, 0xE8, 0x00, 0x00, 0x01};
constexpr MacAddress kLocked = {0x00, 0x90, 0xE8, 0x00, 0x00, 0x02};

ServerOptions Options(ServerAction action, std::string address, std::string newIp = {},
                      std::string file = {}) {
    ServerOptions options;
    options.action = action;
    options.address = std::move(address);
    options.newIp = std::move(newIp);
    options.file = std::move(file);
    return options;
}

class ServerCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceLoop::Current().UseManualClock(70'000);
        ASSERT_TRUE(servers.Open());
        SimServerSettings open;
        open.mac = kOpen;
        open.directAccess = false;
        servers.AddServer(open);
        SimServerSettings locked;
        locked.mac = kLocked;
        locked.password = "pw";
        servers.AddServer(locked);
    }
    void TearDown() override { servers.Close(); }

    int Run(ServerOptions options) {
        out.str("");
        err.str("");
        questions.clear();
        return mirel::RunServerCommand(options, out, err, [this](const std::string& question) {
            questions.push_back(question);
            std::optional<std::string> answer =
                answers.empty() ? std::nullopt : std::optional(answers.front());
            if (!answers.empty())
                answers.erase(answers.begin());
            return answer;
        });
    }
    SimServer& Locked() { return *servers.Find(kLocked); }
    std::string LockedIp() { return oskan::sim::FormatIpv4(Locked().Ip()); }

    ServerSimulator servers;
    std::ostringstream out, err;
    std::vector<std::string> answers;  // what the user types, in turn
    std::vector<std::string> questions;
};

TEST_F(ServerCommandTest, BuzzAndRebootByMacOrByIp) {
    EXPECT_EQ(Run(Options(ServerAction::Buzz, "00-90-e8-00-00-01")), mirel::kExitOk);
    EXPECT_EQ(out.str(), "A\n");
    EXPECT_EQ(servers.Find(kOpen)->Buzzes(), 1u);
    ServerOptions reboot = Options(ServerAction::Reboot, LockedIp());
    reboot.password = "pw";
    EXPECT_EQ(Run(reboot), mirel::kExitOk);
    EXPECT_TRUE(servers.IsRebooting(kLocked));
    EXPECT_TRUE(questions.empty());
}

TEST_F(ServerCommandTest, APasswordIsAskedOnceWhenTheServerWantsOneAndNoneWasGiven) {
    answers = {"pw"};
    EXPECT_EQ(Run(Options(ServerAction::Buzz, LockedIp())), mirel::kExitOk);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(Locked().Buzzes(), 1u);

    answers = {"nope"};
    EXPECT_EQ(Run(Options(ServerAction::Buzz, LockedIp())), mirel::kExitDeviceError);
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_NE(err.str().find("error 5"), std::string::npos) << err.str();

    // Nobody to ask: the hint names the option.
    EXPECT_EQ(Run(Options(ServerAction::Buzz, LockedIp())), mirel::kExitDeviceError);
    EXPECT_NE(err.str().find("--password"), std::string::npos) << err.str();

    // A wrong --password is not asked again.
    ServerOptions wrong = Options(ServerAction::Buzz, LockedIp());
    wrong.password = "nope";
    answers = {"pw"};
    EXPECT_EQ(Run(wrong), mirel::kExitDeviceError);
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(Locked().Buzzes(), 1u);
}

TEST_F(ServerCommandTest, ChangeIpIsRefusedWithDThenTaken) {
    ServerOptions change = Options(ServerAction::ChangeIp, "00-90-E8-00-00-02", "127.1.4.4");
    EXPECT_EQ(Run(change), mirel::kExitDeviceError);
    EXPECT_EQ(out.str(), "D\n");
    EXPECT_EQ(LockedIp(), "127.1.0.3");
    answers = {"pw"};
    EXPECT_EQ(Run(change), mirel::kExitOk);
    EXPECT_EQ(out.str(), "D\nA\n");
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_EQ(LockedIp(), "127.1.4.4");
}

TEST_F(ServerCommandTest, UploadPrintsTheCompletionText) {
    oskan::test::TempFolder folder;
    const std::string file = folder.Path() + "/fw.bin";
    std::ofstream(file, std::ios::binary) << std::string(128 * 3, 'f');
    ServerOptions upload = Options(ServerAction::Upload, LockedIp(), "", file);
    upload.password = "pw";
    EXPECT_EQ(Run(upload), mirel::kExitOk) << err.str();
    EXPECT_EQ(out.str(), "Firmware file successfully loaded into the target.\n");
    ASSERT_TRUE(
        ServiceLoop::Current().RunUntil([&] { return Locked().Upload().CompletedUploads() == 1; }, 1000));
    EXPECT_EQ(Locked().Upload().Image(), std::vector<uint8_t>(128 * 3, 'f'));
    ServiceLoop::Current().RunUntil([&] { return !servers.IsRebooting(kLocked); }, 10000);

    std::ofstream(file, std::ios::binary) << std::string(100, 'f');
    EXPECT_EQ(Run(upload), mirel::kExitUsage);
    EXPECT_NE(err.str().find("0x8007000B"), std::string::npos) << err.str();
}

TEST_F(ServerCommandTest, SilenceTimesOutAndBadArgumentsSendNothing) {
    ServerOptions silent = Options(ServerAction::Buzz, "127.1.8.8");
    EXPECT_EQ(Run(silent), mirel::kExitTimeout);
    const uint64_t before = servers.RequestCount(kOpen, "L") + servers.RequestCount(kLocked, "L");
    for (ServerOptions bad :
         {Options(ServerAction::Buzz, "1.2.3"), Options(ServerAction::Buzz, "2.0.0.1.2.3"),
          Options(ServerAction::ChangeIp, "127.1.0.2", "127.1.0.9"),
          Options(ServerAction::ChangeIp, "00-90-E8-00-00-01", "127.1.0")}) {
        EXPECT_EQ(Run(bad), mirel::kExitUsage) << bad.address;
        EXPECT_FALSE(err.str().empty());
    }
    ServerOptions slash = Options(ServerAction::Buzz, "127.1.0.2");
    slash.password = "a/b";
    EXPECT_EQ(Run(slash), mirel::kExitUsage);
    EXPECT_EQ(servers.RequestCount(kOpen, "L") + servers.RequestCount(kLocked, "L"), before);
}

TEST(ServerAddressText, MacsAndAddresses) {
    EXPECT_TRUE(mirel::IsServerMac("00-90-e8-00-00-01"));
    EXPECT_TRUE(mirel::IsServerMac("00:90:E8:00:00:01"));
    EXPECT_FALSE(mirel::IsServerMac("00-90:E8-00-00-01"));
    EXPECT_FALSE(mirel::IsServerMac("00-90-E8-00-00-0"));
    EXPECT_TRUE(mirel::IsIpv4Text("10.0.0.255"));
    EXPECT_FALSE(mirel::IsIpv4Text("10.0.0.256"));
    EXPECT_FALSE(mirel::IsIpv4Text("10.0.0"));
}

}  // namespace
