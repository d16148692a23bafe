// BlockedCall: a report call that a test scripted to block.
//
// Unless the script says the driver never returns, the block also ends by
// itself after the device's request time-out, as the HID driver ends a
// synchronous report call on a Mac (see requestTimeoutLocked in hidreports.cpp).
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

#include <chrono>
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

enum class BlockEnd { Released, Unplugged, TimedOut };

// Blocks the calling thread as `kind` says, for at most `timeout` (zero: no
// limit); the caller does not hold the platform mutex. Cancellable blocks end
// by unwinding on pthread_cancel.
BlockEnd waitWhileBlocked(const std::shared_ptr<DeviceState>& device, Block kind,
                          std::chrono::microseconds timeout, const NoCancel& noCancel);

}  // namespace vmac::detail
