#include "ticketstate.h"

#include "nocancel.h"

namespace vmac::detail {

void TicketState::addTarget() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++pending_;
}

void TicketState::resolve(bool delivered) {
    std::lock_guard<std::mutex> lock(mutex_);
    --pending_;
    if (delivered)
        ++delivered_;
    changed_.notify_all();
}

Outcome TicketState::outcomeLocked() const {
    if (pending_ > 0)
        return Outcome::Pending;
    return delivered_ > 0 ? Outcome::Delivered : Outcome::Dropped;
}

Outcome TicketState::outcome() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomeLocked();
}

Outcome TicketState::waitFor(std::chrono::milliseconds timeout) const {
    NoCancel noCancel;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return pending_ == 0; });
    return outcomeLocked();
}

}  // namespace vmac::detail
