// A test hook in the device suite's global operator new: the next `count`
// allocations of exactly `size` bytes made on threads named `threadName` throw
// std::bad_alloc. Every other allocation is plain malloc. The size and the
// thread narrow the failure to one allocation of the library (say, the copy of
// an input report of an unusual length on the device's worker), so that the
// platform's own allocations and the test's are never hit.
#pragma once

#include <cstddef>

namespace devicetest {

void failAllocations(const char* threadName, std::size_t size, int count);
// How many armed failures have not happened yet.
int pendingAllocationFailures();

}  // namespace devicetest
