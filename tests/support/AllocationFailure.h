#pragma once
// A seam for running out of memory: while an AllocationFailure is alive, the
// n-th allocation through operator new from then on (0 = the next one) throws
// std::bad_alloc, on the thread that armed it. The replacement operator new
// lives in AllocationFailure.cpp; link it into the test binaries that use it.

#include <cstddef>
#include <functional>
#include <vector>

#include "winport/base/wintypes.h"

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

// One call to run under each failing allocation in turn.
struct AllocationCase {
    const char* name;
    std::function<void()> prepare;  // before every run, with nothing armed
    std::function<HRESULT()> call;
};

// What a run gave: the call's HRESULT, and whether the armed allocation was
// reached (and failed).
using AllocationCheck = std::function<void(const AllocationCase& c, HRESULT hr, bool failed)>;

// Fails the 1st, 2nd, ... allocation of each case's call until a run reaches
// no armed allocation; check() looks at every run under the case's trace. A
// fatal failure, or more than maxRuns runs, ends the case.
void FailEveryAllocation(const std::vector<AllocationCase>& cases, const AllocationCheck& check,
                         size_t maxRuns);

}  // namespace oskan::test
