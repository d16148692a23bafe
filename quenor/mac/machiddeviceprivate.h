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
//   stop signal); between them it answers the oldest pending read when its
//   time-out passes (its run loop runs until that deadline). It schedules the device and, once its
//   run loop has ended, unregisters the callbacks and unschedules the device: the platform keeps
//   callbacks in unlocked sets that only the scheduled loop's thread may change.
//   It is named and, in debug builds, the callbacks assert it.
// - Application threads: read(), which answers at once when it can and otherwise
//   leaves the read pending. A report that arrives while reads are pending is
//   copied by the worker straight into the oldest one's buffer: no other thread
//   takes part.
// - Any thread: the usable-state queries, which read only the atomic flags.
//
// Reads are answered one at a time, oldest first. A read's time-out runs from
// when it becomes the oldest pending read (as if reads ran one after another),
// and a read that becomes the oldest on a removed or stopped device finds it not
// open. Requests are fulfilled outside every lock.
//
// Locks: queueMutex guards inputReports, pendingReads, enabledReportIds and the
// wake-up bookkeeping, and is never held across a platform call or while a
// request is fulfilled.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "quenor/handoffmemory.h"
#include "quenor/mac/machiddevice.h"
#include "quenor/mac/platform.h"
#include "quenor/mac/threadbarrier.h"
#include "quenor/ringqueue.h"

class QUENOR_DEVICE_INTERNAL MacHidDevice::MacHidDevicePrivate {
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

    // An input read into `buffer` (the caller's; written when a report comes).
    // -1 waits without limit; 0 and other negative values do not wait for new
    // reports. Ready at once when a report is queued and no read is pending.
    hidutil::async_request<AbstractHidDevice::AsyncOpResult> read(const ReportBuffer& buffer,
                                                                  long timeoutMs);

    bool isDisconnected() const { return !device || removed || stopped; }
    bool isStopping() const { return stopped; }
    IOHIDDeviceRef handle() const { return isDisconnected() ? nullptr : device.get(); }
    // The opened device object, removed or not: opening reads the properties from it
    // even when the device went away while it was being opened, so that every open
    // that answers true leaves them cached. Opening thread only, before service.
    IOHIDDeviceRef openedDevice() const { return device.get(); }
    // Shares of the device and of the USB interface for an operation to hold
    // across its calls; empty once disconnected. Copied under the owning device's
    // privMutex.
    quenor::mac::SharedDevice share() const { return isDisconnected() ? nullptr : deviceShare; }
    quenor::mac::SharedUsbInterface interface() const {
        return isDisconnected() ? nullptr : usbInterface;
    }

    // Rebuilds enabledReportIds from the report IDs of the device's elements on
    // usagePage. Any failure (no memory included) leaves the list empty, which
    // accepts every report. Throws nothing.
    void collectEnabledReportIds(int usage, int usagePage);
    void clearEnabledReportIds();

    // Marks the object stopped and answers its pending reads: the oldest, whose
    // time-out was running, with "no report"; the others with "not open" (they
    // would have found the device closed); or, when `aborted` (the device object
    // is being destroyed), every one with { false, 0, buffer, 0, kIOReturnAborted }.
    // Used by close and destruction; the destructor still runs the whole shutdown
    // afterwards.
    void beginStopping(bool aborted = false);

private:
    static void inputReportCallback(void* context, IOReturn result, void* sender,
                                    IOHIDReportType type, uint32_t reportID, uint8_t* report,
                                    CFIndex reportLength);
    static void deviceRemovalCallback(void* context, IOReturn result, void* sender);
    static void performSignalCallback(void* context);
    void operate();
    // Worker thread: answers the pending reads that can be answered now (time-outs
    // passed) and returns how long the run loop may run before the next deadline.
    CFTimeInterval serveDeadlines();
    void registerCallbacks();
    void unregisterCallbacks();  // worker thread, or before the device is scheduled
    void queueReport(uint32_t reportID, const uint8_t* report, size_t length);

