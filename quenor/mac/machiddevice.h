// MacHidDevice: the macOS implementation of AbstractHidDevice.
//
// Roles and threads
// - Application threads call every operation. open(), close(), destruction and
//   setReportFilteringEnabled() must not run concurrently with each other or with
//   other calls on the same device; everything else may be called from any thread.
// - The request queue lives as long as the object, with a thread made by its
//   first use; it runs output and feature transfers and USB string requests in
//   call order. Set transfers make their platform call on a sender thread that
//   is reused while transfers keep coming and that ends after kSenderIdle without
//   one; a transfer that finds the queue idle is handed to it by its caller,
//   which holds the queue's place meanwhile (setsender.h). Input reads are
//   answered from the report queue at once, or by the worker thread when a
//   report comes or their time-out passes; a waiting input read never holds up
//   the request queue, and vice versa.
// - While open, the private object (MacHidDevicePrivate) owns the platform device
//   and a run-loop worker thread that receives input reports and the removal
//   notice and serves the input reads' time-outs.
//
// Ownership and lifetime
// - AbstractHidDevice::create() returns a MacHidDevice the caller deletes.
// - `priv` owns the open state; close() retires it. `info` caches the properties
//   read at the last successful open and survives close().
// - An operation that calls the platform holds its own reference to the device or
//   USB interface object for the length of the call, so close() never waits for a
//   platform call and nothing uses a platform object after close() released it.
// - Request handles stay valid after close() and after the device is deleted.
//
// Destruction answers everything and is bounded
// - Deleting the device fulfils every request it handed out that is still pending,
//   with status kIOReturnAborted: input reads { false, 0, buffer, 0, aborted };
//   set transfers and feature reads { false, -1, buffer, reportId, aborted };
//   string requests { false, empty, aborted }. Queued operations never run.
// - The call in progress on the request queue is asked to end: a set transfer's
//   sender gets its cancellation request at once, as its time-out would send it.
//   The destructor waits for it at most one second (the grace a timed-out set
//   transfer gets); one that returns within it keeps its own record. A call still
//   inside the platform then is left to finish on a thread that holds its own
//   references (device or interface, buffer, request) and touches nothing of the
//   deleted object; its request is answered aborted. So delete returns within
//   about a second, whatever the device does; close() first changes nothing of
//   that.
//
// Running out of memory or threads
// - These may throw std::bad_alloc to the caller, with nothing queued, changed or
//   leaked: open, setReport, setFeature, getReport, getFeature, usbString and the
//   cached strings (manufacturerName, productName, serialNumber). close, queries,
//   cancelAll, usbDeviceVersion and setReportFilteringEnabled do not throw.
// - open also throws std::bad_alloc when the platform cannot create an object it
//   needs (its run-loop mode name or stop source), std::system_error when no worker
//   thread can be started and std::length_error for a negative
//   "MaxInputReportSize". Whatever it throws, the platform device is closed and
//   released again and a previous open stays as it was.
// - Creating the device starts no thread. setReport, setFeature, getFeature and
//   usbString also throw std::system_error, with nothing queued, when the request
//   queue's thread is not running yet and cannot be started.
// - Work that runs out of memory once queued answers with { false, -1, buffer,
//   reportId, kIOReturnNoMemory } (a string request: { false, empty,
//   kIOReturnNoMemory }); a set transfer may have reached the device before that,
//   and an input report taken by such a read is lost. A set transfer that gets no
//   sender thread answers kIOReturnNoResources. Should even the failure record find
//   no memory, the request stays pending: wait with a time-out where memory may be
//   exhausted. No exception ever reaches a queue, worker or sender thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "quenor/abstracthiddevice.h"
#include "quenor/export.h"
#include "quenor/operationsqueue.h"

// The platform types this header names, declared as the platform declares them, so
// that an application including it sees no CoreFoundation, IOKit or vmac header.
typedef struct __IOHIDDevice* IOHIDDeviceRef;
struct IOUSBInterfaceStruct190;
namespace quenor::mac {
class RunningCall;
class SetSender;
struct SendState;
template <typename T, typename Policy>
class ScopedPlatformRef;
struct CFPolicy;
template <typename T>
struct COMPolicy;
}  // namespace quenor::mac

class QUENOR_EXPORT MacHidDevice : public AbstractHidDevice {
public:
    class MacHidDevicePrivate;

    // Properties cached at each successful open; every field is 0 or empty until read.
    struct DeviceInfo {
        uint16_t usage = 0;
        uint16_t usagePage = 0;
        uint16_t maxInputReportSize = 0;
        uint16_t maxOutputReportSize = 0;
        uint16_t maxFeatureReportSize = 0;
        std::string manufacturer;  // UTF-8
        std::string product;       // UTF-8
        std::string serialNumber;  // UTF-8
    };

