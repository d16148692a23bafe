// TicketState: the shared state behind vmac::Ticket. One ticket covers an
// injected report or an unplug; each target (a device object that will get a
// callback) resolves once as delivered or dropped. `mutex` is a leaf lock.
#pragma once

#include <vmac/control.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vmac::detail {

class TicketState {
public:
    void addTarget();
    void resolve(bool delivered);
    Outcome outcome() const;
    Outcome waitFor(std::chrono::milliseconds timeout) const;

private:
    Outcome outcomeLocked() const;  // caller holds mutex_

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int pending_ = 0;    // guarded by mutex_
    int delivered_ = 0;  // guarded by mutex_
};

}  // namespace vmac::detail
