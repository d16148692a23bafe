// Test hooks in the device suite's global operator new and pthread_create.
//
// failAllocations: the next `count` allocations of exactly `size` bytes made on
// threads named `threadName` throw std::bad_alloc. The size and the thread
// narrow the failure to one allocation of the library (say, the copy of an
// input report of an unusual length on the device's worker).
//
// FailNthAllocation: while it lives, the library's allocations are counted, on
// the calling thread only or on every thread, and the n-th (1-based) throws
// std::bad_alloc; later ones succeed. Allocations made inside a platform call
// (vmac::insidePlatformCall()) are not counted: a platform function never
// throws, its own allocation failures are modelled by vmac's call faults. A
// test walks every allocation of an operation by running it with n = 1, 2, ...
// until a run no longer reaches the n-th allocation (hit() false).
//
// FailNthThreadCreation: while it lives, the n-th pthread_create of the process
// fails with EAGAIN, as when the system runs out of threads. The executable
// defines pthread_create and forwards to the next definition; works() says
// whether the interposition took effect in this build (it may not under a
// sanitizer that intercepts the call itself).
//
// Only one guard of each kind may live at a time. Every other allocation is
// plain malloc.
#pragma once

#include <atomic>
#include <cstddef>

namespace devicetest {

void failAllocations(const char* threadName, std::size_t size, int count);
// How many armed failures have not happened yet.
int pendingAllocationFailures();

enum class AllocationScope { CallingThread, AnyThread };

class FailNthAllocation {
public:
    FailNthAllocation(long n, AllocationScope scope);
    ~FailNthAllocation();
    FailNthAllocation(const FailNthAllocation&) = delete;
    FailNthAllocation& operator=(const FailNthAllocation&) = delete;

    bool hit() const;  // the n-th allocation happened, and failed
};

class FailNthThreadCreation {
public:
    explicit FailNthThreadCreation(int n);
    ~FailNthThreadCreation();
    FailNthThreadCreation(const FailNthThreadCreation&) = delete;
    FailNthThreadCreation& operator=(const FailNthThreadCreation&) = delete;

    bool hit() const;
    // Whether a thread creation can be failed at all in this build (probes once).
    static bool works();
};

}  // namespace devicetest
