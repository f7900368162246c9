#pragma once
// A seam for running out of memory: while an AllocationFailure is alive, the
// n-th allocation through operator new from then on (0 = the next one) throws
// std::bad_alloc, on the thread that armed it. The replacement operator new
// lives in AllocationFailure.cpp; link it into the test binaries that use it.

#include <cstddef>

namespace oskan::test {

class AllocationFailure {
public:
    explicit AllocationFailure(size_t failAt);
    ~AllocationFailure();
    AllocationFailure(const AllocationFailure&) = delete;
    AllocationFailure& operator=(const AllocationFailure&) = delete;

    // Whether the armed allocation was reached (and failed).
    bool Happened() const;

    // While one lives, allocations on this thread neither fail nor count:
    // for the test's own bookkeeping inside the code under test.
    class Suspended {
    public:
        Suspended();
        ~Suspended();
        Suspended(const Suspended&) = delete;
        Suspended& operator=(const Suspended&) = delete;
    };
};

}  // namespace oskan::test
