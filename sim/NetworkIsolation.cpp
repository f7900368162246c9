#include "sim/NetworkIsolation.h"

#include <cstdio>

#include "sim/TestBed.h"

namespace oskan::sim {

bool IsNetworkIsolated() {
    return OnlyTestBedInterfaces(false);
}

bool RefuseUnlessIsolated(const char* program) {
    if (IsNetworkIsolated())
        return false;
    std::fprintf(stderr,
                 "refusing to run: only inside a private network namespace, where broadcasts reach "
                 "nothing real (scripts/netns-run %s)\n",
                 program);
    return true;
}

}  // namespace oskan::sim
