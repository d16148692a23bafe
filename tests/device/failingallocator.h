// Test hooks in the device suite's global operator new and pthread_create.
//
// FailNth: while it lives, the n-th (1-based) counted event fails and later ones
// succeed. An allocation fails by throwing std::bad_alloc; a thread creation by
// answering EAGAIN, as when the system runs out of threads. Allocations are
// counted when made on the thread named `thread` (kAnyThread: every thread;
// kCallingThread: the guard's) and of `size` bytes; with `size` 0, of any size
// but not inside a platform call (vmac::insidePlatformCall()): a platform function
// never throws, its own failures are modelled by vmac's call faults. Thread creations
// are counted on every thread. A test walks every allocation of an operation by
// running it with n = 1, 2, ... until a run no longer reaches the n-th (hit() false).
//
// Only one guard lives at a time. Every allocation is plain malloc.
#pragma once

#include <cstddef>

namespace devicetest {

enum class Event { Allocation, ThreadCreation };
inline constexpr const char* kCallingThread = nullptr;
inline constexpr const char* kAnyThread = "";

class FailNth {
public:
    FailNth(Event event, long n, const char* thread = kAnyThread, std::size_t size = 0);
    ~FailNth();
    FailNth(const FailNth&) = delete;
    FailNth& operator=(const FailNth&) = delete;

    bool hit() const;
    // Whether pthread_create is interposed in this build (a sanitizer's runtime
    // may intercept it first); probes once.
    static bool canFailThreads();
};

}  // namespace devicetest
