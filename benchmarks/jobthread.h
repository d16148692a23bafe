// A persistent thread that runs one posted job at a time: the hand-off that the
// baselines use (and that the request-channel rows use on both sides, so that
// only the channel differs). Posting neither allocates nor holds a lock while
// waking the thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "pairedrun.h"

namespace bench {

class JobThread {
public:
    // `cpu`: the CPU to pin the thread to, or -1 to let it run anywhere.
    explicit JobThread(int cpu = -1) : m_thread([this, cpu] { run(cpu); }) {}
    ~JobThread() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    JobThread(const JobThread&) = delete;
    JobThread& operator=(const JobThread&) = delete;

    // Runs (*job)() on the thread. `job` must outlive the call's start; the
    // caller posts the next job only after the previous one has been taken.
    template <class Job>
    void post(Job* job) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_function = [](void* context) { (*static_cast<Job*>(context))(); };
            m_context = job;
        }
        m_wake.notify_one();
    }

private:
    void run(int cpu) {
        PinThisThread pin(cpu);
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_function != nullptr || m_quit; });
            if (m_function == nullptr) {
                return;
            }
            void (*function)(void*) = m_function;
            void* context = m_context;
            m_function = nullptr;
            lock.unlock();
            function(context);
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    void (*m_function)(void*) = nullptr;  // guarded by m_mutex
    void* m_context = nullptr;            // guarded by m_mutex
    bool m_quit = false;                  // guarded by m_mutex
    std::thread m_thread;                 // last: starts once the rest is built
};

}  // namespace bench
