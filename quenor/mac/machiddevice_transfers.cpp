// Report transfers of MacHidDevice: output and feature reports are sent from a
// timed sender thread, feature reports read on the request queue's thread, input
// reports taken from the worker's queue on the input queue's thread.
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

using quenor::mac::ScopedCFRef;
using quenor::mac::widenStatus;
using Result = AbstractHidDevice::AsyncOpResult;
using SharedPromise = std::shared_ptr<hidutil::promise<Result>>;

namespace {

Result noMemory(const ReportBuffer& report, unsigned char reportId) {
    return {false, -1, report, reportId, widenStatus(kIOReturnNoMemory)};
}

// Queues `work` with a freshly made promise; returns the promise's request. The
// caller's thread makes every allocation of queueing (std::bad_alloc reaches the
// caller); `work` that runs out of memory before answering is answered for with
// the no-memory record of `report` and `reportId`.
template <typename Work>
hidutil::async_request<Result> queueTransfer(hidutil::OperationsQueue& queue,
                                             const ReportBuffer& report, unsigned char reportId,
                                             Work&& work) {
    auto promise = std::make_shared<hidutil::promise<Result>>();
    auto request = promise->get_request();
    std::function<void(SharedPromise&)> guarded =
        [fallback = noMemory(report, reportId),
         work = std::forward<Work>(work)](SharedPromise& held) {
            quenor::mac::runAnswering(*held, fallback, [&] { work(held); });
        };
    queue.pushNewOperation(
        new hidutil::DeviceOperation<SharedPromise>(std::move(promise), std::move(guarded)));
    return request;
}

// A queued set transfer: what the call made, with our own device reference,
// held until the operation ends.
struct SetTransfer {
    ScopedCFRef<IOHIDDeviceRef> device;
    IOHIDReportType type;
    unsigned char reportId;
    ReportBuffer buffer;
    long timeout;
};

// How long the queue thread waits for a sender after asking it to cancel. On a
// Mac the platform call is not a cancellation point, so a device that stops
// answering would otherwise hold the request queue (and the device's
// destruction) until the kernel gives up.
constexpr auto kSenderGrace = std::chrono::seconds(1);

// One set transfer, shared by the queue thread and its sender thread. Either may
// outlive the other: past the grace the queue thread answers for the sender and
// leaves it to finish on its own, holding its own references.
struct SendState {
    ScopedCFRef<IOHIDDeviceRef> device;  // the sender's own reference
    IOHIDReportType type;
    unsigned char reportId;
    ReportBuffer buffer;
    SharedPromise promise;

    std::atomic<bool> answered{false};  // the first of the two threads to answer wins
    std::mutex mutex;
    std::condition_variable condition;
    bool started = false;  // guarded by mutex
    bool done = false;     // guarded by mutex

