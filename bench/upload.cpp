// Upload speed: one block per round trip, so what counts is how fast one
// block's exchange goes through the host. Measures, on loopback inside the
// private network namespace:
//   - a raw UDP ping-pong between two sockets (131-byte request, 3-byte
//     answer): the limit of a lockstep exchange here;
//   - a 1 MiB firmware upload through the device object to the simulator,
//     which answers from a thread of its own;
//   - the same file put with TFTP (tftp-hpa to tftpd-hpa, 512-byte blocks),
//     when both are installed (scripts/bootstrap bench).
// Each is run several times; the median and the best run are printed as
// blocks per second and time per block, with the ratios to the targets.
//
// Usage: bench_upload [--runs N] [--one-cpu]
//   --one-cpu  keeps every thread and process on the first CPU, so that no
//              exchange pays for a wake-up on another core.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/mireludpdevice.h"
#include "common/skloader.h"
#include "sim/NetworkIsolation.h"
#include "sim/SimUpload.h"
#include "sim/Simulator.h"
#include "winport/com/ocidl.h"
#include "winport/host/Bstr.h"
#include "winport/host/DispatchSink.h"
#include "winport/host/EventConnection.h"
#include "winport/loop/ServiceLoop.h"
#include "winport/loop/winsock.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kFileBytes = 1 << 20;
constexpr size_t kBlockBytes = 128;
constexpr size_t kBlocks = kFileBytes / kBlockBytes;
constexpr size_t kTftpBlockBytes = 512;
constexpr oskan::sim::MacAddress kMac = {2, 0, 0, 1, 2, 3};
constexpr const char* kTftpd = "/usr/sbin/in.tftpd";
constexpr const char* kTftp = "/usr/bin/tftp";

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Figure {
    std::vector<double> perBlockUs;  // one entry per run
    double Median() const {
        std::vector<double> sorted = perBlockUs;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0 : sorted[sorted.size() / 2];
    }
    double Best() const {
        return perBlockUs.empty() ? 0 : *std::min_element(perBlockUs.begin(), perBlockUs.end());
    }
};

void PinToFirstCpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof set, &set);  // threads and children made later inherit it
}

// ---------------------------------------------------------------- raw ping-pong

// Bound to an ephemeral port of 127.0.0.1, or of every address (where a
// broadcast arrives).
int BoundSocket(sockaddr_in* address, bool anyAddress) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(anyAddress ? INADDR_ANY : INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return -1;
    socklen_t length = sizeof *address;
    getsockname(fd, reinterpret_cast<sockaddr*>(address), &length);
    return fd;
}

// The peer answers every datagram with 3 bytes until it gets an empty one.
// Plain: unicast both ways. The devices' addressing: the request is a
// broadcast to the peer's port and the answer leaves from another loopback
// address (IP_PKTINFO), as a device answers from its own.
double PingPongRun(bool deviceAddressing) {
    sockaddr_in peerAddress{}, hostAddress{};
    const int peer = BoundSocket(&peerAddress, deviceAddressing);
    const int host = BoundSocket(&hostAddress, false);
    if (deviceAddressing) {
        int on = 1;
        setsockopt(host, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        peerAddress.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    }
    std::thread echo([peer, deviceAddressing] {
        char buffer[256];
        for (;;) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t n = recvfrom(peer, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0)
                break;
            if (!deviceAddressing) {
                sendto(peer, buffer, 3, 0, reinterpret_cast<sockaddr*>(&from), length);
                continue;
            }
            in_addr device{};
            device.s_addr = htonl(0x7F000002);  // 127.0.0.2
            winport::SendFromAddress(peer, buffer, 3, from, device);
        }
    });
    char block[3 + kBlockBytes] = {'D'};
    char answer[16];
    const auto start = Clock::now();
    for (size_t i = 0; i < kBlocks; ++i) {
        sendto(host, block, sizeof block, 0, reinterpret_cast<sockaddr*>(&peerAddress), sizeof peerAddress);
        recv(host, answer, sizeof answer, 0);
    }
    const double seconds = Seconds(start);
    sendto(host, block, 0, 0, reinterpret_cast<sockaddr*>(&peerAddress), sizeof peerAddress);
    echo.join();
    close(peer);
    close(host);
    return seconds / kBlocks * 1e6;
}

// ---------------------------------------------------------------- our upload

