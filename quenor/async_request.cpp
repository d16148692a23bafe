// The compiled half of the one-shot result channel: the signal object that handles wait on.
#include <quenor/async_request>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
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
// object's destructor. Member order is the destruction order in reverse: the flag, then the
// mutex, then the condition variable go away.
struct notification_object::block {
    std::condition_variable condition;
    std::mutex mutex;
    bool signalled = false;  // guarded by mutex; only ever goes from false to true
};

// One spare block per thread: the block of a request that thread destroyed, kept for the next
// request it has to block on. A thread that waits for one request after the other (the common
// case: it waits, reads the value, drops the handle) then allocates no block after its first.
// A block is spare only once its object is destroyed, when nobody waits on it or notifies it.
// The slot is trivially destructible, so that a request destroyed after the thread's other
// thread_locals (at thread or process exit) may still use it; the keeper frees the spare block
// when the thread ends and closes the slot to blocks offered after that.
namespace {
thread_local void* t_spare = nullptr;
thread_local bool t_slotClosed = false;
}  // namespace

notification_object::block* notification_object::take_spare() noexcept {
    return static_cast<block*>(std::exchange(t_spare, nullptr));
}

void notification_object::keep_spare(block* used) noexcept {
    struct keeper {
        ~keeper() {
            delete static_cast<block*>(std::exchange(t_spare, nullptr));
            t_slotClosed = true;
        }
    };
    thread_local keeper slotKeeper;
    if (t_slotClosed || t_spare != nullptr) {
        delete used;
        return;
    }
    used->signalled = false;  // no other thread can see the block any more
    t_spare = used;
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
    // A waiter installed the block; its flag is what waiters test, under its mutex.
    block* waiting = reinterpret_cast<block*>(word);
    {
        std::lock_guard<std::mutex> lock(waiting->mutex);
        waiting->signalled = true;
    }
    // Woken after the unlock, so a waiter that runs at once finds the mutex free. The block lives
    // as long as this object, which the caller keeps alive for the call.
    waiting->condition.notify_all();
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
    std::unique_lock<std::mutex> lock(waiting->mutex);
    while (!waiting->signalled) {
        waiting->condition.wait(lock);
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
    std::unique_lock<std::mutex> lock(waiting->mutex);
    if (waiting->signalled) {
        return;
    }
    for (;;) {
        if (waiting->signalled && pred()) {
            return;
        }
        if (waiting->condition.wait_until(lock, deadline) == std::cv_status::timeout) {
            // The predicate is consulted once more, as on every exit with the flag set, but its
            // answer changes nothing: the caller tests its own state after the wait.
            if (waiting->signalled) {
                (void)pred();
            }
            return;
        }
    }
}

}  // namespace internal
}  // namespace hidutil
