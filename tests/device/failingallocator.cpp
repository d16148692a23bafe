#include "failingallocator.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<int> g_failures{0};
std::atomic<std::size_t> g_size{0};
char g_thread[16] = {};  // written only while no failure is armed

bool shouldFail(std::size_t size) {
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

}  // namespace

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

}  // namespace devicetest

void* operator new(std::size_t size) {
    if (shouldFail(size)) {
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
