// NoCancel: disables POSIX cancellation for the life of a platform call.
//
// Every entry point of the platform creates one first, so that no call is a
// cancellation point (IOKit calls are not), whatever libc functions it uses
// inside. CancelWindow re-opens the caller's own state for exactly one
// blocking call that is meant to be cancellable.
#pragma once

#include <pthread.h>

namespace vmac::detail {

// How many platform (or control-API) frames the calling thread is inside; read
// by vmac::insidePlatformCall().
inline thread_local int t_platformDepth = 0;

class NoCancel {
public:
    NoCancel() {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_);
        ++t_platformDepth;
    }
    ~NoCancel() {
        --t_platformDepth;
        pthread_setcancelstate(previous_, nullptr);
    }
    NoCancel(const NoCancel&) = delete;
    NoCancel& operator=(const NoCancel&) = delete;

    int callerState() const { return previous_; }

private:
    int previous_ = PTHREAD_CANCEL_ENABLE;
};

// While alive, cancellation is as the caller had it (normally enabled).
// Destroyed first on a forced unwind, so the cleanups below it run with
// cancellation disabled again.
class CancelWindow {
public:
    explicit CancelWindow(const NoCancel& outer) {
        pthread_setcancelstate(outer.callerState(), nullptr);
    }
    ~CancelWindow() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr); }
    CancelWindow(const CancelWindow&) = delete;
    CancelWindow& operator=(const CancelWindow&) = delete;
};

}  // namespace vmac::detail
