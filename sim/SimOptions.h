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
#include "sim/SimServer.h"

namespace oskan::sim {

class Simulator;
class ServerSimulator;

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

    // Fixed-firmware Device Servers beside the devices, with the same faults.
    size_t servers = 0;
    MacAddress firstServerMac{0x00, 0x90, 0xE8, 0x00, 0x00, 0x01};
    std::string serverVersion = "2.10";
    std::vector<bool> directAccess{true};       // taken in turn
    std::vector<std::string> passwords{""};     // taken in turn; empty: none
    std::string description = "Device Server";  // servers get DESCRIPTION-1, DESCRIPTION-2...
    std::string location;                       // the second description, the same for all

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

// Server i as the options describe it.
SimServerSettings ServerSettings(const SimProgramOptions& options, size_t index);
// Adds the servers of the options, with their faults and seed.
void Populate(ServerSimulator& simulator, const SimProgramOptions& options);

}  // namespace oskan::sim
