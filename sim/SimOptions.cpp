#include "sim/SimOptions.h"
#include "sim/SimSerialLink.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <ostream>

#include "sim/ServerSimulator.h"
#include "sim/Simulator.h"

namespace oskan::sim {

namespace {

constexpr uint64_t kLastMac = 0xffffffffffffull;
// Keeps the longest version reply well inside the host's 4096-byte buffer.
constexpr size_t kMaxTextLength = 255;

struct ModeNameEntry {
    SimMachineMode mode;
    std::string_view name;
};
constexpr ModeNameEntry kModeNames[] = {
    {SimMachineMode::Running, "running"},
    {SimMachineMode::StoppedIdle, "stopped-idle"},
    {SimMachineMode::StoppedBusy, "stopped-busy"},
    {SimMachineMode::FileError, "file-error"},
};

// The version reply is "A" version "/" build id "/" project "|" id: a "/" in
// the first two fields or a "|" anywhere would move the host's field borders.
std::string CheckText(std::string_view what, std::string_view text, std::string_view forbidden) {
    if (text.size() > kMaxTextLength)
        return std::string(what) + " is longer than 255 characters";
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return std::string(what) + " holds a control character";
        if (forbidden.find(c) != std::string_view::npos)
            return std::string(what) + " must not contain '" + std::string(1, c) + "'";
    }
    return {};
}

// Checks that span several options; empty when all is well.
std::string Validate(const SimProgramOptions& options) {
    if (options.devices == 0 && options.servers == 0)
        return "--devices: at least one device (or --servers)";
    if (options.servers > 0 && MacToNumber(options.firstServerMac) + (options.servers - 1) > kLastMac)
        return "--servers: the MACs counting up from --server-first-mac run past FF-FF-FF-FF-FF-FF";
    if (options.devices > 0 && MacToNumber(options.firstMac) + (options.devices - 1) > kLastMac)
        return "--devices: the MACs counting up from --first-mac run past 255.255.255.255.255.255";
    std::string problem = CheckText("--version", options.version, "/|");
    if (problem.empty())
        problem = CheckText("--build-id", options.buildId, "/|");
    for (const std::string& project : options.projects)
        if (problem.empty())
            problem = CheckText("--project", project, "|");
    // A "|" would read as the start of the reply's id.
    if (problem.empty())
        problem = CheckText("--unknown-reply", options.unknownReply, "|");
    // The discovery reply separates its fields with tabs; a password travels
    // inside a request whose id follows a "|".
    if (problem.empty())
        problem = CheckText("--server-version", options.serverVersion, "");
    if (problem.empty())
        problem = CheckText("--description", options.description, "");
    if (problem.empty())
        problem = CheckText("--location", options.location, "");
    for (const std::string& password : options.passwords)
        if (problem.empty())
            problem = CheckText("--password", password, "|/");
    return problem;
}

void AddFaultOptions(CLI::App& app, SimFaults& faults, uint64_t& seed) {
    app.add_option("--drop-requests", faults.dropRequest, "probability that a request is lost")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--drop-replies", faults.dropReply, "probability that a reply is lost")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--duplicate-requests", faults.duplicateRequest,
                   "probability that a request arrives twice")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--duplicate", faults.duplicateReply, "probability that a reply is sent twice")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--delay", faults.delayMs, "milliseconds every reply is held");
    app.add_option("--jitter", faults.jitterMs,
                   "up to this many milliseconds more per reply (reorders them)");
    app.add_option("--silent", faults.silentKinds,
                   "request kinds never answered, e.g. ?,X,PC ('?' is the echo)")
        ->delimiter(',');
    app.add_option("--seed", seed, "seed of the fault decisions");
}

}  // namespace

