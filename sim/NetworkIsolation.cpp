#include "sim/NetworkIsolation.h"

#include "sim/TestBed.h"

namespace oskan::sim {

bool IsNetworkIsolated() {
    return OnlyTestBedInterfaces(false);
}

}  // namespace oskan::sim
