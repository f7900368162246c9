// Discovery at scale: one scan of 100, 1,000 and 10,000 simulated devices, run
// in-process on one service loop. Prints, per size, the devices found with
// complete information, the scan time and its ratio to the protocol's minimum
// (five echo copies 500 ms apart, then the expiry), CPU time and resident
// memory per device. Runs only inside scripts/netns-run.
//
// Inside "scripts/netns-run --links 2" it scans two links instead, with 5,000
// devices behind each (or as many as the arguments say), one scan over both.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Mirel/MirelUdpRefresh.h"
#include "sim/NetworkIsolation.h"
#include "sim/Simulator.h"
#include "sim/TestBed.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/host/EventConnection.h"
#include "winport/loop/ServiceLoop.h"

namespace {

constexpr double kProtocolMinimumMs = 2500.0;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

struct ScanFigures {
    size_t devices = 0;
    size_t complete = 0;
    double scanMs = 0;
    double cpuSeconds = 0;
    double residentBytesPerDevice = 0;
    LONG error = 0;
};

void AddDevices(oskan::sim::Simulator& sim, uint64_t firstMac, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        auto* device = sim.AddDevice(oskan::sim::MacFromNumber(firstMac + i));
        device->SetVersion("4.2");
        device->SetProjectName("bench-" + std::to_string(i));
        device->SetMachineMode(oskan::sim::SimMachineMode::Running);
    }
}

// One scan of what the simulators hold, deviceCount devices in all.
ScanFigures RunScan(size_t deviceCount, long residentBefore) {
    ScanFigures figures;
    figures.devices = deviceCount;

    ComPtr<ISkRefresh> refresh;
    CMirelUdpRefresh::CreateInstance(IID_ISkRefresh, refresh.ReleaseAndGetVoidAddressOf());
    bool done = false;
    auto sink = winport::DispatchSink::Create(DIID__ISkRefreshEvents, [&](DISPID id, const DISPPARAMS& p) {
        if (id == DISPID_OnRefreshComplete) {
            done = true;
            figures.error = winport::DispatchSink::IntArg(p, 0);
        }
    });
    winport::EventConnection events(refresh.Get(), DIID__ISkRefreshEvents, sink.Get());

    const double cpuBefore = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    refresh->Refresh();
    winport::ServiceLoop::Current().RunUntil([&] { return done; }, 120000);
    figures.scanMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    figures.cpuSeconds = CpuSeconds() - cpuBefore;
    figures.residentBytesPerDevice =
        static_cast<double>(ResidentKiB() - residentBefore) * 1024.0 / static_cast<double>(deviceCount);

    static_cast<CMirelUdpRefresh*>(refresh.Get())->ForEachDevice([&](MirelUdpDeviceInfo& device) {
        winport::Bstr version;
        OSKAN_PCODE_MACHINE_MODE mode = OPCM_MODE_UNKNOWN;
        device.get_Version(&version);
        device.get_PcmMode(&mode);
        if (SysStringLen(version.get()) > 0 && mode != OPCM_MODE_UNKNOWN && device.Ping() >= 0)
            ++figures.complete;
    });
    return figures;
}

ScanFigures RunScan(size_t deviceCount) {
    const long residentBefore = ResidentKiB();
    oskan::sim::Simulator sim;
    if (!sim.Open()) {
        std::perror("simulator");
        return {};
    }
    AddDevices(sim, 0x020000010000ull, deviceCount);
    return RunScan(deviceCount, residentBefore);
}

// perLink devices behind each link, each link's simulator in the namespace at
// its far end; one scan finds them over all links at once.
ScanFigures RunLinkScan(const std::vector<oskan::sim::TestBedLink>& links, size_t perLink) {
    const long residentBefore = ResidentKiB();
    std::vector<std::unique_ptr<oskan::sim::Simulator>> sims;
    for (size_t i = 0; i < links.size(); ++i) {
        auto sim = std::make_unique<oskan::sim::Simulator>();
        bool opened = false;
        oskan::sim::TestBed::InFarNamespace(links[i], [&] { opened = sim->Open(); });
        if (!opened) {
            std::fprintf(stderr, "simulator on %s: cannot open\n", links[i].name.c_str());
            return {};
        }
        sim->SetLinkAddresses(links[i].farAddress, links[i].farAddressCount);
        AddDevices(*sim, 0x020000010000ull + (static_cast<uint64_t>(i) << 24), perLink);
        sims.push_back(std::move(sim));
    }
    return RunScan(perLink * links.size(), residentBefore);
}

}  // namespace

int main(int argc, char** argv) {
    if (oskan::sim::RefuseUnlessIsolated(argv[0]))
        return 2;
    const std::vector<oskan::sim::TestBedLink> links = oskan::sim::TestBed::Links();
    std::vector<size_t> sizes = {100, 1000, 10000};
    if (!links.empty())
        sizes = {5000};
    if (argc > 1) {
        sizes.clear();
        for (int i = 1; i < argc; ++i)
            sizes.push_back(std::stoul(argv[i]));
    }
    if (!links.empty())
        std::printf("%zu links, the devices split evenly between them\n", links.size());
    std::printf("%8s %10s %10s %7s %9s %12s %8s\n", "devices", "complete", "scan ms", "ratio", "cpu s",
                "rss B/device", "result");
    for (size_t size : sizes) {
        ScanFigures f = links.empty() ? RunScan(size) : RunLinkScan(links, size);
        std::printf("%8zu %10zu %10.0f %7.3f %9.3f %12.0f %8d\n", f.devices, f.complete, f.scanMs,
                    f.scanMs / kProtocolMinimumMs, f.cpuSeconds, f.residentBytesPerDevice,
                    static_cast<int>(f.error));
    }
    return 0;
}
