#pragma once

namespace oskan::sim {

// True when the only network interfaces this process can see are the loopback
// and the links of a test bed, as inside scripts/netns-run: the only place
// where tests, benchmarks and the simulator may broadcast.
bool IsNetworkIsolated();

// For a program's main: false when isolated; otherwise says on stderr that
// the program runs only inside scripts/netns-run, and returns true.
bool RefuseUnlessIsolated(const char* program);

}  // namespace oskan::sim
