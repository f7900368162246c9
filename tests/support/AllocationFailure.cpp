#include "tests/support/AllocationFailure.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "winport/base/errors.h"

namespace {

thread_local bool t_armed = false;
thread_local size_t t_countdown = 0;
thread_local bool t_happened = false;
thread_local int t_suspended = 0;

void* Allocate(size_t size) {
    if (t_armed && t_suspended == 0) {
        if (t_countdown == 0) {
            t_armed = false;
            t_happened = true;
            throw std::bad_alloc();
        }
        --t_countdown;
    }
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void* AllocateNoThrow(size_t size) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

namespace oskan::test {

AllocationFailure::AllocationFailure(size_t failAt) {
    t_countdown = failAt;
    t_happened = false;
    t_armed = true;
}

AllocationFailure::~AllocationFailure() {
    t_armed = false;
}

bool AllocationFailure::Happened() const {
    return t_happened;
}

AllocationFailure::Suspended::Suspended() {
    ++t_suspended;
}

AllocationFailure::Suspended::~Suspended() {
    --t_suspended;
}

}  // namespace oskan::test

void* operator new(size_t size) {
    return Allocate(size);
}
void* operator new[](size_t size) {
    return Allocate(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace oskan::test {

void FailEveryAllocation(const std::vector<AllocationCase>& cases, const AllocationCheck& check,
                         size_t maxRuns) {
    for (const AllocationCase& c : cases) {
        for (size_t failAt = 0;; ++failAt) {
            SCOPED_TRACE(std::string(c.name) + " failing allocation " + std::to_string(failAt));
            c.prepare();
            HRESULT hr = E_FAIL;  // should the call throw
            bool failed = false;
            {
                AllocationFailure failure(failAt);
                EXPECT_NO_THROW(hr = c.call());
                failed = failure.Happened();
            }
            check(c, hr, failed);
            if (!failed || ::testing::Test::HasFatalFailure())
                break;
            ASSERT_LT(failAt, maxRuns);
        }
    }
}

}  // namespace oskan::test