    // A directly constructed device has an empty descriptor, so open() fails;
    // AbstractHidDevice::create() is the way to get a usable one.
    MacHidDevice();
    // Answers every pending request with kIOReturnAborted and returns within about
    // a second, whatever the device does (see "Destruction" above).
    ~MacHidDevice() override;
    MacHidDevice(const MacHidDevice&) = delete;
    MacHidDevice& operator=(const MacHidDevice&) = delete;

    // Virtual operations, in the slot order of AbstractHidDevice.
    bool isOpened() const override;
    void* nativeHandle() const override;
    // Sends an output report from a sender thread of its own, in request-queue order.
    // The record: { true, size of report, report, reportId, 0 }, or on failure
    // { false, -1, report, reportId, the platform's status }.
    // `timeout` in ms (-1: no limit; a very large value is taken as practically no
    // limit; 0 and other negative values: cancel at once). Past the time-out the
    // sender gets a cancellation request. On a Mac the platform call is not a
    // cancellation point; the HID driver ends it itself after the device's
    // "RequestTimeout" (1 s unless the device sets another) with kIOReturnTimeout,
    // so a time-out above the driver's is never reached there. For a driver that
    // does not (or a device with a longer request time-out), one second after our
    // time-out the request is answered with { false, -1, report, reportId,
    // kIOReturnTimeout }, the sender is left to finish on its own references (its
    // late answer changes nothing) and the queue goes on. With -1 the transfer is
    // waited for without limit (the driver's time-out still applies). setFeature
    // behaves the same with a time-out of 5000 ms, which the driver's default
    // second comes before.
    hidutil::async_request<AsyncOpResult> setReport(unsigned char reportId,
                                                    const ReportBuffer& report,
                                                    long timeout) override;
    // Takes the oldest queued input report, waiting up to `timeout` ms for one (-1:
    // no limit). A removal does not wake a read that already waits: one with a
    // time-out answers "no report" when it ends, one without limit is woken by
    // close() or destruction. Read with a time-out and check isOpened() (or watch
    // for the device's removal) to notice an unplug promptly.
    hidutil::async_request<AsyncOpResult> getReport(const ReportBuffer& report,
                                                    long timeout) override;
    hidutil::async_request<AsyncOpResult> setFeature(unsigned char reportId,
                                                     const ReportBuffer& report) override;
    // Reads feature report `reportId` into `report`, on the request queue's thread:
    // { true, the length the device answered, report, reportId, 0 } (bytes past
    // it keep their contents), or { false, -1, report, reportId, the platform's
    // status }. The HID driver's request time-out bounds the call on a Mac.
    hidutil::async_request<AsyncOpResult> getFeature(unsigned char reportId,
                                                     const ReportBuffer& report) override;
    // Aborts and clears the stalls of the interface's endpoint pipes 1 to n. On a Mac
    // the HID driver holds a HID device's USB interface open, so these calls answer
    // kIOReturnNotOpen and cancelAll has no effect there; it is kept for the contract.
    void cancelAll() override;
    void setDoAsync(bool) override;
    int usage() const override;
    int usagePage() const override;
    LinkCollectionNode* linkCollection() override;
    uint16_t usbDeviceVersion() const override;
    hidutil::async_request<AsyncStrReqResult> manufacturerName() const override;
    hidutil::async_request<AsyncStrReqResult> productName() const override;
    hidutil::async_request<AsyncStrReqResult> serialNumber() const override;
    hidutil::async_request<AsyncStrReqResult> usbString(int index) const override;
    int reportSize(ReportType type) override;
    void setReportFilteringEnabled(bool enabled) override;
    bool isReportFilteringEnabled() const override;

    // The platform device of a usable open device, else null. Borrowed: valid until
    // close(); retain it to keep it longer.
    IOHIDDeviceRef handle() const;

    // Why the last open failed: the platform status (IOReturn, widened with its
    // sign) of the step that failed, or 0 (kIOReturnSuccess) after a successful
    // open and before any. Steps without a status of their own answer
    // kIOReturnBadArgument (no macOS descriptor, a path of 512 bytes or more) or
    // kIOReturnNoDevice (no registry entry, or no device object for it). Notable
    // answers of IOHIDDeviceOpen: kIOReturnNotPermitted (0xE00002E2), the user has
    // not granted Input Monitoring for a keyboard, mouse or touch pad (see
    // quenor/mac/inputmonitoring.h); kIOReturnExclusiveAccess (0xE00002C5),
    // another client has seized the device; kIOReturnNotPrivileged (0xE00002C1),
    // a seize (share mode 0) of a keyboard without privilege. An open that throws
    // leaves it as it was. Any thread.
    std::int64_t lastOpenStatus() const;

    // How many input reports this device dropped since it was last opened: pushed
    // out of the full queue of 30 unread reports, or lost because no memory could
    // be had for them. Reports that filtering refuses are not counted. Any thread.
    uint64_t droppedInputReports() const;

