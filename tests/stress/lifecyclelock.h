// LifecycleLock: the harness's way of keeping the device contract. Open, close,
// destruction and the filtering switch of one device must not overlap each
// other or any other call on that device; every other call may run
// concurrently. Application calls take the lock shared, lifecycle steps take
// it exclusive.
//
// Writers are preferred: a waiting lifecycle step holds new shared entries
// back, so twelve busy application threads cannot starve it (the platform's
// reader-writer lock prefers readers and would).
#pragma once

#include <condition_variable>
#include <mutex>

namespace stress {

class LifecycleLock {
public:
    void lock_shared() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !writing_ && waitingWriters_ == 0; });
        ++readers_;
    }
    void unlock_shared() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--readers_ == 0) {
            changed_.notify_all();
        }
    }
    void lock() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++waitingWriters_;
        changed_.wait(lock, [this] { return !writing_ && readers_ == 0; });
        --waitingWriters_;
        writing_ = true;
    }
    void unlock() {
        std::lock_guard<std::mutex> lock(mutex_);
        writing_ = false;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int readers_ = 0;         // guarded by mutex_
    int waitingWriters_ = 0;  // guarded by mutex_
    bool writing_ = false;    // guarded by mutex_
};

}  // namespace stress