// The simulator on a thread and service loop of its own.
class SimulatorThread {
public:
    explicit SimulatorThread(const std::vector<uint8_t>& expected) : m_expected(expected) {
        m_stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_thread = std::thread([this] { Run(); });
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return m_started; });
    }
    // Stops the thread; true when the device holds the expected image.
    bool Stop() {
        uint64_t one = 1;
        (void)!write(m_stop, &one, sizeof one);
        m_thread.join();
        close(m_stop);
        return m_imageMatches;
    }
    bool Opened() const { return m_opened; }

private:
    void Run() {
        winport::ServiceLoop& loop = winport::ServiceLoop::Current();
        oskan::sim::Simulator sim;
        m_opened = sim.Open();
        oskan::sim::SimDevice* device = sim.AddDevice(kMac);
        device->SetRebootMs(1);  // the next run need not wait for a reboot
        loop.AddWatch(m_stop, EPOLLIN, [&loop](uint32_t) { loop.Stop(); });
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_started = true;
        }
        m_ready.notify_all();
        if (m_opened)
            loop.Run();
        m_imageMatches = device->Upload().Image() == m_expected;
    }

    const std::vector<uint8_t>& m_expected;
    int m_stop = -1;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    bool m_started = false;
    bool m_opened = false;
    bool m_imageMatches = false;
};

// One upload through the device object; the time per block, or 0 on failure.
double UploadRun(const std::string& file) {
    ComPtr<ISkConnection> connection;
    ComPtr<ISkLoader> loader;
    CMirelUdpDevice::CreateInstance(IID_ISkConnection, connection.ReleaseAndGetVoidAddressOf());
    connection.As(IID_ISkLoader, &loader);
    bool done = false;
    LONG error = -1;
    auto sink = winport::DispatchSink::Create(DIID__ISkLoaderEvents, [&](DISPID id, const DISPPARAMS& p) {
        if (id == DISPID_OnLoadComplete) {
            done = true;
            error = winport::DispatchSink::IntArg(p, 0);
        }
    });
    winport::EventConnection events(connection.Get(), DIID__ISkLoaderEvents, sink.Get());
    connection->put_Address(winport::Bstr(SysAllocString(u"2.0.0.1.2.3")).get());
    connection->Connect();

    winport::Bstr name = winport::Bstr::FromUtf8(file);
    const auto start = Clock::now();
    HRESULT hr = loader->Load(name.get(), 0);
    if (SUCCEEDED(hr))
        winport::ServiceLoop::Current().RunUntil([&] { return done; }, 120000);
    const double seconds = Seconds(start);
    events.Disconnect();
    if (FAILED(hr) || error != 0) {
        std::fprintf(stderr, "upload failed: hr 0x%08x, error %d\n", static_cast<unsigned>(hr), error);
        return 0;
    }
    return seconds / kBlocks * 1e6;
}

// ---------------------------------------------------------------- TFTP

pid_t Spawn(const std::vector<std::string>& args, bool quiet) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet)
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// True once something holds UDP port 69.
bool PortTaken() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(69);
    const bool taken =
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 && errno == EADDRINUSE;
    close(fd);
    return taken;
}

// Seconds for one "tftp put", process start included; -1 on failure.
double TftpPut(const std::string& source, const std::string& target) {
    const auto start = Clock::now();
    pid_t pid = Spawn({kTftp, "-m", "binary", "127.0.0.1", "-c", "put", source, target}, true);
    if (pid < 0 || WaitFor(pid) != 0)
        return -1;
    return Seconds(start);
}

bool SameFile(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> da((std::istreambuf_iterator<char>(fa)), {}),
        db((std::istreambuf_iterator<char>(fb)), {});
    return !da.empty() && da == db;
}

