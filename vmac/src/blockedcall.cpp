#include "blockedcall.h"

#include "platformstate.h"

#include <algorithm>

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
    pthread_cond_init(&woken, nullptr);
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
                          const NoCancel& noCancel) {
    BlockedCall call;
    Listing listing(device, call);
    {
        CallLock lock(call);
        while (!call.released) {
            if (kind == Block::Cancellable) {
                CancelWindow window(noCancel);
                pthread_cond_wait(&call.woken, &call.mutex);
            } else {
                pthread_cond_wait(&call.woken, &call.mutex);
            }
        }
    }
    listing.finished();
    std::lock_guard<std::mutex> lock(platform().mutex);
    return call.unplugged ? BlockEnd::Unplugged : BlockEnd::Released;
}

}  // namespace vmac::detail
