#include "blockedcall.h"

#include "platformstate.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>

namespace vmac::detail {
namespace {

// Lists the record for the time of the wait and counts a cancelled one. Its
// destructor also runs on a forced unwind, with cancellation disabled again.
class Listing {
public:
    Listing(std::shared_ptr<DeviceState> device, BlockedCall& call)
        : device_(std::move(device)), call_(call) {
        std::lock_guard<std::mutex> lock(platform().mutex);
        if (!device_->attached) {
            // Unplugged between the call's admission and now: nothing would wake it.
            call_.unplugged = true;
            call_.released = true;
            return;
        }
        device_->blocked.push_back(&call_);
        platform().changed.notify_all();
    }

    ~Listing() {
        std::lock_guard<std::mutex> lock(platform().mutex);
        auto& blocked = device_->blocked;
        blocked.erase(std::remove(blocked.begin(), blocked.end(), &call_), blocked.end());
        if (!finished_)
            ++device_->cancelledCalls;
        platform().changed.notify_all();
    }

    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;

    void finished() { finished_ = true; }

private:
    std::shared_ptr<DeviceState> device_;
    BlockedCall& call_;
    bool finished_ = false;
};

// Holds the record's mutex; unlocks it also when a cancelled wait unwinds.
class CallLock {
public:
    explicit CallLock(BlockedCall& call) : call_(call) { pthread_mutex_lock(&call_.mutex); }
    ~CallLock() { pthread_mutex_unlock(&call_.mutex); }
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;

private:
    BlockedCall& call_;
};

}  // namespace

BlockedCall::BlockedCall() {
    pthread_mutex_init(&mutex, nullptr);
    // Deadlines on the monotonic clock, so that a change of the wall clock
    // neither ends a block early nor stretches it.
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&woken, &attributes);
    pthread_condattr_destroy(&attributes);
}

BlockedCall::~BlockedCall() {
    pthread_cond_destroy(&woken);
    pthread_mutex_destroy(&mutex);
}

void BlockedCall::wake() {
    pthread_mutex_lock(&mutex);
    released = true;
    pthread_cond_broadcast(&woken);
    pthread_mutex_unlock(&mutex);
}

BlockEnd waitWhileBlocked(const std::shared_ptr<DeviceState>& device, Block kind,
                          std::chrono::microseconds timeout, const NoCancel& noCancel) {
    timespec deadline = {};
    if (timeout.count() > 0) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        const long long nanoseconds = deadline.tv_nsec + (timeout.count() % 1000000) * 1000LL;
        deadline.tv_sec +=
            static_cast<time_t>(timeout.count() / 1000000 + nanoseconds / 1000000000);
        deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    }
    BlockedCall call;
    Listing listing(device, call);
    bool timedOut = false;
    {
        CallLock lock(call);
        while (!call.released && !timedOut) {
            // Cancellable: the wait is the one cancellation point of the call.
            std::optional<CancelWindow> window;
            if (kind == Block::Cancellable)
                window.emplace(noCancel);
            if (timeout.count() > 0)
                timedOut = pthread_cond_timedwait(&call.woken, &call.mutex, &deadline) == ETIMEDOUT;
            else
                pthread_cond_wait(&call.woken, &call.mutex);
        }
        timedOut = timedOut && !call.released;
    }
    listing.finished();
    std::lock_guard<std::mutex> lock(platform().mutex);
    if (call.unplugged)
        return BlockEnd::Unplugged;
    return timedOut ? BlockEnd::TimedOut : BlockEnd::Released;
}

}  // namespace vmac::detail
