// The thread on which a device's set transfers make their blocking platform call.
//
// IOHIDDeviceSetReport cannot be interrupted, so the call runs on a sender thread
// that another thread times: past the transfer's time-out the sender gets a POSIX
// cancellation request and kCallGrace more (runningcall.h). The sender is started
// by the first transfer and reused by the next ones while they come; after
// kSenderIdle without one it ends, so that an idle device keeps no sender, and the
// next transfer starts another. A sender that was asked to cancel ends once its
// call returns (the request may still be pending in it, and would hit the next
// call); one still inside the call after the grace is left to finish on its own
// references and replaced by the next transfer.
//
// Two ways in, one transfer at a time, in the request queue's order:
// - queued: the request queue's thread calls run(), which hands the transfer over
//   and times it;
// - straight: when the request queue is idle, the caller holds its place
//   (OperationsQueue::tryHold) and calls handOver() itself; the sender releases the
//   hold when it has answered, and the queue's thread, woken only by the deadline
//   or the queue's stop, cuts the transfer short in expire(). That saves the
//   transfer a hand-over between threads, and the queue's thread a wake-up.
//
// Threads: run(), handOver() and expire() on the threads just named; the queue's
// order keeps them one at a time. The destructor on whichever thread drops the
// last share, never the sender: shared by the device and each queued set
// transfer, so that a queue thread the device's destruction leaves behind still
// has it; the queue itself only holds it weakly.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include <quenor/operationsqueue.h>

namespace quenor::mac {

// How long a sender waits for the next transfer before it ends: transfers that
// follow each other closer than this (a burst, a steady stream) share one thread.
inline constexpr std::chrono::seconds kSenderIdle{1};

struct SendState;

class SetSender final : public hidutil::QueueOccupant {
public:
    SetSender() = default;
    // Ends an idle sender and joins it (an idle one is only waiting for work, or
    // has ended).
    ~SetSender() override;

    // Makes the transfer's call on the sender thread and answers its request: by
    // the call, or with the time-out or aborted record when it is cut short, or
    // with kIOReturnNoResources when no sender thread can be had.
    void run(const std::shared_ptr<SendState>& state);

    // Hands the transfer to the sender thread, starting one if need be; false when
    // none can be had, the request then answered kIOReturnNoResources.
    bool handOver(const std::shared_ptr<SendState>& state);

    // A straight transfer's time-out or the queue's stop: cuts it short as run()
    // does, unless it has answered.
    void expire() noexcept override;

    // The handover slot between the queue's side and the sender thread.
    struct Line;

private:
    // The sender has not answered by the time-out or the destruction: asks it to
    // cancel, waits the grace and answers for it if need be (`lock` on the state's
    // mutex, released on return).
    void cutShort(const std::shared_ptr<SendState>& state, std::unique_lock<std::mutex>& lock);

    std::shared_ptr<Line> m_line;  // with m_thread: the current sender, if any
    std::thread m_thread;
    std::weak_ptr<SendState> m_current;  // the transfer handed over last
};

}  // namespace quenor::mac
