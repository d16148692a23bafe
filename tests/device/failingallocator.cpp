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

// FailNthAllocation
std::atomic<bool> g_nthArmed{false};
std::atomic<bool> g_nthAnyThread{false};
pthread_t g_nthThread;  // written only while not armed
std::atomic<long> g_nthTarget{0};
std::atomic<long> g_nthCount{0};
std::atomic<bool> g_nthHit{false};

bool nthFailure() {
    if (!g_nthArmed.load(std::memory_order_acquire) || vmac::insidePlatformCall()) {
        return false;
    }
    if (!g_nthAnyThread.load(std::memory_order_relaxed) &&
        !pthread_equal(pthread_self(), g_nthThread)) {
        return false;
    }
    if (g_nthCount.fetch_add(1) + 1 != g_nthTarget.load(std::memory_order_relaxed)) {
        return false;
    }
    g_nthHit.store(true);
    return true;
}

// FailNthThreadCreation
std::atomic<int> g_threadTarget{0};  // 0: not armed
std::atomic<int> g_threadCount{0};
std::atomic<bool> g_threadHit{false};

using PthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

PthreadCreate realPthreadCreate() {
    static const auto real = reinterpret_cast<PthreadCreate>(dlsym(RTLD_NEXT, "pthread_create"));
    return real;
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    const int target = g_threadTarget.load(std::memory_order_acquire);
    if (target > 0 && g_threadCount.fetch_add(1) + 1 == target) {
        g_threadHit.store(true);
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
    g_nthTarget.store(n);
    g_nthCount.store(0);
    g_nthHit.store(false);
    g_nthArmed.store(true, std::memory_order_release);
}

FailNthAllocation::~FailNthAllocation() {
    g_nthArmed.store(false);
}

bool FailNthAllocation::hit() const {
    return g_nthHit.load();
}

long FailNthAllocation::counted() const {
    return g_nthCount.load();
}

FailNthThreadCreation::FailNthThreadCreation(int n) {
    g_threadCount.store(0);
    g_threadHit.store(false);
    g_threadTarget.store(n, std::memory_order_release);
}

FailNthThreadCreation::~FailNthThreadCreation() {
    g_threadTarget.store(0);
}

bool FailNthThreadCreation::hit() const {
    return g_threadHit.load();
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
