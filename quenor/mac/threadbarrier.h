// ThreadBarrier: a one-shot meeting point for exactly two threads.
//
// Each party calls pass() once; the first to arrive waits until the second has
// arrived, the second releases the first. The device's worker thread meets the
// opening thread on one barrier at start-up and the closing thread on another at
// shutdown. Thread-safe; not copyable.
#pragma once

#include <condition_variable>
#include <mutex>

namespace quenor::mac {

class ThreadBarrier {
public:
    explicit ThreadBarrier(int parties = 2) : m_threshold(parties) {}
    ThreadBarrier(const ThreadBarrier&) = delete;
    ThreadBarrier& operator=(const ThreadBarrier&) = delete;

    void pass() {
        std::unique_lock<std::mutex> lock(m_mutex);
        const unsigned long generation = m_generation;
        if (++m_count >= m_threshold) {
            m_count = 0;
            ++m_generation;
            lock.unlock();
            m_condition.notify_all();
            return;
        }
        m_condition.wait(lock, [&] { return m_generation != generation; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    int m_count = 0;                 // guarded by m_mutex
    unsigned long m_generation = 0;  // guarded by m_mutex; lets a waiter tell a real release
    const int m_threshold;           // from a spurious wake-up
};

}  // namespace quenor::mac