// Time per 512-byte block: a one-block put is taken off, so that the process
// start is not counted.
Figure MeasureTftp(const std::string& dir, const std::string& file, int runs, bool* ok) {
    Figure figure;
    *ok = false;
    if (access(kTftpd, X_OK) != 0 || access(kTftp, X_OK) != 0)
        return figure;
    // Inside the namespace the only interface is the loopback; the server
    // cannot bind 127.0.0.1 by name there (its address lookup ignores
    // loopback-only hosts), so it listens on every address of the namespace.
    // The server writes as "nobody" into a folder of its own, inside the
    // benchmark's private folder (it chroots there before dropping to nobody).
    const std::string served = dir + "/tftp";
    if (mkdir(served.c_str(), 0700) != 0)
        return figure;
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (!nobody || chown(served.c_str(), nobody->pw_uid, nobody->pw_gid) != 0)
            return figure;
    }
    pid_t server =
        Spawn({kTftpd, "--foreground", "--listen", "-4", "--secure", "--create", "--user", "nobody", served},
              false);
    if (server < 0)
        return figure;
    for (int i = 0; i < 100 && !PortTaken(); ++i)
        usleep(10000);
    const std::string small = dir + "/small.bin";
    std::ofstream(small, std::ios::binary) << std::string(kTftpBlockBytes - 1, 'x');
    bool good = true;
    for (int run = 0; run < runs && good; ++run) {
        unlink((served + "/up.bin").c_str());
        unlink((served + "/up-small.bin").c_str());
        const double one = TftpPut(small, "up-small.bin");
        const double whole = TftpPut(file, "up.bin");
        good = one >= 0 && whole >= 0;
        const double blocks =
            static_cast<double>(kFileBytes / kTftpBlockBytes + 1);  // and the empty last one
        if (good)
            figure.perBlockUs.push_back((whole - one) / (blocks - 1) * 1e6);
    }
    kill(server, SIGTERM);
    WaitFor(server);
    *ok = good && SameFile(file, served + "/up.bin");
    return figure;
}

// ---------------------------------------------------------------- report

void PrintRow(const char* what, const Figure& figure) {
    std::printf("  %-38s %9.0f blocks/s  %7.2f us/block   (best %9.0f blocks/s, %7.2f us)\n", what,
                1e6 / figure.Median(), figure.Median(), 1e6 / figure.Best(), figure.Best());
}

}  // namespace

int main(int argc, char** argv) {
    if (oskan::sim::RefuseUnlessIsolated(argv[0]))
        return 2;
    int runs = 7;
    bool oneCpu = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--one-cpu") == 0)
            oneCpu = true;
        else {
            std::fprintf(stderr, "usage: %s [--runs N] [--one-cpu]\n", argv[0]);
            return 2;
        }
    }
    if (oneCpu)
        PinToFirstCpu();

    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern = std::string(tmpdir && *tmpdir == '/' ? tmpdir : "/tmp") + "/bench-upload-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    const std::string file = dir + "/firmware.bin";
    std::vector<uint8_t> data(kFileBytes);
    std::mt19937 random(42);
    for (uint8_t& byte : data)
        byte = static_cast<uint8_t>(random());
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));

    Figure raw, rawDevice, ours, tftp;
    for (int run = 0; run < runs; ++run) {
        raw.perBlockUs.push_back(PingPongRun(false));
        rawDevice.perBlockUs.push_back(PingPongRun(true));
    }

    SimulatorThread simulator(data);
    bool uploaded = simulator.Opened();
    for (int run = 0; run < runs && uploaded; ++run) {
        // The device reboots after each firmware: a start request sent
        // meanwhile would wait for its retransmission.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const double perBlock = UploadRun(file);
        uploaded = perBlock > 0;
        if (uploaded)
            ours.perBlockUs.push_back(perBlock);
    }
    uploaded = simulator.Stop() && uploaded;

    bool tftpOk = false;
    tftp = MeasureTftp(dir, file, runs, &tftpOk);
    std::error_code ignored;  // links that the server's user left are removed, never followed
    std::filesystem::remove_all(dir, ignored);

    std::printf("Lockstep upload of 1 MiB on loopback, median of %d runs%s:\n", runs,
                oneCpu ? ", everything on one CPU" : "");
    PrintRow("raw UDP ping-pong (131 B / 3 B)", raw);
    PrintRow("  the same, broadcast, answered as a device", rawDevice);
    if (uploaded)
        PrintRow("mirel upload, 8192 blocks of 128 B", ours);
    else
        std::printf("  mirel upload: FAILED (the image did not arrive whole)\n");
    if (tftpOk)
        PrintRow("TFTP put, 2048 blocks of 512 B", tftp);
    else
        std::printf("  TFTP: not measured (install tftpd-hpa and tftp-hpa: scripts/bootstrap bench)\n");
    if (uploaded) {
        std::printf(
            "time per block against the raw round trip: %.2f (target at most 1.5); against the raw "
            "exchange with the devices' addressing: %.2f\n",
            ours.Median() / raw.Median(), ours.Median() / rawDevice.Median());
        if (tftpOk)
            std::printf("blocks per second against TFTP: %.2f (target at least 1)\n",
                        tftp.Median() / ours.Median());
    }
    return uploaded ? 0 : 1;
}
