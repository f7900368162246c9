#include "sim/NetworkIsolation.h"

#include <net/if.h>

#include <cstring>

namespace oskan::sim {

bool IsNetworkIsolated() {
    // Asks the namespace itself: /sys/class/net would still show the host's
    // interfaces after unshare -n.
    struct if_nameindex* names = if_nameindex();
    if (!names)
        return false;
    bool onlyLoopback = true;
    for (struct if_nameindex* n = names; n->if_index != 0; ++n)
        if (std::strcmp(n->if_name, "lo") != 0)
            onlyLoopback = false;
    if_freenameindex(names);
    return onlyLoopback;
}

}  // namespace oskan::sim
