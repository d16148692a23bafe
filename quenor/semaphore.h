// A counting semaphore for the request channel's waiters: the host's own, because a
// post that finds nobody asleep costs one atomic step and a wake-up one system call,
// where a mutex and condition variable cost a lock round on each side and a second
// one for the woken thread. dispatch semaphores on Apple hosts (unnamed POSIX ones
// do not work there), POSIX ones elsewhere. C++17 has no semaphore of its own.
//
// Threads: post() from any thread; the waits from any number of threads. Not
// copyable; destroy it only when no thread waits on it.
#pragma once

#include <chrono>
#include <cstdint>

#if defined(__APPLE__)
#include <dispatch/dispatch.h>
#else
#include <cerrno>
#include <ctime>
#include <semaphore.h>
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
    sem_t m_semaphore;
    bool m_ok;
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

inline Semaphore::Semaphore() noexcept : m_ok(sem_init(&m_semaphore, 0, 0) == 0) {}
inline Semaphore::~Semaphore() {
    if (m_ok) {
        sem_destroy(&m_semaphore);
    }
}
inline bool Semaphore::ok() const noexcept { return m_ok; }
inline void Semaphore::post() noexcept { sem_post(&m_semaphore); }
inline void Semaphore::wait() noexcept {
    while (sem_wait(&m_semaphore) != 0 && errno == EINTR) {
    }
}
inline bool Semaphore::waitUntil(std::chrono::steady_clock::time_point deadline) noexcept {
    // The steady clock is CLOCK_MONOTONIC here, so its time points are that clock's.
    const auto since = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec at{};
    at.tv_sec = static_cast<time_t>(seconds.count());
    at.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    for (;;) {
        if (sem_clockwait(&m_semaphore, CLOCK_MONOTONIC, &at) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}
inline bool Semaphore::tryWait() noexcept { return sem_trywait(&m_semaphore) == 0; }

#endif

}  // namespace hidutil::internal
