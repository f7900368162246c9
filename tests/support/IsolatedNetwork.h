#pragma once

namespace oskan::test {

// True when the only network interface this process can see is the loopback,
// as inside scripts/netns-run.
bool IsNetworkIsolated();

}  // namespace oskan::test
