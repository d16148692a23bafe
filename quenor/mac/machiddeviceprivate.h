// MacHidDevice::MacHidDevicePrivate: the open state of one MacHidDevice.
//
// Ownership: holds the one reference to the opened platform device and a share of
// the USB interface of its parent, plus the run-loop mode name and the stop source
// it creates. The destructor runs the full shutdown and releases all of them.
//
// Threads
// - Opening thread: the constructor, which registers the callbacks before the
//   device is scheduled and returns once the worker's run loop is ready (start
//   barrier). Closing thread: beginStopping() and the destructor; never the worker.
// - Worker thread: operate() and every platform callback (input report, removal,
//   stop signal). It schedules the device and, once its run loop has ended,
//   unregisters the callbacks and unschedules the device: the platform keeps
//   callbacks in unlocked sets that only the scheduled loop's thread may change.
//   It is named and, in debug builds, the callbacks assert it.
// - Readers (normally the device's inputQueue thread): popInputReport().
// - Any thread: the usable-state queries, which read only the atomic flags.
//
// Locks: queueMutex guards inputReports and enabledReportIds and is never held
// across a platform call. `users` is guarded by the owning device's privMutex.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "quenor/mac/machiddevice.h"
#include "quenor/mac/platform.h"
#include "quenor/mac/threadbarrier.h"

class MacHidDevice::MacHidDevicePrivate {
public:
    // Takes over the opened device and the interface object. If construction throws
    // (negative "MaxInputReportSize": std::length_error; no memory, including a
    // platform object that could not be created: std::bad_alloc; no thread:
    // std::system_error), both callbacks are unregistered, the device is closed with
    // `openOptions` and both are released before the exception leaves.
    // `droppedReports` (owned by the device, which outlives this object) counts the
    // input reports lost to a full queue or to a failed allocation.
    MacHidDevicePrivate(quenor::mac::ScopedCFRef<IOHIDDeviceRef> device, unsigned int openOptions,
                        quenor::mac::SharedUsbInterface usbInterface,
                        std::atomic<uint64_t>& droppedReports);
    ~MacHidDevicePrivate();
    MacHidDevicePrivate(const MacHidDevicePrivate&) = delete;
    MacHidDevicePrivate& operator=(const MacHidDevicePrivate&) = delete;

    // The oldest queued report, or null on time-out, removal or stop. -1 waits
    // without limit; 0 and other negative values do not wait for new reports.
    ReportBuffer popInputReport(long timeoutMs);

    bool isDisconnected() const { return !device || removed || stopped; }
    IOHIDDeviceRef handle() const { return isDisconnected() ? nullptr : device.get(); }
    // A share of the USB interface for an operation to hold across its calls.
    quenor::mac::SharedUsbInterface interface() const {
        return isDisconnected() ? nullptr : usbInterface;
    }

    // Rebuilds enabledReportIds from the report IDs of the device's elements on
    // usagePage. Any failure (no memory included) leaves the list empty, which
    // accepts every report. Throws nothing.
    void collectEnabledReportIds(int usage, int usagePage);
    void clearEnabledReportIds();

    // Marks the object stopped and wakes every reader waiting in popInputReport, so
    // that none stays inside the object. Used by close and destruction before the
    // object is destroyed; the destructor still runs the whole shutdown afterwards.
    void beginStopping();

    // Operations currently inside this object; guarded by the owning device's privMutex.
    int users = 0;

private:
    static void inputReportCallback(void* context, IOReturn result, void* sender,
                                    IOHIDReportType type, uint32_t reportID, uint8_t* report,
                                    CFIndex reportLength);
    static void deviceRemovalCallback(void* context, IOReturn result, void* sender);
    static void performSignalCallback(void* context);
    void operate();
    void registerCallbacks();
    void unregisterCallbacks();  // worker thread, or before the device is scheduled
    void queueReport(uint32_t reportID, const uint8_t* report, size_t length);
    bool onWorkerThread() const { return std::this_thread::get_id() == workerId; }

    quenor::mac::ScopedCFRef<IOHIDDeviceRef> device;
    const IOOptionBits openOptions;
    const quenor::mac::SharedUsbInterface usbInterface;
    std::atomic<uint64_t>& droppedReports;
    quenor::mac::ScopedCFRef<CFStringRef> runLoopMode;
    // The worker's loop, written before the start barrier. Our own reference: the
    // shutdown still removes the stop source after the worker may have ended.
    quenor::mac::ScopedCFRef<CFRunLoopRef> runLoop;
    quenor::mac::ScopedCFRef<CFRunLoopSourceRef> signalSource;  // written before the start barrier
    std::atomic<bool> removed{false};
    std::atomic<bool> stopped{false};
    std::vector<uint32_t> enabledReportIds;  // guarded by queueMutex; empty accepts all
    // Written by the platform on the worker thread. Never empty, so that the
    // platform always gets a real buffer; it registers inputBufferSize bytes of it.
    ReportBuffer inputBuffer;
    CFIndex inputBufferSize = 0;
    std::deque<ReportBuffer> inputReports;  // guarded by queueMutex; oldest first, at most 30
    std::thread worker;
    std::thread::id workerId;  // written by the worker before the start barrier
    std::mutex queueMutex;
    std::condition_variable queueCondition;
    quenor::mac::ThreadBarrier startBarrier;
    quenor::mac::ThreadBarrier stopBarrier;
};

// A counted stay of one operation inside the device's current private object.
// Entered only while that object is usable; while any stay lasts, close() waits
// before destroying the object. A stay is held only for a few non-blocking steps
// (taking references) or while waiting in popInputReport, which close() wakes:
// never across a blocking platform call.
class MacHidDevice::PlatformUse {
public:
    explicit PlatformUse(const MacHidDevice& device) : m_device(device) {
        std::lock_guard<std::mutex> lock(device.privMutex);
        if (device.priv && !device.priv->isDisconnected()) {
            m_priv = device.priv.get();
            ++m_priv->users;
        }
    }
    ~PlatformUse() {
        if (!m_priv) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_device.privMutex);
            --m_priv->users;
        }
        m_device.privIdle.notify_all();
    }
    PlatformUse(const PlatformUse&) = delete;
    PlatformUse& operator=(const PlatformUse&) = delete;

    explicit operator bool() const { return m_priv != nullptr; }
    MacHidDevicePrivate* operator->() const { return m_priv; }

private:
    const MacHidDevice& m_device;
    MacHidDevicePrivate* m_priv = nullptr;
};
