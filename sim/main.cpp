// skos-sim: simulated SkOS devices and Device Servers for tests, benchmarks and demos. It answers
// broadcasts, so it only ever runs inside a private network namespace.

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "sim/NetworkIsolation.h"
#include "sim/ServerSimulator.h"
#include "sim/SimOptions.h"
#include "sim/SimSerialProgram.h"
#include "sim/Simulator.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using namespace oskan::sim;

void PrintDevices(const Simulator& simulator) {
    for (size_t i = 0; i < simulator.DeviceCount(); ++i) {
        const SimDevice& device = simulator.DeviceAt(i);
        char ip[INET_ADDRSTRLEN] = {};
        in_addr address = Simulator::DeviceAddress(i);
        inet_ntop(AF_INET, &address, ip, sizeof ip);
        std::printf("%s %s %s %.*s\n", device.MacText().c_str(), ip, device.ProjectName().c_str(),
                    static_cast<int>(ModeName(device.MachineMode()).size()),
                    ModeName(device.MachineMode()).data());
    }
    std::fflush(stdout);
}

void PrintServers(const ServerSimulator& servers) {
    for (size_t i = 0; i < servers.ServerCount(); ++i) {
        const SimServer& server = servers.ServerAt(i);
        const SimServerSettings& settings = server.Settings();
        std::printf("%s %s %s %s%s\n", FormatServerMac(server.Mac()).c_str(), FormatIpv4(server.Ip()).c_str(),
                    settings.firstDescription.c_str(), settings.directAccess ? "direct" : "broadcast",
                    settings.password.empty() ? "" : " password");
    }
    std::fflush(stdout);
}

// SIGINT and SIGTERM arrive as a readable descriptor on the loop.
int WatchStopSignals(winport::ServiceLoop& loop) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0)
        return -1;
    int fd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0)
        return -1;
    if (loop.AddWatch(fd, EPOLLIN, [&loop](uint32_t) { loop.Stop(); }) == 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    SimProgramOptions options;
    if (std::optional<int> exitCode = ParseSimOptions(argc, argv, options, std::cout, std::cerr))
        return *exitCode;
    if (!options.serialLink.empty())
        return RunSerialLinkProgram(options);  // a pseudo-terminal, no network
    if (!oskan::sim::IsNetworkIsolated()) {
        std::fprintf(
            stderr,
            "skos-sim: refusing to run: the devices answer broadcasts and must live inside a private "
            "network namespace (scripts/netns-run %s ...)\n",
            argv[0]);
        return 2;
    }
    winport::ServiceLoop& loop = winport::ServiceLoop::Current();
    int signalFd = WatchStopSignals(loop);
    if (signalFd < 0) {
        std::fprintf(stderr, "skos-sim: cannot watch for signals: %s\n", std::strerror(errno));
        return 1;
    }
    Simulator simulator;
    Populate(simulator, options);
    if (options.devices > 0 && !simulator.Open(kDevicePort)) {
        std::fprintf(stderr, "skos-sim: cannot open UDP port %u: %s\n", kDevicePort, std::strerror(errno));
        return 1;
    }
    ServerSimulator servers;
    Populate(servers, options);
    if (options.servers > 0 && !servers.Open(kServerPort)) {
        std::fprintf(stderr, "skos-sim: cannot open UDP port %u: %s\n", kServerPort, std::strerror(errno));
        return 1;
    }
    PrintDevices(simulator);
    PrintServers(servers);
    loop.Run();
    servers.Close();
    simulator.Close();
    close(signalFd);
    return 0;
}
