#pragma once

namespace oskan::sim {

// True when the only network interfaces this process can see are the loopback
// and the links of a test bed, as inside scripts/netns-run: the only place
// where tests, benchmarks and the simulator may broadcast.
bool IsNetworkIsolated();

}  // namespace oskan::sim
