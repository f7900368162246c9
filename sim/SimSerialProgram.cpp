#include "sim/SimSerialProgram.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "sim/SimSerialLink.h"
#include "winport/loop/ServiceLoop.h"

namespace oskan::sim {

namespace {

std::optional<std::vector<uint8_t>> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Report(const SimXmodemReceiver& receiver, const std::optional<std::vector<uint8_t>>& expected) {
    using Outcome = SimXmodemReceiver::Outcome;
    switch (receiver.GetOutcome()) {
        case Outcome::kDone: {
            std::printf("upload complete: %zu bytes in %d blocks, %d refused, %d repeated",
                        receiver.Image().size(), receiver.BlocksAccepted(), receiver.Refusals(),
                        receiver.Duplicates());
            if (expected) {
                const std::vector<uint8_t>& image = receiver.Image();
                size_t at = 0;
                while (at < image.size() && at < expected->size() && image[at] == (*expected)[at])
                    ++at;
                if (at == image.size() && at == expected->size())
                    std::printf(", firmware matches\n");
                else
                    std::printf(", firmware DIFFERS from byte %zu\n", at);
            } else {
                std::printf("\n");
            }
            break;
        }
        case Outcome::kSenderCancelled:
            std::printf("upload cancelled by the sender after %d blocks\n", receiver.BlocksAccepted());
            break;
        default:
            std::printf("upload cancelled by the device after %d blocks\n", receiver.BlocksAccepted());
            break;
    }
    std::fflush(stdout);
}

int WatchStopSignals(winport::ServiceLoop& loop) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0)
        return -1;
    const int fd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd >= 0 && loop.AddWatch(fd, EPOLLIN, [&loop](uint32_t) { loop.Stop(); }) == 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int RunSerialLinkProgram(const SimProgramOptions& options) {
    std::optional<std::vector<uint8_t>> expected;
    if (!options.serialExpect.empty()) {
        expected = ReadFile(options.serialExpect);
        if (!expected) {
            std::fprintf(stderr, "skos-sim: cannot read %s\n", options.serialExpect.c_str());
            return 2;
        }
    }
    const SimSerialFaults faults = ParseSerialFaults(options.serialFaults).value_or(SimSerialFaults{});
    struct stat info {};
    if (lstat(options.serialLink.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        std::fprintf(stderr, "skos-sim: %s exists and is no link; not replacing it\n",
                     options.serialLink.c_str());
        return 2;
    }
    winport::ServiceLoop& loop = winport::ServiceLoop::Current();
    const int signalFd = WatchStopSignals(loop);
    if (signalFd < 0) {
        std::fprintf(stderr, "skos-sim: cannot watch for signals: %s\n", std::strerror(errno));
        return 1;
    }
    SimSerialLink link(faults);
    if (!link.Open()) {
        std::fprintf(stderr, "skos-sim: cannot make a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    unlink(options.serialLink.c_str());
    if (symlink(link.PortName().c_str(), options.serialLink.c_str()) != 0) {
        std::fprintf(stderr, "skos-sim: cannot link %s: %s\n", options.serialLink.c_str(),
                     std::strerror(errno));
        return 1;
    }
    link.onEnded = [&link, &expected](const SimXmodemReceiver& receiver) {
        Report(receiver, expected);
        link.Boot();  // ready for the next upload
    };
    std::printf("%s\n", link.PortName().c_str());
    std::fflush(stdout);
    link.Boot();
    loop.Run();
    unlink(options.serialLink.c_str());
    close(signalFd);
    return 0;
}

}  // namespace oskan::sim
