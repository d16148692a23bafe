#include "quenor/mac/machiddeviceprivate.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "quenor/mac/deadline.h"
#include "quenor/mac/deviceproperties.h"
#include "quenor/mac/iostatus.h"
#include "quenor/mac/threadname.h"

using quenor::mac::ScopedCFRef;
using quenor::mac::SharedUsbInterface;
using hidutil::internal::fulfil;
using Result = AbstractHidDevice::AsyncOpResult;

namespace {

// Reports beyond this many unread ones push out the oldest.
constexpr size_t kMaxQueuedReports = 30;
constexpr CFIndex kMaxInputBufferBytes = 0xFFFF;
constexpr CFTimeInterval kRunLoopSliceSeconds = 1000.0;
constexpr auto kWorkerFinalWait = std::chrono::milliseconds(100);

// A run-loop mode of our own, so that nothing else scheduled on the worker's run
// loop runs there, and no other client's sources run on the worker.
ScopedCFRef<CFStringRef> makeRunLoopMode(IOHIDDeviceRef device) {
    const void* address = device;
    const int length = std::snprintf(nullptr, 0, "QUENOR_%p", address);
    std::vector<char> name(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(name.data(), name.size(), "QUENOR_%p", address);
    auto mode = ScopedCFRef<CFStringRef>::adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, name.data(), kCFStringEncodingASCII));
    if (!mode) {
        throw std::bad_alloc();
    }
    return mode;
}

}  // namespace

MacHidDevice::MacHidDevicePrivate::MacHidDevicePrivate(ScopedCFRef<IOHIDDeviceRef> device_,
                                                       unsigned int openOptions_,
                                                       SharedUsbInterface usbInterface_,
                                                       std::atomic<uint64_t>& droppedReports_)
    : device(std::move(device_)),
      openOptions(openOptions_),
      usbInterface(std::move(usbInterface_)),
      droppedReports(droppedReports_) {
    try {
        const int32_t inputSize =
            quenor::mac::numberProperty(device.get(), CFSTR("MaxInputReportSize"));
        if (inputSize < 0) {
            throw std::length_error("negative MaxInputReportSize");
        }
        // A device that claims more than 64 KiB (no HID report is that long; the
        // cached size keeps 16 bits) gets a 64 KiB buffer rather than a buffer of
        // up to 2 GiB per open; longer reports are truncated to it, as the platform
        // truncates to any buffer. The platform takes a non-null buffer even for
        // reports of no bytes.
        inputBufferSize = std::min<CFIndex>(inputSize, kMaxInputBufferBytes);
        inputBuffer = std::make_shared<std::vector<uint8_t>>(
            std::max<size_t>(static_cast<size_t>(inputBufferSize), 1));
        runLoopMode = makeRunLoopMode(device.get());
        deviceShare = std::make_shared<const ScopedCFRef<IOHIDDeviceRef>>(
            ScopedCFRef<IOHIDDeviceRef>::retain(device.get()));
        // Not scheduled yet, so registering here races with no dispatch.
        registerCallbacks();
        try {
            worker = std::thread([this] { operate(); });
        } catch (...) {
            unregisterCallbacks();
            throw;
        }
        startBarrier.pass();
        if (!signalSource) {
            // The worker found no memory for its stop source and ended without
            // scheduling the device, so this thread may unregister.
            worker.join();
            unregisterCallbacks();
            throw std::bad_alloc();
        }
    } catch (...) {
        // The device came to us open; it leaves closed. The members release the rest.
        IOHIDDeviceClose(device.get(), openOptions);
        throw;
    }
}

MacHidDevice::MacHidDevicePrivate::~MacHidDevicePrivate() {
    assert(!onWorkerThread());
    stopped = true;
    CFRunLoopSourceSignal(signalSource.get());
    CFRunLoopWakeUp(runLoop.get());
    stopBarrier.pass();
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        closeArrived = true;
    }
    queueCondition.notify_all();
    // Past the barrier the worker has left its run loop and no callback runs, so
    // `removed` is final: a removed device has gone with its open state.
    CFRunLoopRemoveSource(runLoop.get(), signalSource.get(), runLoopMode.get());
    worker.join();
    if (!removed) {
        IOHIDDeviceClose(device.get(), openOptions);
    }
    device.reset();
    runLoopMode.reset();
    signalSource.reset();
    runLoop.reset();
    // The interface share goes with the members; an operation still holding one
    // gives the last reference back when it ends.
}

