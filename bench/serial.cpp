// Serial firmware upload: blocks per second of our XMODEM-1K sender against
// lrzsz's sx, each sending the same 1 MiB file to lrzsz's rx behind a
// pseudo-terminal that socat makes (a new one per run, alike for both).
// Prints the median and best of 5 runs of each and their ratio; asserts
// nothing. Needs socat and lrzsz (scripts/bootstrap installs them).

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "common/SerialPort.h"
#include "common/XmodemSender.h"
#include "tests/support/SerialPeers.h"
#include "tests/support/TempFolder.h"
#include "winport/loop/ServiceLoop.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kFileSize = 1 << 20;
constexpr double kBlocks = kFileSize / 1024.0;
constexpr int kRuns = 5;

struct Result {
    bool ok = false;
    double seconds = 0;
};

void OnComplete(uint32_t error, const char*, void* user) {
    auto* result = static_cast<std::pair<bool, uint32_t>*>(user);
    *result = {true, error};
}

bool SameFile(const std::string& a, const std::vector<char>& expected) {
    std::ifstream in(a, std::ios::binary);
    const std::vector<char> got{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return got == expected;
}

Result RunOurs(const std::string& folder, const std::vector<uint8_t>& firmware,
               const std::vector<char>& expected) {
    unlink((folder + "/out.bin").c_str());
    oskan::test::SocatPty peer;
    if (!peer.Start(oskan::test::RxCommand("out.bin"), folder))
        return {};
    SerialPort port;
    if (port.Open(peer.Path()) != ERROR_SUCCESS)
        return {};
    std::pair<bool, uint32_t> done{false, 0};
    XmodemSender sender(&port, nullptr, nullptr, &OnComplete, &done);
    const Clock::time_point start = Clock::now();
    if (sender.Start(firmware) != S_OK)
        return {};
    winport::ServiceLoop::Current().RunUntil([&] { return done.first; }, 120000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    peer.Program().WaitExit(10000);
    return {done.first && done.second == 0 && SameFile(folder + "/out.bin", expected), seconds};
}

Result RunSx(const std::string& folder, const std::string& file, const std::vector<char>& expected) {
    unlink((folder + "/out.bin").c_str());
    oskan::test::SocatPty peer;
    if (!peer.Start(oskan::test::RxCommand("out.bin"), folder))
        return {};
    const int line = open(peer.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    oskan::test::ChildProgram sx;
    const Clock::time_point start = Clock::now();
    const bool started = sx.Start({"/usr/bin/sx", "-k", "-q", file}, line, line, null);
    close(line);
    close(null);
    if (!started)
        return {};
    const std::optional<int> status = sx.WaitExit(120000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    peer.Program().WaitExit(10000);
    const bool ok = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
    return {ok && SameFile(folder + "/out.bin", expected), seconds};
}

void Print(const char* name, std::vector<double> seconds, double* median) {
    std::sort(seconds.begin(), seconds.end());
    *median = seconds[seconds.size() / 2];
    std::printf("%-22s %10.0f blocks/s median  %10.0f best  (%.1f ms per 1 MiB)\n", name, kBlocks / *median,
                kBlocks / seconds.front(), *median * 1000);
}

}  // namespace

int main() {
    oskan::test::TempFolder folder("oskan-bench-serial");
    std::vector<uint8_t> firmware(kFileSize);
    for (size_t i = 0; i < firmware.size(); ++i)
        firmware[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
    const std::vector<char> expected(firmware.begin(), firmware.end());
    const std::string file = folder.Path() + "/firmware.bin";
    std::ofstream(file, std::ios::binary)
        .write(expected.data(), static_cast<std::streamsize>(expected.size()));

    std::printf(
        "XMODEM-1K/CRC, 1 MiB (%g blocks of 1024 bytes) to lrzsz rx behind a socat pseudo-terminal, "
        "%d runs each\n",
        kBlocks, kRuns);
    std::vector<double> ours, theirs;
    for (int run = 0; run < kRuns; ++run) {
        const Result a = RunOurs(folder.Path(), firmware, expected);
        const Result b = RunSx(folder.Path(), file, expected);
        if (!a.ok || !b.ok) {
            std::fprintf(stderr, "bench_serial: run %d failed (ours %s, sx %s)\n", run,
                         a.ok ? "ok" : "FAILED", b.ok ? "ok" : "FAILED");
            return 1;
        }
        ours.push_back(a.seconds);
        theirs.push_back(b.seconds);
    }
    double oursMedian = 0, theirsMedian = 0;
    Print("XmodemSender", ours, &oursMedian);
    Print("lrzsz sx -k", theirs, &theirsMedian);
    std::printf("ratio ours / sx (blocks per second, medians): %.2f\n", theirsMedian / oursMedian);
    return 0;
}
