// Watchdog of the stress run: a hang becomes an abort with a message.
//
// Every harness thread owns one Activity and names the step it is in before any
// step that could block (a device call, a close, a wait on a handle). A watcher
// thread looks every half second; when one step has lasted longer than the
// bound it prints every thread's current step and the run's seed to standard
// error and aborts, so that a hang fails CI with the place it hung instead of a
// time-out without a word.
//
// Threads: add() before the threads that use the activities start; enter() and
// idle() only from the owning thread; the watcher only reads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace stress {

class Activity {
public:
    explicit Activity(std::string name) : name_(std::move(name)) {}

    // `what` must be a string literal (it is kept by pointer); `device` is the
    // device slot the step works on, or -1.
    void enter(const char* what, int device = -1);
    // Between steps: sleeping or looking at ready handles, nothing that can hang.
    void idle() { enter(nullptr); }

    const std::string& name() const { return name_; }
    const char* what() const { return what_.load(); }
    int device() const { return device_.load(); }
    int64_t sinceNs() const { return since_.load(); }

private:
    const std::string name_;
    std::atomic<const char*> what_{nullptr};
    std::atomic<int> device_{-1};
    std::atomic<int64_t> since_{0};
};

class Watchdog {
public:
    Watchdog(std::chrono::milliseconds bound, std::string context);
    ~Watchdog();  // stops the watcher
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // The reference stays valid for the watchdog's lifetime.
    Activity& add(std::string name);

private:
    void watch();
    [[noreturn]] void fail(const Activity& stuck, int64_t nowNs);

    const std::chrono::milliseconds bound_;
    const std::string context_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;            // guarded by mutex_
    std::deque<Activity> activities_;  // guarded by mutex_; elements never move
    std::thread watcher_;
};

int64_t steadyNowNs();

}  // namespace stress
