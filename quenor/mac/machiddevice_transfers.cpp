// Report transfers of MacHidDevice: output and feature reports are sent from the
// device's timed sender thread (setsender.h), in the request queue's order, and feature
// reports read on its thread; input reads are answered by the open state (see
// machiddeviceprivate.h).
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "quenor/mac/answer.h"
#include "quenor/mac/deadline.h"
#include "quenor/mac/iostatus.h"
#include "quenor/mac/machiddevice.h"
#include "quenor/mac/machiddeviceprivate.h"
#include "quenor/mac/runningcall.h"
#include "quenor/mac/setsender.h"
#include "quenor/mac/threadname.h"

using quenor::mac::SharedDevice;
using quenor::mac::widenStatus;
using Result = AbstractHidDevice::AsyncOpResult;

namespace {

Result noMemory(const ReportBuffer& report, unsigned char reportId) {
    return {false, -1, report, reportId, widenStatus(kIOReturnNoMemory)};
}

}  // namespace

namespace quenor::mac {

// One set transfer, made when it is called: what the call asked for, our own
// device reference and the promise. Shared by the queued operation, the queue
// thread and the sender thread; either thread may outlive the other: past the
// grace the queue thread answers for the sender and leaves it to finish on this
// state's references. Registered with the device while it runs, so that the
// device's destruction can cut it short (cancel()). A straight transfer
// (setsender.h) is shared by its caller and the sender only; the queue's thread
// reaches it through SetSender::m_current when it expires.
struct SendState final : RunningCall {
    SendState(SharedDevice device_, IOHIDReportType type_, unsigned char reportId_,
              ReportBuffer buffer_, long timeout_)
        : device(std::move(device_)),
          type(type_),
          reportId(reportId_),
          buffer(std::move(buffer_)),
          timeout(timeout_) {}

    const SharedDevice device;
    const IOHIDReportType type;
    const unsigned char reportId;
    const ReportBuffer buffer;
    const long timeout;
    hidutil::promise<Result> promise;
    // A straight transfer's hold on the request queue, set before the hand-over;
    // empty for a queued one.
    hidutil::OperationsQueue::Hold hold;

    AnswerOnce answered;  // the first of the threads to answer wins; the others wait for it
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;            // guarded by mutex: the sender has answered
    bool cancelled = false;       // guarded by mutex: the sender got a cancellation request
    bool abortRequested = false;  // guarded by mutex: the device is being destroyed

    void answer(const Result& result) noexcept {
        answered.settle(
            [&]() noexcept { quenor::mac::answer(promise, result, noMemory(buffer, reportId)); });
    }

    // Sets a flag and wakes the queue thread; the wake-up follows the unlock, so
    // the woken thread does not run into a held mutex.
    void raise(bool SendState::*flag) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            this->*flag = true;
        }
        condition.notify_one();
    }

    // The record of a transfer cut short by its time-out, or by the destruction.
    Result cutShort(bool aborted) const {
        return {false, -1, buffer, reportId,
                widenStatus(aborted ? kIOReturnAborted : kIOReturnTimeout)};
    }

    void cancel() noexcept override { raise(&SendState::abortRequested); }
    void abort() noexcept override { answer(cutShort(true)); }
};

struct SetSender::Line {
    std::mutex mutex;
    std::condition_variable wakeup;  // the sender is its only waiter
    std::shared_ptr<SendState> job;  // guarded by mutex: handed over, not yet taken
    bool quit = false;               // guarded by mutex: set once, by the destructor
    bool idleEnded = false;          // guarded by mutex: the sender ended, idle for kSenderIdle
};

}  // namespace quenor::mac

namespace {

using quenor::mac::SendState;
using quenor::mac::SetSender;
using SharedSendState = std::shared_ptr<SendState>;
using SharedLine = std::shared_ptr<SetSender::Line>;

// Runs from the thread's cleanup stack when the queue thread's cancellation
// request ends the sender inside the platform call (only vmac's cancellable
// blocks do; a Mac's call ignores it): the request is still answered and the
// queue thread's wait ends. A cleanup handler rather than a destructor, because
// not every platform unwinds C++ frames on cancellation; for the same reason it
// drops the sender's share itself.
void finishCancelledSend(void* context) {
    SharedSendState& state = *static_cast<SharedSendState*>(context);
    bool aborted;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        aborted = state->abortRequested;
    }
    state->answer(state->cutShort(aborted));
    state->raise(&SendState::done);
    state.reset();
}

