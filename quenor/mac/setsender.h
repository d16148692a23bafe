// The thread on which a device's set transfers make their blocking platform call.
//
// IOHIDDeviceSetReport cannot be interrupted, so the request queue's thread hands
// the call to a sender thread it can time, and waits for it as the transfer's
// time-out allows; past it the sender gets a POSIX cancellation request and
// kCallGrace more (runningcall.h). The sender is started by the first transfer and
// reused by the next ones while they come; after kSenderIdle without one it ends,
// so that an idle device keeps no sender, and the next transfer starts another.
// A sender that was asked to cancel ends once its call returns (the request may
// still be pending in it, and would hit the next call); one still inside the call
// after the grace is left to finish on its own references and replaced by the
// next transfer.
//
// Threads: run() on the request queue's thread only (one transfer at a time);
// the destructor on whichever thread drops the last share, never the sender.
// Shared by the device and each queued set transfer, so that a queue thread the
// device's destruction leaves behind still has it.
#pragma once

#include <chrono>
#include <memory>
#include <thread>

namespace quenor::mac {

// How long a sender waits for the next transfer before it ends: transfers that
// follow each other closer than this (a burst, a steady stream) share one thread.
inline constexpr std::chrono::seconds kSenderIdle{1};

struct SendState;

class SetSender {
public:
    SetSender() = default;
    SetSender(const SetSender&) = delete;
    SetSender& operator=(const SetSender&) = delete;
    // Ends an idle sender and joins it (an idle one is only waiting for work, or
    // has ended).
    ~SetSender();

    // Makes the transfer's call on the sender thread and answers its request: by
    // the call, or with the time-out or aborted record when it is cut short, or
    // with kIOReturnNoResources when no sender thread can be had.
    void run(const std::shared_ptr<SendState>& state);

    // The handover slot between run() and the sender thread.
    struct Line;

private:
    std::shared_ptr<Line> m_line;  // with m_thread: the current sender, if any
    std::thread m_thread;
};

}  // namespace quenor::mac
