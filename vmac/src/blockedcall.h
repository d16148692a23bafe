// BlockedCall: a report call that a test scripted to block.
//
// The blocked thread owns the record (on its stack) and waits on its own
// pthread condition variable. pthread_cond_wait is a clean cancellation point:
// on cancellation it re-takes `mutex` and unwinds, and the record's guards
// unlock it. (std::condition_variable::wait is noexcept in libstdc++, so a
// forced unwind through it would terminate; a blocking poll()/read() would do
// as well, but ThreadSanitizer loses track of a thread cancelled inside those
// and then reports false races, while it handles pthread_cond_wait.)
//
// wake() is called by releaseBlockedCalls and unplug, under the platform
// mutex, only for records still listed in DeviceState::blocked; the waiter
// unlists its record (under the platform mutex) on every way out, including a
// forced unwind, so the record outlives every wake.
#pragma once

#include "devicestate.h"
#include "nocancel.h"

#include <pthread.h>

#include <memory>

namespace vmac::detail {

struct BlockedCall {
    BlockedCall();
    ~BlockedCall();
    BlockedCall(const BlockedCall&) = delete;
    BlockedCall& operator=(const BlockedCall&) = delete;

    // Wakes the blocked thread. Caller holds Platform::mutex.
    void wake();

    pthread_mutex_t mutex;
    pthread_cond_t woken;
    bool released = false;   // guarded by mutex
    bool unplugged = false;  // guarded by Platform::mutex
};

enum class BlockEnd { Released, Unplugged };

// Blocks the calling thread as `kind` says; the caller does not hold the
// platform mutex. Cancellable blocks end by unwinding on pthread_cancel.
BlockEnd waitWhileBlocked(const std::shared_ptr<DeviceState>& device, Block kind,
                          const NoCancel& noCancel);

}  // namespace vmac::detail