    void answer(const Result& result) noexcept {
        if (!answered.exchange(true)) {
            quenor::mac::answer(*promise, result, noMemory(buffer, reportId));
        }
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

    Result timedOut() const { return {false, -1, buffer, reportId, widenStatus(kIOReturnTimeout)}; }
};

using SharedSendState = std::shared_ptr<SendState>;

// Runs from the thread's cleanup stack when the queue thread's cancellation
// request ends the sender inside the platform call (only vmac's cancellable
// blocks do; a Mac's call ignores it): the request is still answered and the
// queue thread's wait ends. A cleanup handler rather than a destructor, because
// not every platform unwinds C++ frames on cancellation; for the same reason it
// drops the sender's share itself.
void finishCancelledSend(void* context) {
    SharedSendState& state = *static_cast<SharedSendState*>(context);
    state->answer(state->timedOut());
    state->raise(&SendState::done);
    state.reset();
}

// The sender thread: makes the blocking platform call and answers the request.
void sendReport(SharedSendState&& handedOver) {
    SharedSendState state = std::move(handedOver);  // the thread object keeps no share
    state->raise(&SendState::started);
    IOReturn result;
    pthread_cleanup_push(&finishCancelledSend, &state);
    result =
        IOHIDDeviceSetReport(state->device.get(), state->type, state->reportId,
                             state->buffer->data(), static_cast<CFIndex>(state->buffer->size()));
    pthread_cleanup_pop(0);
    // Past the call the thread must run to its end.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    const bool ok = result == kIOReturnSuccess;
    state->answer({ok, ok ? static_cast<int32_t>(state->buffer->size()) : -1, state->buffer,
                   state->reportId, 0});
    state->raise(&SendState::done);
}

// The set transfer on the request queue's thread. The platform call cannot be
// interrupted, so it runs on a thread of its own that this one can time: when
// the time-out passes, the sender gets a cancellation request and one grace
// second more; a sender still inside the call then is answered for and left.
void runSetTransfer(const MacHidDevice& owner, const SetTransfer& transfer,
                    SharedPromise& promise) {
    // Queued before a close or a reopen: the device it resolved is no longer ours.
    if (owner.handle() != transfer.device.get()) {
        promise->set_value(
            {false, 0, transfer.buffer, transfer.reportId, widenStatus(kIOReturnNotOpen)});
        return;
    }
    SharedSendState state;
    std::thread sender;
    try {
        state = std::make_shared<SendState>();
        state->device = ScopedCFRef<IOHIDDeviceRef>::retain(transfer.device.get());
        state->type = transfer.type;
        state->reportId = transfer.reportId;
        state->buffer = transfer.buffer;
        state->promise = promise;
        sender = std::thread(sendReport, state);
    } catch (...) {  // no thread (std::system_error) or no memory for it
        promise->set_value(
            {false, -1, transfer.buffer, transfer.reportId, widenStatus(kIOReturnNoResources)});
        return;
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    state->condition.wait(lock, [&] { return state->started; });
    const auto isDone = [&] { return state->done; };
    if (transfer.timeout == -1) {
        state->condition.wait(lock, isDone);
    } else {
        state->condition.wait_until(lock, quenor::mac::deadlineAfter(transfer.timeout), isDone);
    }
    if (!state->done) {
        pthread_cancel(sender.native_handle());
        state->condition.wait_for(lock, kSenderGrace, isDone);
    }
    const bool finished = state->done;
    lock.unlock();
    if (finished) {
        sender.join();
    } else {
        state->answer(state->timedOut());
        sender.detach();
    }
}

hidutil::async_request<Result> queueSetTransfer(hidutil::OperationsQueue& queue,
                                                const MacHidDevice& owner,
                                                ScopedCFRef<IOHIDDeviceRef> device,
                                                IOHIDReportType type, unsigned char reportId,
                                                const ReportBuffer& report, long timeout) {
    // std::function needs a copyable callable; the transfer's owned reference is shared.
    auto transfer = std::make_shared<const SetTransfer>(
        SetTransfer{std::move(device), type, reportId, report, timeout});
    const MacHidDevice* self = &owner;
    return queueTransfer(queue, report, reportId, [self, transfer](SharedPromise& promise) {
        runSetTransfer(*self, *transfer, promise);
    });
}

Result badArgument(unsigned char reportId) {
    return {false, 0, nullptr, reportId, widenStatus(kIOReturnBadArgument)};
}

Result notOpenWhenRun() {
    return {false, 0, nullptr, 0, 0};
}

}  // namespace

hidutil::async_request<Result> MacHidDevice::setReport(unsigned char reportId,
                                                       const ReportBuffer& report, long timeout) {
    return setTransfer(kIOHIDReportTypeOutput, reportId, report, timeout);
}

hidutil::async_request<Result> MacHidDevice::setFeature(unsigned char reportId,
                                                        const ReportBuffer& report) {
    constexpr long kFeatureTimeoutMs = 5000;
    return setTransfer(kIOHIDReportTypeFeature, reportId, report, kFeatureTimeoutMs);
}

hidutil::async_request<Result> MacHidDevice::setTransfer(IOHIDReportType type,
                                                         unsigned char reportId,
                                                         const ReportBuffer& report, long timeout) {
    if (!report) {
        return hidutil::make_ready_request<Result>(badArgument(reportId));
    }
    auto device = retainDevice();
    if (!device) {
        return makeDefaultFailFuture(report);
    }
    return queueSetTransfer(requestQueue, *this, std::move(device), type, reportId, report,
                            timeout);
}

hidutil::async_request<Result> MacHidDevice::getFeature(unsigned char reportId,
                                                        const ReportBuffer& report) {
    if (!report) {
        return hidutil::make_ready_request<Result>(badArgument(reportId));
    }
    return queueTransfer(
        requestQueue, report, reportId, [this, reportId, report](SharedPromise& promise) {
            // Our own reference: a close during the call cannot release the device under it.
            auto device = retainDevice();
            if (!device) {
                promise->set_value(notOpenWhenRun());
                return;
            }
            CFIndex length = static_cast<CFIndex>(report->size());
            const IOReturn result = IOHIDDeviceGetReport(device.get(), kIOHIDReportTypeFeature,
                                                         reportId, report->data(), &length);
            const bool ok = result == kIOReturnSuccess;
            promise->set_value({ok, ok ? static_cast<int32_t>(report->size()) : -1, report,
                                reportId, widenStatus(result)});
        });
}

hidutil::async_request<Result> MacHidDevice::getReport(const ReportBuffer& report, long timeout) {
    if (!report) {
        return hidutil::make_ready_request<Result>(badArgument(0));
    }
    return queueTransfer(inputQueue, report, 0, [this, report, timeout](SharedPromise& promise) {
        ReportBuffer received;
        {
            PlatformUse use(*this);
            if (!use) {
                promise->set_value(notOpenWhenRun());
                return;
            }
            // Close and destruction wake this wait, so the stay stays short for them.
            received = use->popInputReport(timeout);
        }
        if (!received) {
            promise->set_value({false, -1, report, 0, 0});
            return;
        }
        // A caller's buffer shorter than the report receives what fits.
        const size_t copied = std::min(received->size(), report->size());
        std::copy_n(received->begin(), copied, report->begin());
        const bool ok = !received->empty();
        promise->set_value({ok, ok ? static_cast<int32_t>(copied) : -1, report, 0, 0});
    });
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
