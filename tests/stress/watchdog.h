// The stress run's watchdog: a hang becomes an abort that says where it hung.
//
// Every harness thread owns one Activity and names the step it is in before
// anything that could block (a device call, a close, a wait on a handle). The
// watcher looks every half second; when a step has lasted past the bound it
// prints every thread's step and the run's knobs to standard error and aborts,
// so that CI fails with the place of the hang rather than a silent time-out.
//
// Threads: add() before the threads that use the activities start; enter() and
// idle() only from the owning thread; the watcher only reads.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace stress {

inline int64_t nowNs() {
    return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

struct Activity {
    explicit Activity(std::string name) : name(std::move(name)) {}
    // `step` is kept by pointer: a string literal. `slot` is the device worked on, or -1.
    void enter(const char* step, int slot = -1) {
        since = nowNs();
        device = slot;
        what = step;
    }
    // Between steps: sleeping or looking at ready handles, nothing that can hang.
    void idle() { enter(nullptr); }

    const std::string name;
    std::atomic<const char*> what{nullptr};
    std::atomic<int> device{-1};
    std::atomic<int64_t> since{0};
};

class Watchdog {
public:
    Watchdog(std::chrono::seconds bound, std::string context)
        : boundNs_(bound / std::chrono::nanoseconds(1)), context_(std::move(context)) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        watcher_.join();
    }

    // The reference stays valid for the watchdog's lifetime.
    Activity& add(std::string name) {
        std::lock_guard<std::mutex> lock(mutex_);
        return activities_.emplace_back(std::move(name));
    }

private:
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (
            !wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stopping_; })) {
            const int64_t now = nowNs();
            const auto hung = [&](const Activity& a) { return a.what && now - a.since > boundNs_; };
            if (std::none_of(activities_.begin(), activities_.end(), hung)) {
                continue;
            }
            std::fprintf(stderr,
                         "\nstress watchdog: a step has lasted over %.0f s; rerun with %s\n",
                         boundNs_ / 1e9, context_.c_str());
            for (const Activity& a : activities_) {
                const char* what = a.what;
                std::fprintf(stderr, "  %-14s %-40s device %2d  for %.1f s%s\n", a.name.c_str(),
                             what ? what : "(idle)", a.device.load(),
                             what ? (now - a.since) / 1e9 : 0.0, hung(a) ? "  <- HUNG" : "");
            }
            std::fflush(stderr);
            std::abort();
        }
    }

    const int64_t boundNs_;
    const std::string context_;  // the knobs that repeat the run
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;                     // guarded by mutex_
    std::deque<Activity> activities_;           // guarded by mutex_; elements never move
    std::thread watcher_{[this] { watch(); }};  // last: starts once the rest exists
};

}  // namespace stress