    // A read waiting for a report. Only the oldest one's time-out runs.
    struct PendingRead {
        ReportBuffer buffer;
        // The request's state, fulfilled once when the read is answered; null in an empty
        // read. Often let go last by the worker that answered it (handoffmemory.h).
        std::shared_ptr<hidutil::internal::request_state_data<AbstractHidDevice::AsyncOpResult>>
            state;
        long timeoutMs = 0;
        bool started = false;                            // the oldest: its time-out runs
        std::chrono::steady_clock::time_point deadline;  // once started, unless timeoutMs is -1
    };
    // A read taken out of pendingReads to be answered outside the lock.
    struct Answer {
        enum Kind { Report, NoReport, NotOpen, Aborted } kind = NoReport;
        PendingRead read;
        ReportBuffer report;  // for Report
    };
    // Takes the oldest pending read if it can be answered now (starting it if it
    // just became the oldest). Caller holds queueMutex.
    bool takeAnswerLocked(Answer& answer);
    // Starts the time-out of `read`, which has just become the oldest. Caller holds queueMutex.
    static void startLocked(PendingRead& read);
    // Whether the started `oldest` has a deadline nearer than the one the worker's run loop
    // runs to, so that the worker must be woken to serve it. Caller holds queueMutex.
    bool nearerDeadlineLocked(const PendingRead& oldest) const;
    void wakeForDeadline();  // no lock held
    // Answers every read that can be answered now, one at a time, each outside the
    // lock; then stops the worker's run loop if a nearer deadline appeared. `arriving`, when
    // given, is queued as the newest read first, under the same lock; only that
    // may throw (std::bad_alloc, with nothing queued).
    void settleReads(PendingRead* arriving = nullptr);
    // Answers every pending read as beginStopping does; also used when the run loop
    // ended by itself (removal, unexpected result).
    void answerAllReads(bool aborted);
    static void answer(Answer& answer, const uint8_t* bytes, size_t length);
    // Answers `read` with the report `bytes`; the read goes with its answer.
    static void deliver(PendingRead& read, const uint8_t* bytes, size_t length);
    bool onWorkerThread() const { return std::this_thread::get_id() == workerId; }

    quenor::mac::ScopedCFRef<IOHIDDeviceRef> device;
    const IOOptionBits openOptions;
    const quenor::mac::SharedUsbInterface usbInterface;
    // A reference of its own to `device`, made at construction, for share().
    quenor::mac::SharedDevice deviceShare;
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
    // Guarded by queueMutex; oldest first, at most 30.
    hidutil::internal::RingQueue<ReportBuffer> inputReports;
    hidutil::internal::RingQueue<PendingRead> pendingReads;  // guarded by queueMutex; oldest first
    // Guarded by queueMutex: when the worker's run loop next returns by itself for a
    // deadline (the far future when no read's time-out runs), so that a new deadline
    // stops the loop only when it is nearer.
    std::chrono::steady_clock::time_point watcherWakesAt =
        std::chrono::steady_clock::time_point::min();
    bool closeArrived = false;  // guarded by queueMutex: ends the worker's final wait
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
// (starting a read): never across a blocking platform call.
//
// Entered and left without privMutex. The count is the device's (every stay, on
// whichever object): a stay counts itself in, then reads the current object; a
// close takes the object out of `livePriv`, then waits for the count to reach 0.
// Both steps on each side are sequentially consistent, so a stay that read the
// retiring object was counted before the close looked. Leaving takes the mutex only
// when a retire() waits: it stores `retiring` before it reads the count, a leaver
// reads `retiring` after its decrement, so one of the two sees the other.
class QUENOR_DEVICE_INTERNAL MacHidDevice::PlatformUse {
public:
    explicit PlatformUse(const MacHidDevice& device) : m_device(device) {
        device.stays.fetch_add(1);
        MacHidDevicePrivate* current = device.livePriv.load();
        if (current && !current->isDisconnected()) {
            m_priv = current;
        } else {
            leave();
        }
    }
    // The object may be gone right after the decrement: only the device is used then.
    ~PlatformUse() {
        if (m_priv) {
            leave();
        }
    }
    PlatformUse(const PlatformUse&) = delete;
    PlatformUse& operator=(const PlatformUse&) = delete;

    explicit operator bool() const { return m_priv != nullptr; }
    MacHidDevicePrivate* operator->() const { return m_priv; }

private:
    void leave() {
        if (m_device.stays.fetch_sub(1) == 1 && m_device.retiring.load()) {
            // Taken and released so that retire() is past its check or inside its wait.
            { std::lock_guard<std::mutex> lock(m_device.privMutex); }
            m_device.privIdle.notify_all();
        }
    }

    const MacHidDevice& m_device;
    MacHidDevicePrivate* m_priv = nullptr;
};
