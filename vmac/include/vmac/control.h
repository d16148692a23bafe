// The control API of the virtual macOS HID platform: how tests and examples
// build the world that the Apple-named C API (<vmac/platform.h>) shows.
//
// Plug. vmac::plugDevice(path) puts a virtual HID device into the I/O
// Registry at `path` (exact string; IORegistryEntryFromPath finds it), with a
// parent entry in the "IOService" plane that is a virtual USB interface
// (ParentKind::UsbInterface) or some other service (ParentKind::Other, whose
// plug-in creation fails with kIOReturnUnsupported). The returned
// VirtualDevice is a handle (copyable, shared); the device stays plugged until
// unplug() or vmac::reset(), whatever happens to the handle.
//
// Script. Properties take any CF value (wrong types included) or none; the
// number and string setters are shorthands, makeUsagePairs builds the
// "DeviceUsagePairs" array. Elements carry usage page, usage and report ID.
// IOHIDDeviceSetReport/GetReport answer from a FIFO of ReportAnswers, falling
// back to a default answer (success, no data) when the FIFO is empty. An answer
// may block the call until releaseBlockedCalls(): Block::Cancellable blocks in
// pthread_cond_wait, a clean POSIX cancellation point, so pthread_cancel ends
// the call by unwinding (no lock held, no noexcept frame, the device state
// stays consistent and cancelledCallCount() goes up); Block::NonCancellable
// ignores cancellation like an IOKit call until released or unplugged (then it
// fails with kIOReturnNoDevice). waitForBlockedCalls(n) waits until n calls
// are blocked; reportCalls() is the log of calls that reached the device.
//
// Inject. injectInputReport(id, bytes, result) queues the report to every
// device object that is open, scheduled and has an input callback; the report
// is copied into the registered buffer (truncated to its size, like macOS) on
// the run loop where the object is scheduled, when that loop next runs in the
// scheduled mode, and the callback gets (context, result, the IOHIDDeviceRef,
// kIOHIDReportTypeInput, id, buffer, copied length). The returned Ticket tells
// when it was delivered or dropped (no qualifying object, or the object was
// closed, unregistered or unscheduled before its loop ran).
//
// Unplug. unplug() removes the device from the registry, releases blocked
// calls with kIOReturnNoDevice, and queues the removal callback of every
// scheduled device object that registered one (delivered on its run loop,
// after reports queued earlier); the Ticket covers those callbacks. Later
// calls on the device, its device objects and its USB interface fail with
// kIOReturnNoDevice; IOHIDDeviceGetProperty answers NULL.
//
// USB interface. Release number, endpoint count (each with the result code of
// the call), raw string descriptors per index served to GET_DESCRIPTOR
// (bmRequestType 0x80, bRequest 6, wValue 0x03nn) on pipe 0, a result code
// that fails every control request, and the log of pipe calls.
//
// Faults. setOpenFaults makes each step of opening fail on demand: device
// object creation (NULL), parent lookup (an error code), plug-in creation (an
// error code, or success with a NULL plug-in), QueryInterface (a negative
// result, or S_OK with a NULL interface), IOHIDDeviceOpen (any IOReturn).
// Faults stay until changed.
//
// Observe and count. Open count and options, close calls, callback
// registration, scheduling and the threads of the run loops scheduled on.
// liveObjectCount() counts mortal CF objects (run loops apart),
// liveIOObjectReferences() the io_object_t references clients hold,
// liveCOMReferences() the references on plug-in and USB interface objects:
// a test can end with EXPECT_EQ(before, vmac::liveObjectCount()). Releasing
// anything once too often aborts with a message naming its type.
//
// Threads: every function may be called from any thread. Waits take a
// time-out and report whether the condition was met; nothing here sleeps.
#pragma once

#include <vmac/platform.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vmac {

namespace detail {
class TicketState;
struct DeviceState;
}  // namespace detail

// Generous default for every wait: long enough never to fire on a loaded
// machine, short enough that a broken test fails instead of hanging.
inline constexpr std::chrono::milliseconds kDefaultTimeout{20000};

// The result a stalled control pipe gives on macOS (kIOUSBPipeStalled); it
// answers string-descriptor requests for an index that has no descriptor.
inline constexpr IOReturn kPipeStalled = static_cast<IOReturn>(0xE000404F);

