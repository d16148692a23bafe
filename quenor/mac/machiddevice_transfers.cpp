// Report transfers of MacHidDevice: output and feature reports are sent from a
// timed sender thread, feature reports read on the request queue's thread, input
// reports taken from the worker's queue on the input queue's thread.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "quenor/mac/deadline.h"
#include "quenor/mac/iostatus.h"
#include "quenor/mac/machiddevice.h"
#include "quenor/mac/machiddeviceprivate.h"

using quenor::mac::ScopedCFRef;
using quenor::mac::ScopedCOMInterface;
using quenor::mac::widenStatus;
using Result = AbstractHidDevice::AsyncOpResult;
using SharedPromise = std::shared_ptr<hidutil::promise<Result>>;

namespace {

// Queues `work` with a freshly made promise; returns the promise's request.
template <typename Work>
hidutil::async_request<Result> queueTransfer(hidutil::OperationsQueue& queue, Work&& work) {
    auto promise = std::make_shared<hidutil::promise<Result>>();
    auto request = promise->get_request();
    queue.pushNewOperation(new hidutil::DeviceOperation<SharedPromise>(
        std::move(promise), std::function<void(SharedPromise&)>(std::forward<Work>(work))));
    return request;
}

// Shared by the queue thread and the sender thread of one set transfer; lives on
// the queue thread's stack, which joins the sender before leaving.
struct CompletionBlock {
    std::mutex mutex;
    std::condition_variable condition;
    bool started = false;  // guarded by mutex
    bool done = false;     // guarded by mutex
};

void setFlag(CompletionBlock& block, bool CompletionBlock::*flag) {
    std::lock_guard<std::mutex> lock(block.mutex);
    block.*flag = true;
    block.condition.notify_one();
}

struct SetTransfer {
    ScopedCFRef<IOHIDDeviceRef> device;  // our own reference, held until the operation ends
    IOHIDReportType type;
    unsigned char reportId;
    ReportBuffer buffer;
    long timeout;
};

// What a sender thread holds: its own copies and references, and the block.
struct Sender {
    IOHIDDeviceRef device;  // kept alive by the operation, which outlives the sender
    IOHIDReportType type;
    unsigned char reportId;
    ReportBuffer buffer;
    SharedPromise promise;
    CompletionBlock* block;
};

// Runs from the thread's cleanup stack when the queue thread's cancellation
// request ends the sender inside the platform call: the request is still
// fulfilled and the queue thread's wait ends. A cleanup handler rather than a
// destructor, because not every platform unwinds C++ frames on cancellation; for
// the same reason it drops the sender's references itself.
void finishCancelledSend(void* context) {
    Sender& sender = *static_cast<Sender*>(context);
    sender.promise->set_value(
        {false, -1, sender.buffer, sender.reportId, widenStatus(kIOReturnTimeout)});
    sender.promise.reset();
    sender.buffer.reset();
    setFlag(*sender.block, &CompletionBlock::done);
}

// The sender thread: makes the blocking platform call and fulfils the request.
void sendReport(Sender sender) {
    setFlag(*sender.block, &CompletionBlock::started);
    IOReturn result;
    pthread_cleanup_push(&finishCancelledSend, &sender);
    result =
        IOHIDDeviceSetReport(sender.device, sender.type, sender.reportId, sender.buffer->data(),
                             static_cast<CFIndex>(sender.buffer->size()));
    pthread_cleanup_pop(0);
    // Past the call the thread must run to its end.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    const bool ok = result == kIOReturnSuccess;
    sender.promise->set_value({ok, ok ? static_cast<int32_t>(sender.buffer->size()) : -1,
                               sender.buffer, sender.reportId, 0});
    setFlag(*sender.block, &CompletionBlock::done);
}

// The set transfer on the request queue's thread. The platform call cannot be
// interrupted, so it runs on a thread of its own that this one can time: when
// the time-out passes, the sender gets a cancellation request and is waited for.
void runSetTransfer(const MacHidDevice& owner, const SetTransfer& transfer,
                    SharedPromise& promise) {
    // Queued before a close or a reopen: the device it resolved is no longer ours.
    if (owner.handle() != transfer.device.get()) {
        promise->set_value(
            {false, 0, transfer.buffer, transfer.reportId, widenStatus(kIOReturnNotOpen)});
        return;
    }
    CompletionBlock block;
    std::unique_lock<std::mutex> lock(block.mutex);
    std::thread sender;
    try {
        sender =
            std::thread(sendReport, Sender{transfer.device.get(), transfer.type, transfer.reportId,
                                           transfer.buffer, promise, &block});
    } catch (...) {  // no thread (std::system_error) or no memory for it
        promise->set_value(
            {false, -1, transfer.buffer, transfer.reportId, widenStatus(kIOReturnNoResources)});
        return;
    }
    block.condition.wait(lock, [&] { return block.started; });
    if (transfer.timeout == -1) {
        block.condition.wait(lock, [&] { return block.done; });
    } else {
        const auto deadline = quenor::mac::deadlineAfter(transfer.timeout);
        while (!block.done) {
            if (block.condition.wait_until(lock, deadline) == std::cv_status::timeout) {
                break;
            }
        }
    }
    if (!block.done) {
        pthread_cancel(sender.native_handle());
        block.condition.wait(lock, [&] { return block.done; });
    }
    lock.unlock();
    sender.join();
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
    return queueTransfer(queue, [self, transfer](SharedPromise& promise) {
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
    return queueSetTransfer(requestQueue, *this, std::move(device),
                            static_cast<IOHIDReportType>(type), reportId, report, timeout);
}

hidutil::async_request<Result> MacHidDevice::getFeature(unsigned char reportId,
                                                        const ReportBuffer& report) {
    if (!report) {
        return hidutil::make_ready_request<Result>(badArgument(reportId));
    }
    return queueTransfer(requestQueue, [this, reportId, report](SharedPromise& promise) {
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
        promise->set_value({ok, ok ? static_cast<int32_t>(report->size()) : -1, report, reportId,
                            widenStatus(result)});
    });
}

hidutil::async_request<Result> MacHidDevice::getReport(const ReportBuffer& report, long timeout) {
    if (!report) {
        return hidutil::make_ready_request<Result>(badArgument(0));
    }
    return queueTransfer(inputQueue, [this, report, timeout](SharedPromise& promise) {
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
    auto usbInterface = retainInterface();
    if (!usbInterface) {
        return;
    }
    IOUSBInterfaceStruct190** intf = usbInterface.get();
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
