// Every test binary starts here. Binaries that touch the network are refused
// outside a private network namespace, so that a broadcast can never leave the
// machine.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "winport/NetworkIsolation.h"


int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (OSKAN_TEST_USES_NETWORK && !winport::IsNetworkIsolated()) {
        std::fprintf(stderr,
                     "refusing to run: this test sends broadcasts and must run inside a private network "
                     "namespace (scripts/netns-run %s)\n",
                     argv[0]);
        return 1;
    }
    return RUN_ALL_TESTS();
}
