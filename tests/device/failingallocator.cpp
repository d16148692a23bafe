#include "failingallocator.h"

#include <dlfcn.h>
#include <pthread.h>
#include <vmac/control.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

namespace {

using devicetest::Event;

// The armed guard; the rest is set before g_armed is.
std::atomic<int> g_armed{-1};  // the Event counted, -1: none
std::atomic<long> g_count{0}, g_target{0};
std::atomic<bool> g_hit{false};
std::atomic<std::size_t> g_size{0};
std::atomic<const char*> g_thread{nullptr};
std::atomic<pthread_t> g_caller;

bool counted(std::size_t size) {
    const std::size_t only = g_size.load();
    if (only != 0 ? size != only : vmac::insidePlatformCall()) {
        return false;
    }
    const char* thread = g_thread.load();
    if (!thread) {
        return pthread_equal(pthread_self(), g_caller.load());
    }
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return !*thread || std::strcmp(name, thread) == 0;
}

bool failsNow(Event event, std::size_t size) {
    if (g_armed.load(std::memory_order_acquire) != static_cast<int>(event) ||
        (event == Event::Allocation && !counted(size)) || g_count.fetch_add(1) + 1 != g_target) {
        return false;
    }
    g_hit.store(true);
    return true;
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    return failsNow(Event::ThreadCreation, 0) ? EAGAIN : real(thread, attr, start, arg);
}

namespace devicetest {

FailNth::FailNth(Event event, long n, const char* thread, std::size_t size) {
    g_target.store(n), g_thread.store(thread), g_size.store(size);
    g_caller.store(pthread_self());
    g_count.store(0);
    g_hit.store(false);
    g_armed.store(static_cast<int>(event), std::memory_order_release);
}

FailNth::~FailNth() {
    g_armed.store(-1);
}

bool FailNth::hit() const {
    return g_hit.load();
}

bool FailNth::canFailThreads() {
    static const bool interposed = [] {
        FailNth failing(Event::ThreadCreation, 1);
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
    if (failsNow(Event::Allocation, size)) {
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