void MacHidDevice::MacHidDevicePrivate::registerCallbacks() {
    IOHIDDeviceRegisterInputReportCallback(device.get(), inputBuffer->data(), inputBufferSize,
                                           &inputReportCallback, this);
    IOHIDDeviceRegisterRemovalCallback(device.get(), &deviceRemovalCallback, this);
}

void MacHidDevice::MacHidDevicePrivate::unregisterCallbacks() {
    IOHIDDeviceRegisterInputReportCallback(device.get(), inputBuffer->data(), inputBufferSize,
                                           nullptr, this);
    IOHIDDeviceRegisterRemovalCallback(device.get(), nullptr, this);
}

void MacHidDevice::MacHidDevicePrivate::operate() {
    workerId = std::this_thread::get_id();
    quenor::mac::nameCurrentThread("quenor-hid-rl");

    CFRunLoopRef current = CFRunLoopGetCurrent();
    CFRunLoopSourceContext context = {};
    context.version = 0;
    context.info = this;
    context.perform = &performSignalCallback;
    signalSource = ScopedCFRef<CFRunLoopSourceRef>::adopt(
        CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context));
    if (!signalSource) {
        // Without its stop source the loop could never be left: the constructor
        // sees the null source after the barrier and undoes the opening.
        startBarrier.pass();
        return;
    }
    IOHIDDeviceScheduleWithRunLoop(device.get(), current, runLoopMode.get());
    CFRunLoopAddSource(current, signalSource.get(), runLoopMode.get());
    runLoop = ScopedCFRef<CFRunLoopRef>::retain(current);
    startBarrier.pass();

    // Each turn answers the reads whose time-out passed, then runs the loop until the
    // oldest read's deadline. A nearer deadline that appears meanwhile stops the loop
    // through the signal source (settleReads), as the shutdown does.
    while (!stopped && !removed) {
        const auto result = CFRunLoopRunInMode(runLoopMode.get(), serveDeadlines(), false);
        if (result == kCFRunLoopRunFinished) {
            removed = true;  // nothing left to run in our mode: the device is gone
        } else if (result != kCFRunLoopRunTimedOut && result != kCFRunLoopRunStopped &&
                   result != kCFRunLoopRunHandledSource) {
            stopped = true;
        }
    }

    // The loop no longer runs, so no callback is being dispatched: this thread may
    // change them now. A removed device has gone with its callbacks and schedule.
    if (!removed) {
        unregisterCallbacks();
        IOHIDDeviceUnscheduleFromRunLoop(device.get(), current, runLoopMode.get());
    }

    // Reads still pending learn that the device is gone (a close answered them already).
    answerAllReads(false);

    stopBarrier.pass();

    std::unique_lock<std::mutex> lock(queueMutex);
    inputReports.clear();
    // The closing thread ends this wait as soon as it is past the barrier.
    queueCondition.wait_for(lock, kWorkerFinalWait, [this] { return closeArrived; });
}

// Called by the platform from its C frames: nothing may propagate out of it. A
// report that cannot be stored (no memory) is dropped and counted.
void MacHidDevice::MacHidDevicePrivate::inputReportCallback(void* context, IOReturn result,
                                                            void* /*sender*/,
                                                            IOHIDReportType /*type*/,
                                                            uint32_t reportID, uint8_t* report,
                                                            CFIndex reportLength) {
    auto* self = static_cast<MacHidDevicePrivate*>(context);
    if (!self || result != kIOReturnSuccess) {
        return;
    }
    assert(self->onWorkerThread());
    const size_t length = report && reportLength > 0 ? static_cast<size_t>(reportLength) : 0;
    try {
        self->queueReport(reportID, report, length);
    } catch (...) {
        self->droppedReports.fetch_add(1, std::memory_order_relaxed);
    }
}

void MacHidDevice::MacHidDevicePrivate::queueReport(uint32_t reportID, const uint8_t* report,
                                                    size_t length) {
    PendingRead direct;  // empty unless the oldest read takes this report
    bool readsPending = false;
    bool overflowed = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        const auto& accepted = enabledReportIds;
        if (!accepted.empty() &&
            std::find(accepted.begin(), accepted.end(), reportID) == accepted.end()) {
            return;
        }
        if (inputReports.empty() && !pendingReads.empty() && pendingReads.front().started) {
            // The oldest read is waiting: it takes the report straight from the
            // platform's buffer, with no copy queued and no other thread woken.
            direct = pendingReads.take_front();
        } else {
            // The copy is made under the lock, so that a failure leaves the queue as it was.
            inputReports.push_back(std::make_shared<std::vector<uint8_t>>(report, report + length));
            if (inputReports.size() > kMaxQueuedReports) {
                inputReports.pop_front();
                overflowed = true;
            }
        }
        readsPending = !pendingReads.empty();
    }
    if (overflowed) {
        droppedReports.fetch_add(1, std::memory_order_relaxed);
    }
    if (direct.state) {
        deliver(direct, report, length);
    }
    if (readsPending) {
        settleReads();  // the next read's time-out starts now, or a queued report answers it
    }
}