std::optional<MacAddress> ParseMacOption(std::string_view text) {
    MacAddress mac{};
    size_t index = 0;
    size_t pos = 0;
    for (;;) {
        size_t end = std::min(text.find('.', pos), text.size());
        std::string_view part = text.substr(pos, end - pos);
        if (index == mac.size() || part.empty() || part.size() > 3)
            return std::nullopt;
        unsigned value = 0;
        for (char c : part) {
            if (c < '0' || c > '9')
                return std::nullopt;
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (value > 255)
            return std::nullopt;
        mac[index++] = static_cast<uint8_t>(value);
        if (end == text.size())
            break;
        pos = end + 1;
    }
    if (index != mac.size())
        return std::nullopt;
    return mac;
}

std::string_view ModeName(SimMachineMode mode) {
    for (const ModeNameEntry& entry : kModeNames)
        if (entry.mode == mode)
            return entry.name;
    return "unknown";
}

std::optional<SimMachineMode> ModeFromName(std::string_view name) {
    for (const ModeNameEntry& entry : kModeNames)
        if (entry.name == name)
            return entry.mode;
    return std::nullopt;
}

std::optional<int> ParseSimOptions(int argc, const char* const* argv, SimProgramOptions& options,
                                   std::ostream& out, std::ostream& err) {
    CLI::App app{
        "Simulates SkOS devices on UDP port 65535 and fixed-firmware Device Servers on 65534, inside a "
        "private "
        "network namespace only "
        "(scripts/netns-run). Runs until SIGINT or SIGTERM."};
    app.name("skos-sim");
    std::string firstMac = FormatMacText(options.firstMac);
    std::vector<std::string> modeNames;
    app.add_option("--devices", options.devices, "number of SkOS devices (0 with --servers)")
        ->check(CLI::Range(size_t{0}, kMaxDevices));
    app.add_option("--first-mac", firstMac, "MAC of the first device; the others count up from it");
    app.add_option("--version", options.version, "firmware version text");
    app.add_option("--build-id", options.buildId, "build id text");
    app.add_option("--project", options.projects,
                   "project NAME (devices get NAME-1, NAME-2...) or a list A,B,C")
        ->delimiter(',');
    app.add_option("--mode", modeNames,
                   "running, stopped-idle, stopped-busy or file-error; a list is taken in turn")
        ->delimiter(',');
    AddFaultOptions(app, options.faults, options.seed);
    app.add_option("--reboot-ms", options.rebootMs,
                   "milliseconds a device stays silent after the reboot command EC")
        ->check(CLI::Range(0u, 3600000u));
    app.add_option("--unknown-reply", options.unknownReply, "reply text to commands a device does not know");
    std::string firstServerMac = FormatServerMac(options.firstServerMac);
    std::vector<int> direct;
    app.add_option("--servers", options.servers, "number of fixed-firmware Device Servers on UDP port 65534")
        ->check(CLI::Range(size_t{0}, kMaxDevices));
    app.add_option("--server-first-mac", firstServerMac,
                   "MAC of the first server (00-90-E8-00-00-01); the others count up from it");
    app.add_option("--server-version", options.serverVersion, "the servers' firmware version text");
    app.add_option("--direct-access", direct, "1: reached at its IP address, 0: by broadcast; a list in turn")
        ->delimiter(',')
        ->check(CLI::Range(0, 1));
    app.add_option("--password", options.passwords, "server password, - for none; a list is taken in turn")
        ->delimiter(',');
    app.add_option("--description", options.description,
                   "first description: servers get DESCRIPTION-1, DESCRIPTION-2...");
    app.add_option("--location", options.location, "second description, the same for every server");
    app.add_option("--serial-link", options.serialLink,
                   "instead of network devices, a serial Device Server's bootloader (XMODEM-1K/CRC) on a "
                   "pseudo-terminal linked at this path; its name is printed");
    app.add_option(
        "--serial-faults", options.serialFaults,
        "serial faults: nak:BLOCK:COUNT, garbage:BLOCK, cancel:BLOCK, silence:BLOCK:COUNT, joined by ','");
    app.add_option("--serial-expect", options.serialExpect,
                   "firmware file each received image is compared with, byte for byte");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e, out, err);
        return code == 0 ? 0 : 2;
    }
    std::optional<MacAddress> mac = ParseMacOption(firstMac);
    if (!mac) {
        err << "--first-mac: not six numbers of 0 to 255 joined by '.': " << firstMac << "\n";
        return 2;
    }
    options.firstMac = *mac;
    std::optional<MacAddress> serverMac = ParseServerMac(firstServerMac);
    if (!serverMac) {
        err << "--server-first-mac: not six pairs of hexadecimal digits joined by '-': " << firstServerMac
            << "\n";
        return 2;
    }
    options.firstServerMac = *serverMac;
    if (!direct.empty())
        options.directAccess.assign(direct.begin(), direct.end());
    if (options.passwords.empty())
        options.passwords.emplace_back();
    for (std::string& password : options.passwords)
        if (password == "-")
            password.clear();
    if (!modeNames.empty()) {
        options.modes.clear();
        for (const std::string& name : modeNames) {
            std::optional<SimMachineMode> mode = ModeFromName(name);
            if (!mode) {
                err << "--mode: unknown mode '" << name << "'\n";
                return 2;
            }
            options.modes.push_back(*mode);
        }
    }
    if (options.projects.empty())
        options.projects.emplace_back();
    if (!ParseSerialFaults(options.serialFaults)) {
        err << "--serial-faults: not a list of nak:BLOCK:COUNT, garbage:BLOCK, cancel:BLOCK, "
               "silence:BLOCK:COUNT: "
            << options.serialFaults << "\n";
        return 2;
    }
    if (std::string problem = Validate(options); !problem.empty()) {
        err << problem << "\n";
        return 2;
    }
    return std::nullopt;
}