enum class ParentKind { UsbInterface, Other };

enum class Outcome { Pending, Delivered, Dropped };

// Tells when an injected report or an unplug reached its callbacks.
class VMAC_API Ticket {
public:
    Ticket() = default;
    explicit Ticket(std::shared_ptr<detail::TicketState> state);
    // Pending until every target has been delivered or dropped; then Delivered
    // if at least one callback ran, else Dropped.
    Outcome outcome() const;
    // Waits until the outcome is no longer Pending or the time-out passes.
    Outcome wait(std::chrono::milliseconds timeout = kDefaultTimeout) const;

private:
    std::shared_ptr<detail::TicketState> state_;
};

enum class Block { None, Cancellable, NonCancellable };

struct ReportAnswer {
    IOReturn result = kIOReturnSuccess;
    std::vector<uint8_t>
        data;  // GetReport: copied up to the caller's length, which becomes its size
    Block block = Block::None;
};

enum class ReportCallKind { Set, Get };

struct ReportCall {
    ReportCallKind kind;
    IOHIDReportType type;
    CFIndex reportId;
    std::vector<uint8_t> bytes;  // Set: the bytes sent; Get: empty
    CFIndex length;              // Set: reportLength; Get: *pReportLength on entry
    std::thread::id thread;      // the calling thread
};

enum class PipeCallKind { AbortPipe, ClearPipeStallBothEnds, ControlRequest };

struct PipeCall {
    PipeCallKind kind;
    UInt8 pipe;
    // ControlRequest only: the setup fields as passed.
    UInt8 bmRequestType = 0;
    UInt8 bRequest = 0;
    UInt16 wValue = 0;
    UInt16 wIndex = 0;
    UInt16 wLength = 0;
};

// A device's "firmware": answers a SetReport/GetReport call that no queued
// answer covers, in place of the default answer. It runs on the thread that
// made the call, with no platform lock held, so it may call the control API
// (inject an input report, say); it must not call that device's report
// functions itself.
using ReportResponder = std::function<ReportAnswer(const ReportCall&)>;

struct OpenFaults {
    bool createReturnsNull = false;                  // IOHIDDeviceCreate
    IOReturn parentLookupResult = kIOReturnSuccess;  // IORegistryEntryGetParentEntry
    IOReturn plugInResult = kIOReturnSuccess;        // IOCreatePlugInInterfaceForService
    bool plugInNull = false;                         // ... succeeds with a NULL plug-in
    HRESULT queryResult = S_OK;                      // negative: QueryInterface fails, NULL out
    bool queryReturnsNull = false;                   // QueryInterface gives S_OK and NULL
    IOReturn openResult = kIOReturnSuccess;          // IOHIDDeviceOpen
};

struct Element {
    uint32_t usagePage;
    uint32_t usage;
    uint32_t reportId;
};

class VMAC_API VirtualDevice {
public:
    VirtualDevice() = default;  // an empty handle; only assignment and destruction are valid
    explicit VirtualDevice(std::shared_ptr<detail::DeviceState> state);

    const std::string& path() const;
    // The registry ports of the HID entry and its parent (no reference is given).
    io_registry_entry_t entry() const;
    io_registry_entry_t parentEntry() const;

    // Properties: the value is retained; NULL (or removeProperty) leaves it out.
    void setProperty(const std::string& key, CFTypeRef value);
    void setNumberProperty(const std::string& key,
                           long long value);  // SInt32 if it fits, else SInt64
    void setStringProperty(const std::string& key, const std::string& utf8);
    void removeProperty(const std::string& key);
    void addElement(const Element& element);

    // Report scripting and the call log.
    void queueSetReportAnswer(const ReportAnswer& answer);
    void queueGetReportAnswer(const ReportAnswer& answer);
    void setDefaultSetReportAnswer(const ReportAnswer& answer);
    void setDefaultGetReportAnswer(const ReportAnswer& answer);
    // Replaces the default answers while set; an empty function unsets it.
    void setReportResponder(ReportResponder responder);
    std::vector<ReportCall> reportCalls() const;
    bool waitForReportCalls(size_t count,
                            std::chrono::milliseconds timeout = kDefaultTimeout) const;
    size_t blockedCallCount() const;
    bool waitForBlockedCalls(size_t count,
                             std::chrono::milliseconds timeout = kDefaultTimeout) const;
    // Every call blocked now returns its scripted answer.
    void releaseBlockedCalls();
    size_t cancelledCallCount() const;

