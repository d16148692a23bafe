// The machine's own floor for the soak: the same three threads as an input path
// (a paced injector, a relay thread standing in for the run loop, a reader) and the
// same 30-slot ring with the oldest report dropped, but no platform and no library.
// Whatever this drops, the machine's scheduling dropped.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace bench {

class ThreadChain {
public:
    ThreadChain() : m_relay([this] { relay(); }) {}
    ~ThreadChain() {
        {
            std::lock_guard<std::mutex> lock(m_inMutex);
            m_quit = true;
        }
        m_arrived.notify_one();
        m_relay.join();
    }
    ThreadChain(const ThreadChain&) = delete;
    ThreadChain& operator=(const ThreadChain&) = delete;

    // Injector's side: one report for the relay to hand on.
    void inject() {
        {
            std::lock_guard<std::mutex> lock(m_inMutex);
            ++m_pending;
        }
        m_arrived.notify_one();
    }

    // Reader's side: takes the oldest report; false when `timeout` passed first.
    bool pop(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_ringMutex);
        if (!m_ready.wait_for(lock, timeout, [this] { return m_count > 0; })) {
            return false;
        }
        --m_count;
        return true;
    }

    long dropped() const {
        std::lock_guard<std::mutex> lock(m_ringMutex);
        return m_dropped;
    }

private:
    static constexpr size_t kSlots = 30;

    void relay() {
        std::unique_lock<std::mutex> lock(m_inMutex);
        for (;;) {
            m_arrived.wait(lock, [this] { return m_quit || m_pending > 0; });
            if (m_pending == 0) {
                return;
            }
            --m_pending;
            lock.unlock();
            {
                std::lock_guard<std::mutex> ring(m_ringMutex);
                if (m_count == kSlots) {
                    ++m_dropped;  // the oldest goes
                } else {
                    ++m_count;
                }
            }
            m_ready.notify_one();
            lock.lock();
        }
    }

    std::mutex m_inMutex;
    std::condition_variable m_arrived;
    long m_pending = 0;   // guarded by m_inMutex
    bool m_quit = false;  // guarded by m_inMutex

    mutable std::mutex m_ringMutex;
    std::condition_variable m_ready;
    size_t m_count = 0;  // guarded by m_ringMutex
    long m_dropped = 0;  // guarded by m_ringMutex

    std::thread m_relay;  // last: starts once the members above exist
};

}  // namespace bench