void MacHidDevice::MacHidDevicePrivate::deviceRemovalCallback(void* context, IOReturn /*result*/,
                                                              void* /*sender*/) {
    auto* self = static_cast<MacHidDevicePrivate*>(context);
    if (!self) {
        return;
    }
    assert(self->onWorkerThread());
    // The worker notices when its run loop next returns; readers then learn of it.
    self->removed = true;
}

void MacHidDevice::MacHidDevicePrivate::performSignalCallback(void* context) {
    auto* self = static_cast<MacHidDevicePrivate*>(context);
    if (!self) {
        return;
    }
    assert(self->onWorkerThread());
    CFRunLoopStop(self->runLoop.get());
}

hidutil::async_request<Result> MacHidDevice::MacHidDevicePrivate::read(
    const ReportBuffer& buffer, long timeoutMs) {
    auto state = std::allocate_shared<hidutil::internal::request_state_data<Result>>(
        hidutil::internal::HandoffAllocator<char>());
    auto request = hidutil::internal::request_of(state);
    if (timeoutMs == -1 || timeoutMs > 0) {
        // The common case first: with no read ahead of it and no report queued, the read starts
        // and waits in its slot, and the only other step may be waking the worker for its
        // deadline.
        bool queued = false;
        bool wakeWorker = false;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (pendingReads.empty() && inputReports.empty() && !removed && !stopped) {
                PendingRead& read = pendingReads.emplace_back();
                read.buffer = buffer;
                read.state = std::move(state);
                read.timeoutMs = timeoutMs;
                startLocked(read);
                wakeWorker = nearerDeadlineLocked(read);
                queued = true;
            }
        }
        if (queued) {
            if (wakeWorker) {
                wakeForDeadline();
            }
            return request;
        }
    }
    PendingRead pending{buffer, std::move(state), timeoutMs, false, {}};
    settleReads(&pending);  // one round on queueMutex queues the read and may answer it
    return request;
}

void MacHidDevice::MacHidDevicePrivate::startLocked(PendingRead& read) {
    read.started = true;
    if (read.timeoutMs != -1) {
        read.deadline = quenor::mac::deadlineAfter(read.timeoutMs);
    }
}

bool MacHidDevice::MacHidDevicePrivate::nearerDeadlineLocked(const PendingRead& oldest) const {
    return oldest.started && oldest.timeoutMs != -1 && oldest.deadline < watcherWakesAt;
}

void MacHidDevice::MacHidDevicePrivate::wakeForDeadline() {
    // The worker stops its run loop and serves the new deadline; a signal that comes while the
    // loop is not running is kept by the source.
    CFRunLoopSourceSignal(signalSource.get());
    CFRunLoopWakeUp(runLoop.get());
}

bool MacHidDevice::MacHidDevicePrivate::takeAnswerLocked(Answer& answer) {
    if (pendingReads.empty()) {
        return false;
    }
    PendingRead& oldest = pendingReads.front();
    if (!oldest.started) {
        if (removed || stopped) {
            answer.kind = Answer::NotOpen;
        } else {
            startLocked(oldest);
        }
    }
    if (oldest.started) {
        if (!inputReports.empty()) {
            answer.kind = Answer::Report;
            answer.report = inputReports.take_front();
        } else if (oldest.timeoutMs != -1 && std::chrono::steady_clock::now() >= oldest.deadline) {
            answer.kind = Answer::NoReport;
        } else {
            return false;  // it waits
        }
    }
    answer.read = pendingReads.take_front();
    return true;
}

void MacHidDevice::MacHidDevicePrivate::settleReads(PendingRead* arriving) {
    for (;;) {
        Answer next;
        bool wakeWatcher = false;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (arriving) {
                pendingReads.push_back(std::move(*arriving));
                arriving = nullptr;
            }
            if (!takeAnswerLocked(next)) {
                wakeWatcher = !pendingReads.empty() && nearerDeadlineLocked(pendingReads.front());
                if (!wakeWatcher) {
                    return;
                }
            }
        }
        if (wakeWatcher) {
            wakeForDeadline();
            return;
        }
        const uint8_t* bytes = next.report ? next.report->data() : nullptr;
        answer(next, bytes, next.report ? next.report->size() : 0);
    }
}

