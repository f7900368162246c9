// The test bed of "scripts/netns-run --links 2" and the isolation check that
// accepts its links and nothing else.

#include "sim/TestBed.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <cstdlib>
#include <string>

#include "sim/NetworkIsolation.h"

namespace {

using oskan::sim::TestBed;

std::string Dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

class TestBedTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* testbed = std::getenv("OSKAN_TESTBED");
        ASSERT_NE(testbed, nullptr) << "run through scripts/netns-run --links 2";
        m_saved = testbed;
    }
    void TearDown() override { setenv("OSKAN_TESTBED", m_saved.c_str(), 1); }
    std::string m_saved;
};

TEST_F(TestBedTest, LinksAreReadFromTheEnvironmentWithTheirAddresses) {
    auto links = TestBed::Links();
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].name, "oskan-tb1");
    EXPECT_EQ(Dotted(links[0].nearAddress), "169.254.1.1");
    EXPECT_EQ(Dotted(links[1].farAddress), "169.254.2.2");
    EXPECT_GT(links[1].holderPid, 0);

    setenv("OSKAN_TESTBED", "eth0:1,oskan-tb3:x,oskan-tb300:5,,oskan-tb4:77", 1);
    links = TestBed::Links();
    ASSERT_EQ(links.size(), 1u);  // only well-formed test bed entries
    EXPECT_EQ(links[0].name, "oskan-tb4");
    EXPECT_EQ(links[0].holderPid, 77);
}

// Here and at each far end only lo and the links; a link the environment does
// not name is an interface like any other, and the check refuses.
TEST_F(TestBedTest, OnlyTheNamedLinksPassTheIsolationCheck) {
    EXPECT_TRUE(oskan::sim::IsNetworkIsolated());
    for (const auto& link : TestBed::Links()) {
        std::string farName;
        EXPECT_TRUE(TestBed::InFarNamespace(link, [&] {
            EXPECT_EQ(if_nametoindex(link.name.c_str()), 0u);
            farName = link.name + "-far";
            EXPECT_NE(if_nametoindex(farName.c_str()), 0u);
        }));
        EXPECT_EQ(farName, link.name + "-far");
    }
    setenv("OSKAN_TESTBED", m_saved.substr(0, m_saved.find(',')).c_str(), 1);
    EXPECT_FALSE(oskan::sim::IsNetworkIsolated());
    ASSERT_EQ(TestBed::Links().size(), 1u);
    unsetenv("OSKAN_TESTBED");
    EXPECT_FALSE(oskan::sim::IsNetworkIsolated());
}

}  // namespace
