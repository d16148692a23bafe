#include "failingallocator.h"

#include <dlfcn.h>
#include <pthread.h>
#include <vmac/control.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

namespace {

// failAllocations
std::atomic<int> g_failures{0};
std::atomic<std::size_t> g_size{0};
char g_thread[16] = {};  // written only while no failure is armed

bool sizedFailure(std::size_t size) {
    if (g_failures.load(std::memory_order_acquire) <= 0 ||
        size != g_size.load(std::memory_order_relaxed)) {
        return false;
    }
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    if (std::strncmp(name, g_thread, sizeof name) != 0) {
        return false;
    }
    int left = g_failures.load(std::memory_order_relaxed);
    while (left > 0 && !g_failures.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
}

// The n-th counted event fails (FailNthAllocation, FailNthThreadCreation).
struct NthFailure {
    std::atomic<long> target{0};  // 0: not armed
    std::atomic<long> count{0};
    std::atomic<bool> hit{false};

    void arm(long n) {
        count.store(0);
        hit.store(false);
        target.store(n, std::memory_order_release);
    }
    bool failsNow() {
        const long n = target.load(std::memory_order_acquire);
        if (n <= 0 || count.fetch_add(1) + 1 != n) {
            return false;
        }
        hit.store(true);
        return true;
    }
};

NthFailure g_nthAllocation;
std::atomic<bool> g_nthAnyThread{false};
pthread_t g_nthThread;  // written only while not armed
NthFailure g_nthThreadCreation;

bool nthFailure() {
    if (g_nthAllocation.target.load(std::memory_order_acquire) <= 0 || vmac::insidePlatformCall()) {
        return false;
    }
    if (!g_nthAnyThread.load(std::memory_order_relaxed) &&
        !pthread_equal(pthread_self(), g_nthThread)) {
        return false;
    }
    return g_nthAllocation.failsNow();
}

using PthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

PthreadCreate realPthreadCreate() {
    static const auto real = reinterpret_cast<PthreadCreate>(dlsym(RTLD_NEXT, "pthread_create"));
    return real;
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    if (g_nthThreadCreation.failsNow()) {
        return EAGAIN;
    }
    return realPthreadCreate()(thread, attr, start, arg);
}

namespace devicetest {

void failAllocations(const char* threadName, std::size_t size, int count) {
    g_failures.store(0);
    std::strncpy(g_thread, threadName, sizeof g_thread - 1);
    g_size.store(size);
    g_failures.store(count, std::memory_order_release);
}

int pendingAllocationFailures() {
    return g_failures.load();
}

FailNthAllocation::FailNthAllocation(long n, AllocationScope scope) {
    g_nthThread = pthread_self();
    g_nthAnyThread.store(scope == AllocationScope::AnyThread);
    g_nthAllocation.arm(n);
}

FailNthAllocation::~FailNthAllocation() {
    g_nthAllocation.target.store(0);
}

bool FailNthAllocation::hit() const {
    return g_nthAllocation.hit.load();
}

FailNthThreadCreation::FailNthThreadCreation(int n) {
    g_nthThreadCreation.arm(n);
}

FailNthThreadCreation::~FailNthThreadCreation() {
    g_nthThreadCreation.target.store(0);
}

bool FailNthThreadCreation::hit() const {
    return g_nthThreadCreation.hit.load();
}

bool FailNthThreadCreation::works() {
    static const bool interposed = [] {
        FailNthThreadCreation failing(1);
        try {
            std::thread([] {}).join();
        } catch (const std::system_error&) {
            return true;
        }
        return false;
    }();
    return interposed;
}

}  // namespace devicetest

void* operator new(std::size_t size) {
    if (sizedFailure(size) || nthFailure()) {
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

// The nothrow forms share the failures (as nullptr) and, above all, malloc: memory
// from one allocator must go back to the same one, and sanitizers check that.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
