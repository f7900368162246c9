#pragma once
// What the serial tests share: firmware images, and running the service loop
// until nothing more is on its way through a pseudo-terminal.

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "winport/loop/ServiceLoop.h"

namespace oskan::test {

// A firmware image whose every byte says where it lies, so a block out of
// place or a byte lost shows.
inline std::vector<uint8_t> FirmwareImage(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>((i * 7 + i / 1024) & 0xFF);
    return data;
}

// Runs what is ready until the loop has stayed idle for a while of real time:
// bytes written to one side of a pseudo-terminal reach the other through the
// kernel a little later. Time on the manual clock does not move.
inline void Settle() {
    winport::ServiceLoop& loop = winport::ServiceLoop::Current();
    int idlePolls = 0;
    while (idlePolls < 3) {
        if (loop.Dispatch() > 0) {
            idlePolls = 0;
            continue;
        }
        pollfd ready{loop.Fd(), POLLIN, 0};
        if (poll(&ready, 1, 100) == 0)
            return;
        ++idlePolls;
    }
}

}  // namespace oskan::test
