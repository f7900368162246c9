#pragma once
// Simulated SkOS devices in the test's own process: one simulator on the
// device port, each device answering from its own loopback address, driven by
// the thread's service loop on the manual clock. The simulator goes after the
// derived fixture's members and before the check that no timer is left armed.

#include <gtest/gtest.h>

#include <string>

#include "sim/Simulator.h"
#include "tests/support/ManualClockTest.h"

namespace oskan::test {

class SimulatorTest : public ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        ASSERT_TRUE(sim.Open()) << "the simulator cannot open the device port";
    }

    // A device that reports this version, build and project (an empty text
    // leaves the device's own).
    sim::SimDevice* AddDevice(const sim::MacAddress& mac, const std::string& version = {},
                              const std::string& buildId = {}, const std::string& project = {}) {
        sim::SimDevice* device = sim.AddDevice(mac);
        if (!version.empty())
            device->SetVersion(version);
        if (!buildId.empty())
            device->SetBuildId(buildId);
        if (!project.empty())
            device->SetProjectName(project);
        return device;
    }

    sim::Simulator sim;
};

}  // namespace oskan::test