    using AbstractHidDevice::makeDefaultFailFuture;
    // Ready at once with { false, 0, report, 0, kIOReturnError }.
    hidutil::async_request<AsyncOpResult> makeDefaultFailFuture(const ReportBuffer& report);

protected:
    bool open_impl(int accessMode, int shareMode, const HidDeviceDescriptor& descriptor) override;
    bool close_impl() override;
    ReportBuffer allocateReport_impl(ReportType type) override;

private:
    class PlatformUse;

    // The properties of a just opened platform device (null when `device` is null
    // or the descriptor is not a macOS one). May throw std::bad_alloc.
    std::unique_ptr<DeviceInfo> readInfo(IOHIDDeviceRef device) const;
    // setReport and setFeature: checks the call, then queues the timed set transfer.
    // `type` is Output or Feature, numbered as the platform's IOHIDReportType.
    hidutil::async_request<AsyncOpResult> setTransfer(ReportType type, unsigned char reportId,
                                                      const ReportBuffer& report, long timeout);
    // Registers the set transfer as the call in progress (enterCall); when it may not
    // call the platform, answers it not open or aborted and returns false.
    bool enterSend(const std::shared_ptr<quenor::mac::SendState>& transfer) const;
    // A set transfer that holds the idle request queue: handed to the sender on the
    // caller's thread (setsender.h).
    void sendStraight(const std::shared_ptr<quenor::mac::SendState>& transfer,
                      hidutil::OperationsQueue::Hold hold);
    // Shares of the platform objects of a usable open device (empty otherwise), for
    // an operation to hold across its platform call (SharedDevice, SharedUsbInterface
    // in scopedowners.h). One round on privMutex; no platform call.
    using SharedDevice = std::shared_ptr<
        const quenor::mac::ScopedPlatformRef<IOHIDDeviceRef, quenor::mac::CFPolicy>>;
    SharedDevice retainDevice() const;
    std::shared_ptr<const quenor::mac::ScopedPlatformRef<
        IOUSBInterfaceStruct190**, quenor::mac::COMPolicy<IOUSBInterfaceStruct190>>>
    retainInterface() const;
    // Registers the request-queue operation `call` as the one in progress, just
    // before its blocking platform call; from then on the operation must not use
    // this object. Destroying once destruction has begun, and NotOpen when
    // `resolved` is given and no longer the open device (a set transfer queued
    // before a close or reopen): the operation then makes no call and answers
    // aborted or not open. Queue thread (or the destructor's, draining), or the
    // caller's thread of a set transfer that holds the idle queue.
    enum class CallEntry { Entered, NotOpen, Destroying };
    CallEntry enterCall(const std::shared_ptr<quenor::mac::RunningCall>& call,
                        IOHIDDeviceRef resolved = nullptr) const;
    // The same, and in the same round on privMutex retainDevice() into `device`
    // when Entered (empty when the device is not usable).
    CallEntry enterCall(const std::shared_ptr<quenor::mac::RunningCall>& call,
                        SharedDevice& device) const;
    // Takes a private object out of service: wakes its readers, waits until no
    // operation is inside it, then destroys it (full shutdown). Caller's thread.
    void retire(std::unique_ptr<MacHidDevicePrivate> old);
    // The cached-string request shared by manufacturerName/productName/serialNumber.
    hidutil::async_request<AsyncStrReqResult> cachedString(std::string DeviceInfo::*field) const;

    // Guards the value of `priv`; never held across a platform call or together with
    // another lock. Declared first so that it outlives the queues, whose last
    // operations still take it.
    mutable std::mutex privMutex;
    mutable std::condition_variable privIdle;  // an operation left a private object
    // Set under privMutex while retire() waits for a private object's operations to
    // leave; read by a leaving operation without the lock (PlatformUse).
    mutable std::atomic<bool> retiring{false};

    std::unique_ptr<MacHidDevicePrivate> priv;  // guarded by privMutex
    // The value of `priv`, stored with it under privMutex, for stays to read without the lock;
    // and the count of stays inside a private object, whichever (PlatformUse).
    std::atomic<MacHidDevicePrivate*> livePriv{nullptr};
    mutable std::atomic<int> stays{0};
    // The request-queue operation last registered by enterCall; guarded by privMutex.
    mutable std::weak_ptr<quenor::mac::RunningCall> runningCall;
    bool destroying = false;           // guarded by privMutex; set once, by the destructor
    std::unique_ptr<DeviceInfo> info;  // replaced by open only
    // The sender thread of set transfers, used in the request queue's order by its
    // thread or by a caller that holds the queue; each queued transfer holds a share
    // (setsender.h).
    const std::shared_ptr<quenor::mac::SetSender> sender;
    mutable hidutil::OperationsQueue requestQueue;  // const string requests queue work too
    bool reportFilteringEnabled = false;            // application thread and open only
    // Input reports dropped since the last successful open; written by the worker.
    std::atomic<uint64_t> droppedReports{0};
    std::atomic<int64_t> openStatus{0};  // written by open only
};
