// A counting semaphore for the request channel's waiters and the queues' workers: the host's
// own kind, because a post that finds nobody asleep costs one atomic step and a wake-up one
// system call, where a mutex and condition variable cost a lock round on each side and a second
// one for the woken thread. A dispatch semaphore on Apple hosts (unnamed POSIX ones do not work
// there); a futex word on Linux, which is what the POSIX semaphore there is made of, without the
// cancellation-point bookkeeping that every POSIX wait pays (no thread is ever cancelled while it
// waits here). C++17 has no semaphore of its own.
//
// Threads: post() from any thread; the waits from any number of threads. Not copyable; destroy
// it only when no thread waits on it.
#pragma once

#include <chrono>
#include <cstdint>

#if defined(__APPLE__)
#include <dispatch/dispatch.h>
#else
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#endif

namespace hidutil::internal {

class Semaphore {
public:
    // ok() is false when the host had no memory for the semaphore; then nothing
    // else may be called.
    Semaphore() noexcept;
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    bool ok() const noexcept;
    void post() noexcept;
    // Takes one count, blocking until there is one.
    void wait() noexcept;
    // Takes one count if there is one by `deadline`; false when there was none.
    bool waitUntil(std::chrono::steady_clock::time_point deadline) noexcept;
    // Takes one count if there is one now.
    bool tryWait() noexcept;

private:
#if defined(__APPLE__)
    dispatch_semaphore_t m_semaphore;
#else
    // Counts, and threads that may be asleep on m_count. Every step is sequentially consistent:
    // a poster that reads no sleeper comes before a sleeper's count-in, whose futex wait then
    // finds the count raised and returns at once.
    std::atomic<uint32_t> m_count{0};
    std::atomic<uint32_t> m_sleepers{0};
    bool takeOne() noexcept;
    // Sleeps while m_count is 0, until woken, or until the absolute monotonic time `at`
    // (null: no limit); false once `at` has passed.
    bool sleep(const timespec* at) noexcept;
#endif
};

#if defined(__APPLE__)

inline Semaphore::Semaphore() noexcept : m_semaphore(dispatch_semaphore_create(0)) {}
inline Semaphore::~Semaphore() {
    if (m_semaphore != nullptr) {
        dispatch_release(m_semaphore);
    }
}
inline bool Semaphore::ok() const noexcept { return m_semaphore != nullptr; }
inline void Semaphore::post() noexcept { dispatch_semaphore_signal(m_semaphore); }
inline void Semaphore::wait() noexcept {
    dispatch_semaphore_wait(m_semaphore, DISPATCH_TIME_FOREVER);
}
inline bool Semaphore::waitUntil(std::chrono::steady_clock::time_point deadline) noexcept {
    // dispatch time counts on the same clock as the steady clock there (it does not
    // advance in sleep), so a relative time-out measures the same span.
    const auto left = deadline - std::chrono::steady_clock::now();
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    return dispatch_semaphore_wait(m_semaphore,
                                   dispatch_time(DISPATCH_TIME_NOW, ns > 0 ? ns : 0)) == 0;
}
inline bool Semaphore::tryWait() noexcept {
    return dispatch_semaphore_wait(m_semaphore, DISPATCH_TIME_NOW) == 0;
}

#else

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex is a plain 32-bit word");

inline Semaphore::Semaphore() noexcept = default;
inline Semaphore::~Semaphore() = default;
inline bool Semaphore::ok() const noexcept { return true; }

inline bool Semaphore::takeOne() noexcept {
    uint32_t count = m_count.load();
    while (count > 0) {
        if (m_count.compare_exchange_weak(count, count - 1)) {
            return true;
        }
    }
    return false;
}

inline bool Semaphore::sleep(const timespec* at) noexcept {
    m_sleepers.fetch_add(1);
    const long result =
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_count),
                FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, 0u, at, nullptr, FUTEX_BITSET_MATCH_ANY);
    const bool timedOut = result != 0 && errno == ETIMEDOUT;
    m_sleepers.fetch_sub(1);
    return !timedOut;
}

inline void Semaphore::post() noexcept {
    m_count.fetch_add(1);
    if (m_sleepers.load() > 0) {
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_count), FUTEX_WAKE | FUTEX_PRIVATE_FLAG,
                1, nullptr, nullptr, 0);
    }
}

inline void Semaphore::wait() noexcept {
    while (!takeOne()) {
        sleep(nullptr);
    }
}

inline bool Semaphore::waitUntil(std::chrono::steady_clock::time_point deadline) noexcept {
    // The steady clock is CLOCK_MONOTONIC here, which a bitset futex wait takes as absolute.
    const auto since = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec at{};
    at.tv_sec = static_cast<time_t>(seconds.count());
    at.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    while (!takeOne()) {
        if (!sleep(&at)) {
            return takeOne();
        }
    }
    return true;
}

inline bool Semaphore::tryWait() noexcept { return takeOne(); }

#endif

}  // namespace hidutil::internal