SimDeviceSettings DeviceSettings(const SimProgramOptions& options, size_t index) {
    SimDeviceSettings settings;
    settings.mac = MacFromNumber(MacToNumber(options.firstMac) + index);
    settings.version = options.version;
    settings.buildId = options.buildId;
    if (options.projects.size() == 1)
        settings.project = options.projects[0] + "-" + std::to_string(index + 1);
    else if (!options.projects.empty())
        settings.project = options.projects[index % options.projects.size()];
    if (!options.modes.empty())
        settings.mode = options.modes[index % options.modes.size()];
    return settings;
}

void Populate(Simulator& simulator, const SimProgramOptions& options) {
    simulator.Seed(options.seed);
    simulator.SetFaultsForAll(options.faults);
    for (size_t i = 0; i < options.devices; ++i) {
        SimDeviceSettings settings = DeviceSettings(options, i);
        SimDevice* device = simulator.AddDevice(settings.mac);
        if (!device)
            continue;
        device->SetVersion(settings.version);
        device->SetBuildId(settings.buildId);
        device->SetProjectName(settings.project);
        device->SetMachineMode(settings.mode);
        device->SetRebootMs(options.rebootMs);
        device->SetUnknownReply(options.unknownReply);
    }
}

SimServerSettings ServerSettings(const SimProgramOptions& options, size_t index) {
    SimServerSettings settings;
    settings.mac = MacFromNumber(MacToNumber(options.firstServerMac) + index);
    settings.version = options.serverVersion;
    settings.directAccess = options.directAccess[index % options.directAccess.size()];
    settings.password = options.passwords[index % options.passwords.size()];
    settings.firstDescription = options.description + "-" + std::to_string(index + 1);
    settings.secondDescription = options.location;
    settings.rebootMs = options.rebootMs;
    return settings;
}

void Populate(ServerSimulator& simulator, const SimProgramOptions& options) {
    simulator.Seed(options.seed);
    simulator.SetFaultsForAll(options.faults);
    for (size_t i = 0; i < options.servers; ++i)
        simulator.AddServer(ServerSettings(options, i));
}

}  // namespace oskan::sim