void releaseLine(void* context) {
    static_cast<SharedLine*>(context)->reset();
}

// One transfer on the sender thread: the blocking platform call, then the answer.
// Cancellation is enabled for the call only. False when the queue thread asked
// this thread to cancel: it must end then, as the request may still be pending.
// Drops `state` before it returns.
bool sendReport(SharedSendState& state) {
    IOReturn result;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    pthread_cleanup_push(&finishCancelledSend, &state);
    result =
        IOHIDDeviceSetReport(state->device->get(), state->type, state->reportId,
                             state->buffer->data(), static_cast<CFIndex>(state->buffer->size()));
    pthread_cleanup_pop(0);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    const bool ok = result == kIOReturnSuccess;
    state->answer({ok, ok ? static_cast<int32_t>(state->buffer->size()) : -1, state->buffer,
                   state->reportId, widenStatus(result)});
    bool cancelled;
    if (state->hold) {
        // A straight transfer: nobody waits for `done` unless the hold has expired
        // meanwhile, and the expiring thread may hold no share of the state, so ours
        // stays until the notify is out.
        if (state->hold.release()) {
            state->finished = true;
            state.reset();
            return true;
        }
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->done = true;
            cancelled = state->cancelled;
        }
        state->condition.notify_one();
        state.reset();
        return !cancelled;
    }
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->done = true;
        cancelled = state->cancelled;
        if (!cancelled) {
            // The queue thread has not given up: it holds its share until it has seen
            // `done`, so ours is not the last. Let go of it, and of the caller's buffer,
            // before the queue thread can go on to the next operation; woken under the
            // lock because the state may go as soon as the lock is released.
            state->condition.notify_one();
            state.reset();
            return true;
        }
    }
    state->condition.notify_one();  // our share keeps the condition alive
    state.reset();
    return false;
}

// The sender thread: takes one transfer at a time until it is told to quit or
// was asked to cancel. Holds its own share of the line.
void senderLoop(SharedLine handedOver) {
    SharedLine line = std::move(handedOver);
    quenor::mac::nameCurrentThread("quenor-hid-tx");
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_cleanup_push(&releaseLine, &line);
    for (;;) {
        SharedSendState state;
        {
            std::unique_lock<std::mutex> lock(line->mutex);
            if (!line->wakeup.wait_for(lock, quenor::mac::kSenderIdle,
                                       [&] { return line->job || line->quit; })) {
                line->idleEnded = true;  // no transfer came: the next one starts a sender
                break;
            }
            state = std::move(line->job);
        }
        if (!state || !sendReport(state)) {
            break;
        }
    }
    pthread_cleanup_pop(1);
}

}  // namespace

namespace quenor::mac {

SetSender::~SetSender() {
    if (!m_line) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_line->mutex);
        m_line->quit = true;
    }
    m_line->wakeup.notify_one();
    m_thread.join();
}

bool SetSender::handOver(const SharedSendState& state) {
    m_current = state;
    if (m_line) {
        bool handedOver = false;
        {
            std::lock_guard<std::mutex> lock(m_line->mutex);
            if (!m_line->idleEnded) {
                m_line->job = state;
                handedOver = true;
            }
        }
        if (handedOver) {
            m_line->wakeup.notify_one();
            return true;
        }
        m_thread.join();  // it has left its loop: this returns at once
        m_line.reset();
    }
    try {
        // The transfer is in the slot before the thread starts, so that the new
        // sender takes it whenever it gets to run.
        SharedLine line = std::make_shared<Line>();
        line->job = state;
        m_thread = std::thread(senderLoop, line);
        m_line = std::move(line);
        return true;
    } catch (...) {  // no thread (std::system_error) or no memory for it
        state->answer(
            {false, -1, state->buffer, state->reportId, widenStatus(kIOReturnNoResources)});
        return false;
    }
}