CFTimeInterval MacHidDevice::MacHidDevicePrivate::serveDeadlines() {
    std::unique_lock<std::mutex> lock(queueMutex);
    for (;;) {
        Answer next;
        if (takeAnswerLocked(next)) {
            lock.unlock();
            answer(next, next.report ? next.report->data() : nullptr,
                   next.report ? next.report->size() : 0);
            lock.lock();
            continue;
        }
        const PendingRead* oldest = pendingReads.empty() ? nullptr : &pendingReads.front();
        if (!oldest || !oldest->started || oldest->timeoutMs == -1) {
            watcherWakesAt = std::chrono::steady_clock::time_point::max();
            return kRunLoopSliceSeconds;
        }
        watcherWakesAt = oldest->deadline;
        const std::chrono::duration<double> left =
            oldest->deadline - std::chrono::steady_clock::now();
        return std::min(std::max(left.count(), 0.0), kRunLoopSliceSeconds);
    }
}

void MacHidDevice::MacHidDevicePrivate::deliver(PendingRead& read, const uint8_t* bytes,
                                                size_t length) {
    // A caller's buffer shorter than the report receives what fits.
    const size_t copied = std::min(length, read.buffer->size());
    std::copy_n(bytes, copied, read.buffer->begin());
    const bool ok = length > 0;
    fulfil(*read.state,
           Result{ok, ok ? static_cast<int32_t>(copied) : -1, std::move(read.buffer), 0, 0});
}

void MacHidDevice::MacHidDevicePrivate::answer(Answer& answer, const uint8_t* bytes,
                                               size_t length) {
    PendingRead& read = answer.read;
    // The read goes with its answer: its buffer moves into the record.
    switch (answer.kind) {
        case Answer::Report:
            deliver(read, bytes, length);
            break;
        case Answer::NoReport:
            fulfil(*read.state, Result{false, -1, std::move(read.buffer), 0, 0});
            break;
        case Answer::NotOpen:
            fulfil(*read.state, Result{false, 0, nullptr, 0, 0});
            break;
        case Answer::Aborted:
            fulfil(*read.state, Result{false, 0, std::move(read.buffer), 0,
                                       quenor::mac::widenStatus(kIOReturnAborted)});
            break;
    }
}

// Takes the reads out one at a time rather than swapping the list: an empty
// deque allocates, and this runs where nothing may throw (the worker, close).
void MacHidDevice::MacHidDevicePrivate::answerAllReads(bool aborted) {
    for (;;) {
        Answer last;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (pendingReads.empty()) {
                return;
            }
            last.read = pendingReads.take_front();
        }
        if (aborted) {
            last.kind = Answer::Aborted;
        } else {
            last.kind = last.read.started ? Answer::NoReport : Answer::NotOpen;
        }
        answer(last, nullptr, 0);
    }
}

void MacHidDevice::MacHidDevicePrivate::beginStopping(bool aborted) {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        stopped = true;
    }
    answerAllReads(aborted);
}

void MacHidDevice::MacHidDevicePrivate::clearEnabledReportIds() {
    std::lock_guard<std::mutex> lock(queueMutex);
    enabledReportIds.clear();
}

void MacHidDevice::MacHidDevicePrivate::collectEnabledReportIds(int usage, int usagePage) {
    clearEnabledReportIds();
    if (isDisconnected() || usage < 0 || usagePage < 0) {
        return;
    }
    auto matching = ScopedCFRef<CFMutableDictionaryRef>::adopt(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    if (!matching) {
        return;
    }
    {
        auto page = ScopedCFRef<CFNumberRef>::adopt(
            CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &usagePage));
        if (!page) {
            return;
        }
        CFDictionarySetValue(matching.get(), CFSTR("UsagePage"), page.get());
    }
    auto elements = ScopedCFRef<CFArrayRef>::adopt(
        IOHIDDeviceCopyMatchingElements(device.get(), matching.get(), kIOHIDOptionsTypeNone));
    matching.reset();
    if (!elements) {
        return;
    }
    std::vector<uint32_t> ids;
    try {
        const CFIndex count = CFArrayGetCount(elements.get());
        for (CFIndex i = 0; i < count; ++i) {
            auto element = static_cast<IOHIDElementRef>(
                const_cast<void*>(CFArrayGetValueAtIndex(elements.get(), i)));
            const uint32_t id = IOHIDElementGetReportID(element);
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
                ids.push_back(id);
            }
        }
    } catch (const std::bad_alloc&) {
        return;  // like every other failure here: the list stays empty
    }
    std::lock_guard<std::mutex> lock(queueMutex);
    enabledReportIds = std::move(ids);
}
