#include "sim/Isolation.h"

#include <net/if.h>

#include <cstring>

namespace oskan::sim {

bool IsNetworkIsolated() {
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