    // Input reports and removal.
    Ticket injectInputReport(uint32_t reportId, const std::vector<uint8_t>& bytes,
                             IOReturn result = kIOReturnSuccess);
    Ticket unplug();
    bool isPlugged() const;

    // The parent USB interface.
    void setReleaseNumber(UInt16 bcd, IOReturn result = kIOReturnSuccess);
    void setNumEndpoints(UInt8 count, IOReturn result = kIOReturnSuccess);
    void setStringDescriptor(UInt8 index, const std::vector<uint8_t>& raw);
    // A well-formed descriptor: bLength, type 3, the UTF-16LE code units.
    void setStringDescriptorText(UInt8 index, const std::u16string& text);
    void setControlRequestResult(IOReturn result);
    std::vector<PipeCall> pipeCalls() const;

    void setOpenFaults(const OpenFaults& faults);

    // Observation.
    int deviceObjectCount() const;                  // live IOHIDDevice objects for this device
    int openCount() const;                          // device objects open on it
    std::vector<IOOptionBits> openOptions() const;  // of each open device object
    std::vector<IOOptionBits> closeCalls()
        const;  // options of each IOHIDDeviceClose on an open object
    bool isSeized() const;
    bool inputCallbackRegistered() const;                   // by any device object
    bool removalCallbackRegistered() const;                 // by any device object
    bool isScheduled() const;                               // any device object on any run loop
    std::vector<std::thread::id> scheduledThreads() const;  // threads of the loops scheduled on

private:
    std::shared_ptr<detail::DeviceState> state_;
};

// Throws std::invalid_argument when a plugged device already has this path.
VMAC_API VirtualDevice plugDevice(const std::string& path,
                                  ParentKind parent = ParentKind::UsbInterface);
// Unplugs every device (tickets are not reported).
VMAC_API void reset();

VMAC_API long liveObjectCount();
VMAC_API long liveRunLoopCount();
VMAC_API long liveIOObjectReferences();
VMAC_API long liveCOMReferences();

// The thread whose run loop `loop` is.
VMAC_API std::thread::id runLoopThread(CFRunLoopRef loop);

// Builders; the caller owns the result (Create rule).
VMAC_API CFNumberRef makeNumber(long long value);
VMAC_API CFStringRef makeString(const std::string& utf8);
VMAC_API CFArrayRef makeArray(const std::vector<CFTypeRef>& values);  // retains the values
// { "DeviceUsagePage": page, "DeviceUsage": usage }
VMAC_API CFDictionaryRef makeUsagePair(long long usagePage, long long usage);
// An array of such pairs, each given as (usagePage, usage).
VMAC_API CFArrayRef makeUsagePairs(const std::vector<std::pair<long long, long long>>& pairs);

// ==== Matching and hot-plug notices =========================================
// plugDevice() publishes a device without properties, and matching runs only
// when a device is published (as on macOS, a property set later does not make
// a device match again). plugDeviceWithProperties() puts the properties in
// place first, so that matching notifications and IOServiceGetMatchingServices
// see the device as a real one would show itself. Values are retained; NULL
// values are left out. Publishing raises first-match notices; unplug() and
// reset() raise terminated notices while the device still has its properties.
// liveIOObjectReferences() counts references to iterators too.
VMAC_API VirtualDevice plugDeviceWithProperties(const std::string& path,
                                                const std::map<std::string, CFTypeRef>& properties,
                                                ParentKind parent = ParentKind::UsbInterface);
// IONotificationPorts created and not yet destroyed.
VMAC_API long liveNotificationPortCount();

// Faults of the matching and notification calls; they stay until changed. A
// failing call still consumes the matching dictionary it was given.
struct NotificationFaults {
    bool portCreateReturnsNull = false;                  // IONotificationPortCreate
    IOReturn matchingServicesResult = kIOReturnSuccess;  // IOServiceGetMatchingServices
    std::string failingNotification;  // IOServiceAddMatchingNotification of this kind ...
    IOReturn notificationResult = kIOReturnSuccess;  // ... answers this
};
VMAC_API void setNotificationFaults(const NotificationFaults& faults);
// ==== end of matching and hot-plug notices ===================================

}  // namespace vmac