// With time-out -1 only the destruction cuts the wait short.
void SetSender::run(const SharedSendState& state) {
    if (!handOver(state)) {
        return;
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    const auto isDoneOrAborted = [&] { return state->done || state->abortRequested; };
    if (state->timeout == -1) {
        state->condition.wait(lock, isDoneOrAborted);
    } else {
        state->condition.wait_until(lock, deadlineAfter(state->timeout), isDoneOrAborted);
    }
    if (!state->done) {
        cutShort(state, lock);
    }
    // else the sender waits for the next transfer
}

void SetSender::expire() noexcept {
    const SharedSendState state = m_current.lock();
    if (!state) {
        return;  // answered, and let go of by its sender
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    if (!state->done) {
        cutShort(state, lock);
    }
    state->finished = true;
}

void SetSender::cutShort(const SharedSendState& state, std::unique_lock<std::mutex>& lock) {
    state->cancelled = true;
    pthread_cancel(m_thread.native_handle());
    state->condition.wait_for(lock, kCallGrace, [&] { return state->done; });
    const bool finished = state->done;
    const bool aborted = state->abortRequested;
    lock.unlock();
    // A sender asked to cancel ends: joined when its call came back, left to
    // finish on its own references when not. The next transfer starts another.
    if (finished) {
        m_thread.join();
    } else {
        state->answer(state->cutShort(aborted));
        m_thread.detach();
    }
    m_line.reset();
}

}  // namespace quenor::mac

namespace {

Result badArgument(unsigned char reportId) {
    return {false, 0, nullptr, reportId, widenStatus(kIOReturnBadArgument)};
}

Result notOpenWhenRun() {
    return {false, 0, nullptr, 0, 0};
}

// A feature read's buffer and report ID, once for the call and its records.
struct FeatureRecords {
    ReportBuffer buffer;
    unsigned char reportId;
    Result aborted() const { return {false, -1, buffer, reportId, widenStatus(kIOReturnAborted)}; }
    Result noMemory() const { return ::noMemory(buffer, reportId); }
};
using FeatureRead = quenor::mac::QueuedCall<Result, FeatureRecords>;

}  // namespace

hidutil::async_request<Result> MacHidDevice::setReport(unsigned char reportId,
                                                       const ReportBuffer& report, long timeout) {
    return setTransfer(Output, reportId, report, timeout);
}

hidutil::async_request<Result> MacHidDevice::setFeature(unsigned char reportId,
                                                        const ReportBuffer& report) {
    constexpr long kFeatureTimeoutMs = 5000;
    return setTransfer(Feature, reportId, report, kFeatureTimeoutMs);
}

hidutil::async_request<Result> MacHidDevice::setTransfer(ReportType type, unsigned char reportId,
                                                         const ReportBuffer& report, long timeout) {
    if (!report) {
        return hidutil::make_ready_request<Result>(badArgument(reportId));
    }
    auto device = retainDevice();
    if (!device) {
        return makeDefaultFailFuture(report);
    }
    // One allocation for the transfer and its promise's handle, one for the operation.
    auto state = std::make_shared<SendState>(std::move(device), static_cast<IOHIDReportType>(type),
                                             reportId, report, timeout);
    auto request = state->promise.get_request();
    if (hidutil::OperationsQueue::Hold hold = requestQueue.tryHold(sender)) {
        sendStraight(state, std::move(hold));
        return request;
    }
    requestQueue.pushOperation(std::move(state),
                               [this, sender = sender](SharedSendState& transfer) {
                                   if (enterSend(transfer)) {
                                       sender->run(transfer);  // uses nothing of this device
                                   }
                                   transfer->finished = true;
                               });
    return request;
}

bool MacHidDevice::enterSend(const std::shared_ptr<quenor::mac::SendState>& transfer) const {
    switch (enterCall(transfer, transfer->device->get())) {
        case CallEntry::Entered:
            return true;
        case CallEntry::NotOpen:  // closed or reopened since the transfer was made
            transfer->answer(
                {false, 0, transfer->buffer, transfer->reportId, widenStatus(kIOReturnNotOpen)});
            return false;
        case CallEntry::Destroying:
            transfer->abort();
            return false;
    }
    return false;
}

// The request queue is idle and held for this transfer: the caller hands it to the
// sender itself, as the queue's thread would have (setsender.h).
void MacHidDevice::sendStraight(const std::shared_ptr<quenor::mac::SendState>& transfer,
                                hidutil::OperationsQueue::Hold hold) {
    transfer->hold = std::move(hold);  // before the sender can see the transfer
    const hidutil::OperationsQueue::Hold& held = transfer->hold;
    // handOver() answers kIOReturnNoResources when it fails.
    if (enterSend(transfer) && sender->handOver(transfer)) {
        // Timed from here, as the queue's thread times a queued transfer from its
        // hand-over; -1 waits for the sender or the destruction.
        held.arm(transfer->timeout == -1 ? std::chrono::steady_clock::time_point::max()
                                         : quenor::mac::deadlineAfter(transfer->timeout));
        return;
    }
    transfer->finished = true;
    held.release();
    held.arm(std::chrono::steady_clock::time_point::max());  // ends the hold
}

hidutil::async_request<Result> MacHidDevice::getFeature(unsigned char reportId,
                                                        const ReportBuffer& report) {
    if (!report) {
        return hidutil::make_ready_request<Result>(badArgument(reportId));
    }
    auto call = FeatureRead::make(FeatureRecords{report, reportId});
    auto request = FeatureRead::request(call);
    requestQueue.pushOperation(std::move(call), [this](std::shared_ptr<FeatureRead>& read) {
        const ReportBuffer& report = read->records().buffer;
        const unsigned char reportId = read->records().reportId;
        // Our own share: a close during the call cannot release the device under it.
        SharedDevice device;
        if (enterCall(read, device) != CallEntry::Entered) {
            read->abort();
            return;
        }
        // From here on this device may be gone: only `read`, `device` and `report`.
        read->run([&] {
            if (!device) {
                read->answer(notOpenWhenRun());
                return;
            }
            CFIndex length = static_cast<CFIndex>(report->size());
            const IOReturn result = IOHIDDeviceGetReport(device->get(), kIOHIDReportTypeFeature,
                                                         reportId, report->data(), &length);
            const bool ok = result == kIOReturnSuccess;
            // The length the device answered: bytes past it are not its answer.
            read->answer({ok, ok ? static_cast<int32_t>(length) : -1, report, reportId,
                          widenStatus(result)});
        });
    });
    return request;
}

hidutil::async_request<Result> MacHidDevice::getReport(const ReportBuffer& report, long timeout) {
    if (!report) {
        return hidutil::make_ready_request<Result>(badArgument(0));
    }
    PlatformUse use(*this);
    if (!use) {
        return hidutil::make_ready_request<Result>(notOpenWhenRun());
    }
    // Answered at once from the queue, or later by the worker (a report, or the
    // time-out).
    return use->read(report, timeout);
}

void MacHidDevice::cancelAll() {
    const quenor::mac::SharedUsbInterface usbInterface = retainInterface();
    if (!usbInterface) {
        return;
    }
    IOUSBInterfaceStruct190** intf = usbInterface->get();
    UInt8 endpoints = 0;
    if ((*intf)->GetNumEndpoints(intf, &endpoints) != kIOReturnSuccess) {
        return;
    }
    // Pipe 0 is the control pipe; the endpoints' pipes are 1 to n, all of them reset.
    for (int pipe = 1; pipe <= endpoints; ++pipe) {
        (*intf)->AbortPipe(intf, static_cast<UInt8>(pipe));
        (*intf)->ClearPipeStallBothEnds(intf, static_cast<UInt8>(pipe));
    }
}

void MacHidDevice::setDoAsync(bool) {
    // Every transfer is asynchronous here; callers wait on the returned request.
}

hidutil::async_request<Result> MacHidDevice::makeDefaultFailFuture(const ReportBuffer& report) {
    return AbstractHidDevice::makeDefaultFailFuture(report, 0,
                                                    static_cast<long>(widenStatus(kIOReturnError)));
}
