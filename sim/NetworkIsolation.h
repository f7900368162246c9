#pragma once

namespace oskan::sim {

// True when the only network interface this process can see is the loopback,
// as inside scripts/netns-run: the only place where tests, benchmarks and the
// simulator may broadcast.
bool IsNetworkIsolated();

}  // namespace oskan::sim
