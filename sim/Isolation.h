#pragma once

namespace oskan::sim {

// True when the only network interface this process can see is the loopback,
// as inside scripts/netns-run. Asks the namespace itself: /sys/class/net keeps
// showing the host's interfaces after unshare -n.
bool IsNetworkIsolated();

}  // namespace oskan::sim
