#include "quenor/mac/machiddeviceprivate.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "quenor/mac/deadline.h"
#include "quenor/mac/deviceproperties.h"
#include "quenor/mac/threadname.h"

using quenor::mac::ScopedCFRef;
using quenor::mac::SharedUsbInterface;

namespace {

// Reports beyond this many unread ones push out the oldest.
constexpr size_t kMaxQueuedReports = 30;
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
        // The platform takes a non-null buffer even for reports of no bytes.
        inputBufferSize = inputSize;
        inputBuffer = std::make_shared<std::vector<uint8_t>>(
            std::max<size_t>(static_cast<size_t>(inputSize), 1));
        runLoopMode = makeRunLoopMode(device.get());
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

    while (!stopped && !removed) {
        const auto result = CFRunLoopRunInMode(runLoopMode.get(), kRunLoopSliceSeconds, false);
        if (result == kCFRunLoopRunFinished) {
            removed = true;  // nothing left to run in our mode: the device is gone
        } else if (result != kCFRunLoopRunTimedOut && result != kCFRunLoopRunHandledSource) {
            stopped = true;
        }
    }

    // The loop no longer runs, so no callback is being dispatched: this thread may
    // change them now. A removed device has gone with its callbacks and schedule.
    if (!removed) {
        unregisterCallbacks();
        IOHIDDeviceUnscheduleFromRunLoop(device.get(), current, runLoopMode.get());
    }

    { std::lock_guard<std::mutex> lock(queueMutex); }
    queueCondition.notify_all();

    stopBarrier.pass();

    std::unique_lock<std::mutex> lock(queueMutex);
    inputReports.clear();
    queueCondition.wait_for(lock, kWorkerFinalWait);
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
    // Allocated before the lock: a failure leaves the queue as it was.
    auto copy = std::make_shared<std::vector<uint8_t>>(report, report + length);
    bool overflowed = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        const auto& accepted = enabledReportIds;
        if (!accepted.empty() &&
            std::find(accepted.begin(), accepted.end(), reportID) == accepted.end()) {
            return;
        }
        inputReports.push_back(std::move(copy));
        if (inputReports.size() > kMaxQueuedReports) {
            inputReports.pop_front();
            overflowed = true;
        }
    }
    if (overflowed) {
        droppedReports.fetch_add(1, std::memory_order_relaxed);
    }
    queueCondition.notify_one();
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

ReportBuffer MacHidDevice::MacHidDevicePrivate::popInputReport(long timeoutMs) {
    std::unique_lock<std::mutex> lock(queueMutex);
    auto takeOldest = [this] {
        ReportBuffer report = std::move(inputReports.front());
        inputReports.pop_front();
        return report;
    };
    if (!inputReports.empty()) {
        return takeOldest();
    }
    if (removed || stopped) {
        return nullptr;
    }

    ReportBuffer result;
    if (timeoutMs == -1) {
        while (!stopped) {
            queueCondition.wait(lock);
            if (!inputReports.empty()) {
                result = takeOldest();
                break;
            }
            if (removed) {
                break;
            }
        }
    } else {
        const auto deadline = quenor::mac::deadlineAfter(timeoutMs);
        while (true) {
            if (!inputReports.empty()) {
                result = takeOldest();
                break;
            }
            if (removed || stopped) {
                break;
            }
            if (queueCondition.wait_until(lock, deadline) == std::cv_status::timeout) {
                if (!inputReports.empty()) {
                    result = takeOldest();
                }
                break;
            }
        }
    }
    lock.unlock();
    // A reader that leaves may have consumed a wake-up meant for the run loop's end
    // or for another reader; pass it on.
    queueCondition.notify_all();
    return result;
}

void MacHidDevice::MacHidDevicePrivate::beginStopping() {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        stopped = true;
    }
    queueCondition.notify_all();
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
