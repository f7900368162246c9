// mirel --interface and mirel interfaces, inside "scripts/netns-run --links 2".

#include "tools/mirel/InterfacesCommand.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "common/BroadcastInterfaces.h"
#include "tests/support/TestBedLinks.h"

namespace {

class InterfacesCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv(BroadcastInterfaces::kEnvironmentVariable);
        ASSERT_EQ(oskan::sim::TestBed::Links().size(), 2u) << "run through scripts/netns-run --links 2";
        ASSERT_TRUE(oskan::test::BringUp("oskan-tb1"));
        ASSERT_TRUE(oskan::test::BringUp("oskan-tb2"));
    }
    void TearDown() override {
        unsetenv(BroadcastInterfaces::kEnvironmentVariable);
        EXPECT_TRUE(oskan::test::BringUp("oskan-tb1"));
    }
    int Apply(const std::vector<std::string>& names) {
        err.str("");
        return mirel::ApplyInterfaceSelection(names, err);
    }
    std::string List() {
        std::ostringstream out;
        EXPECT_EQ(mirel::ListInterfaces(out), mirel::kExitOk);
        return out.str();
    }
    static std::string Selected() {
        const char* value = std::getenv(BroadcastInterfaces::kEnvironmentVariable);
        return value ? value : "<unset>";
    }
    std::ostringstream err;
};

TEST_F(InterfacesCommandTest, ListsEachInterfaceInUseWithItsAddresses) {
    EXPECT_EQ(List(),
              "INTERFACE        ADDRESS          BROADCAST\n"
              "oskan-tb1        169.254.1.1      169.254.1.255\n"
              "oskan-tb2        169.254.2.1      169.254.2.255\n");
    ASSERT_EQ(Apply({"oskan-tb2"}), mirel::kExitOk);
    EXPECT_EQ(Selected(), "oskan-tb2");
    EXPECT_EQ(List(),
              "INTERFACE        ADDRESS          BROADCAST\n"
              "oskan-tb2        169.254.2.1      169.254.2.255\n");
    EXPECT_EQ(err.str(), "");
}

TEST_F(InterfacesCommandTest, NamesGivenTwiceOrJoinedAreOneSelection) {
    ASSERT_EQ(Apply({"oskan-tb2", "oskan-tb1,oskan-tb2"}), mirel::kExitOk);
    EXPECT_EQ(Selected(), "oskan-tb2,oskan-tb1");
    EXPECT_EQ(Apply({" , "}), mirel::kExitUsage);
    EXPECT_EQ(err.str(), "mirel: --interface needs the name of an interface\n");
}

// An unknown name stops the run before anything is sent, and leaves the
// selection as it was.
TEST_F(InterfacesCommandTest, AnUnknownNameIsAnError) {
    EXPECT_EQ(Apply({"oskan-tb1", "eth7"}), mirel::kExitUsage);
    EXPECT_EQ(err.str(), "mirel: unknown interface \"eth7\"; \"mirel interfaces\" lists the ones in use\n");
    EXPECT_EQ(Selected(), "<unset>");

    setenv(BroadcastInterfaces::kEnvironmentVariable, "wlan9", 1);
    EXPECT_EQ(Apply({}), mirel::kExitUsage);
    EXPECT_EQ(err.str(),
              "mirel: unknown interface \"wlan9\" (OSKAN_INTERFACES); \"mirel interfaces\" lists the ones in "
              "use\n");
}

TEST_F(InterfacesCommandTest, ALinkThatIsDownIsAnErrorAloneAndAWarningBesideAnother) {
    ASSERT_TRUE(oskan::test::TakeDown("oskan-tb1"));
    EXPECT_EQ(Apply({"oskan-tb1"}), mirel::kExitUsage);
    EXPECT_EQ(err.str(),
              "mirel: none of the interfaces asked for can broadcast now: oskan-tb1: it is down;\n");
    EXPECT_EQ(Apply({"oskan-tb1", "oskan-tb2"}), mirel::kExitOk);
    EXPECT_EQ(err.str(), "mirel: not used now, oskan-tb1: it is down\n");
    EXPECT_EQ(Apply({"lo"}), mirel::kExitUsage);
    EXPECT_EQ(err.str(),
              "mirel: none of the interfaces asked for can broadcast now: lo: the loopback is never used;\n");
}

}  // namespace
