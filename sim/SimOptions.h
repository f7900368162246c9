#pragma once
// The command line of skos-sim, and the devices it describes.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/SimDevice.h"
#include "sim/SimFaults.h"
#include "sim/SimProtocol.h"

namespace oskan::sim {

class Simulator;

struct SimProgramOptions {
    size_t devices = 1;
    MacAddress firstMac{2, 0, 0, 1, 2, 3};
    std::string version = "1.00";
    std::string buildId = "sim";
    // One name: devices are NAME-1, NAME-2...; several: devices take them in
    // turn.
    std::vector<std::string> projects{"SIM"};
    // Devices take the modes in turn.
    std::vector<SimMachineMode> modes{SimMachineMode::Running};
    SimFaults faults;
    uint64_t seed = 1;
    uint32_t rebootMs = 2000;        // silence after "EC"
    std::string unknownReply = "A";  // the reply to commands no handler knows
    // A serial Device Server's bootloader on a pseudo-terminal, linked at this
    // path, instead of devices on the network.
    std::string serialLink;
    std::string serialFaults;  // see ParseSerialFaults
    std::string serialExpect;  // firmware file the received image is compared with
};

inline constexpr size_t kMaxDevices = 100000;

// Reads the command line into options. Returns the exit code to end with at
// once (0 after --help, 2 after an error, with the text printed to out or err),
// or nothing when the simulator should run.
std::optional<int> ParseSimOptions(int argc, const char* const* argv, SimProgramOptions& options,
                                   std::ostream& out, std::ostream& err);

// Exactly six decimal numbers of 0 to 255 joined by "."; stricter than the
// reading of a request, since a typo on the command line should not pass.
std::optional<MacAddress> ParseMacOption(std::string_view text);

std::string_view ModeName(SimMachineMode mode);
std::optional<SimMachineMode> ModeFromName(std::string_view name);

// Device i as the options describe it.
struct SimDeviceSettings {
    MacAddress mac{};
    std::string version;
    std::string buildId;
    std::string project;
    SimMachineMode mode = SimMachineMode::Running;
};
SimDeviceSettings DeviceSettings(const SimProgramOptions& options, size_t index);

// Adds the devices of the options, with their faults and seed.
void Populate(Simulator& simulator, const SimProgramOptions& options);

}  // namespace oskan::sim
