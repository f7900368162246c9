// Every test binary starts here, and only inside a private network namespace:
// a test that reached the real network, or the registry and folders a test
// run outside it shares, could do harm that no test means to do.
#include <gtest/gtest.h>

#include "sim/NetworkIsolation.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (oskan::sim::RefuseUnlessIsolated(argv[0]))
        return 1;
    return RUN_ALL_TESTS();
}
