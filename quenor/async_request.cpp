// The compiled half of the one-shot result channel: the signal object that handles wait on.
#include <quenor/async_request>

#include "quenor/handoffmemory.h"
#include "quenor/semaphore.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <thread>
#include <utility>

namespace hidutil {
namespace internal {

namespace {
constexpr std::uintptr_t kIdle = 0;       // not set, nobody has blocked
constexpr std::uintptr_t kSignalled = 1;  // set before anybody had to block

// A producer that is already running often answers within one scheduler turn. Yielding once
// before blocking lets it finish first when both share a CPU, without a sleep, a wake-up or the
// waiting block. One turn only: a waiter that keeps yielding competes with every thread of a
// longer chain (queue thread, sender) for the CPU and multiplies its context switches. True once
// the flag is set.
bool signalledAfterYielding(const std::atomic<std::uintptr_t>& word) {
    if (word.load(std::memory_order_acquire) == kIdle) {
        std::this_thread::yield();
    }
    return word.load(std::memory_order_acquire) == kSignalled;
}

}  // namespace

// Made by the first thread that has to block, published through the object's word, freed by the
// object's destructor (or kept as its thread's spare). The notifier sets `signalled`, then posts
// once for each waiter it sees; a waiter counts itself in, then tests `signalled` before it
// sleeps. Both sides use sequentially consistent steps, so a waiter that finds the flag clear is
// seen by the notifier and gets its post. A post that nobody takes (its waiter had seen the flag,
// or timed out) is left over, and is drained before the block serves another object.
struct notification_object::block {
    Semaphore wakeups;
    std::atomic<int> waiters{0};
    std::atomic<bool> signalled{false};
};
// One spare block, process-wide: the block of the last destroyed request that had one, kept for
// the next request a thread has to block on. A thread that waits for one request after the
// other then makes no block after its first, whichever thread destroys the requests (often the
// one that answered them). A block is spare only once its object is destroyed, when nobody
// waits on it or notifies it. The slot is never destroyed, so that a request destroyed during
// or after static destruction may still use it.
namespace {
std::atomic<void*> g_spare{nullptr};
}  // namespace

notification_object::block* notification_object::take_spare() noexcept {
    return static_cast<block*>(g_spare.exchange(nullptr, std::memory_order_acquire));
}

void notification_object::keep_spare(block* used) noexcept {
    // Posts nobody took are drained, so that the block starts clear for its next object.
    while (used->wakeups.tryWait()) {
    }
    used->waiters.store(0, std::memory_order_relaxed);
    used->signalled.store(false, std::memory_order_relaxed);
    delete static_cast<block*>(g_spare.exchange(used, std::memory_order_acq_rel));
}

void release_kept_memory() noexcept {
    delete static_cast<notification_object::block*>(g_spare.exchange(nullptr));
    release_kept_blocks();
}

notification_object::notification_object() noexcept : m_word(kIdle) {}

notification_object::~notification_object() {
    const std::uintptr_t word = m_word.load(std::memory_order_acquire);
    if (word != kIdle && word != kSignalled) {
        keep_spare(reinterpret_cast<block*>(word));
    }
}

void notification_object::notify_all() {
    std::uintptr_t word = m_word.load(std::memory_order_acquire);
    if (word == kIdle && m_word.compare_exchange_strong(word, kSignalled, std::memory_order_acq_rel,
                                                        std::memory_order_acquire)) {
        return;  // nobody waits: no lock, no wake-up
    }
    if (word == kSignalled) {
        return;
    }
    // A waiter installed the block: one post for each thread that sleeps on it, or is about to.
    block* waiting = reinterpret_cast<block*>(word);
    waiting->signalled.store(true);
    for (int n = waiting->waiters.load(); n > 0; --n) {
        waiting->wakeups.post();
    }
}

notification_object::block* notification_object::block_to_wait_on(
    const std::chrono::steady_clock::time_point* deadline) const {
    // Without memory for a block the waiter polls the word instead, so that waiting never throws:
    // slower, and only ever until the flag is set, another waiter's block appears or the deadline
    // passes.
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        std::uintptr_t current = m_word.load(std::memory_order_acquire);
        if (current == kIdle) {
            block* spare = take_spare();
            block* fresh = spare ? spare : new (std::nothrow) block();
            if (fresh && !fresh->wakeups.ok()) {
                delete fresh;  // the host had no semaphore for it: as without memory
                fresh = nullptr;
            }
            if (fresh) {
                const auto mine = reinterpret_cast<std::uintptr_t>(fresh);
                if (m_word.compare_exchange_strong(current, mine, std::memory_order_acq_rel,
                                                   std::memory_order_acquire)) {
                    return fresh;  // owned by this object from here on
                }
                keep_spare(fresh);  // for the next wait
                // Lost to the notifier (then `current` is kSignalled) or to another waiter.
            }
        }
        if (current == kSignalled) {
            return nullptr;
        }
        if (current != kIdle) {
            return reinterpret_cast<block*>(current);
        }
        if (deadline != nullptr && std::chrono::steady_clock::now() >= *deadline) {
            return nullptr;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
}

void notification_object::wait() const {
    if (signalledAfterYielding(m_word)) {
        return;
    }
    block* waiting = block_to_wait_on(nullptr);
    if (waiting == nullptr) {
        return;
    }
    waiting->waiters.fetch_add(1);
    while (!waiting->signalled.load()) {
        waiting->wakeups.wait();
    }
}

void notification_object::wait_for_impl(unsigned long ms, const std::function<bool()>& pred) const {
    if (ms == 0 && m_word.load(std::memory_order_acquire) == kIdle) {
        return;  // nothing to wait for, and no time to wait in
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::nanoseconds(static_cast<std::int64_t>(ms) * 1000000);
    if (signalledAfterYielding(m_word)) {
        return;
    }
    block* waiting = block_to_wait_on(&deadline);
    if (waiting == nullptr) {
        return;
    }
    if (waiting->signalled.load()) {
        return;
    }
    waiting->waiters.fetch_add(1);
    while (!waiting->signalled.load()) {
        if (!waiting->wakeups.waitUntil(deadline)) {
            break;
        }
    }
    // The predicate is consulted on every exit with the flag set, but its answer changes
    // nothing: the caller tests its own state after the wait.
    if (waiting->signalled.load()) {
        (void)pred();
    }
}

}  // namespace internal
}  // namespace hidutil
