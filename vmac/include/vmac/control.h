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
// may block the call until releaseBlockedCalls(). Block::NonCancellable is what
// a Mac does: the call is one Mach message with no time-out and not a POSIX
// cancellation point, so it ignores pthread_cancel until released or
// unplugged (then it fails with the unplug's code). Block::Cancellable is a
// path only vmac has, kept to test code that copes with both: it blocks in
// pthread_cond_wait, a clean cancellation point, so pthread_cancel ends the
// call by unwinding (no lock held, no noexcept frame, the device state stays
// consistent and cancelledCallCount() goes up). GetReport refuses a length of
// 0 or less with kIOReturnBadArgument, as macOS does. waitForBlockedCalls(n)
// waits until n calls are blocked; reportCalls() is the log of calls that
// reached the device.
//
// Seize. Opening with kIOHIDOptionsTypeSeizeDevice is granted even while other
// objects have the device open: they are pre-empted (their Set/GetReport
// answer kIOReturnExclusiveAccess and their input reports stop) until the
// seizing object closes. Opening a seized device answers
// kIOReturnExclusiveAccess.
//
// Inject. injectInputReport(id, bytes, result) queues the report to every
// device object that is open (and not pre-empted by a seize) and scheduled;
// the report is copied into the registered buffer (truncated to its size, like
// macOS) on the run loop where the object is scheduled, when that loop next
// runs in the scheduled mode, and the callback, if one is registered then,
// gets (context, result, the IOHIDDeviceRef, kIOHIDReportTypeInput, id,
// buffer, copied length). Unregistering the callback leaves the buffer
// registered: it is still written. The returned Ticket tells when it was
// delivered (a callback ran) or dropped (no qualifying object, no callback,
// or the object was closed or unscheduled before its loop ran).
//
// Callback rules, as strict as macOS's: an object's callbacks and schedule
// are kept in unlocked sets that its run loop's thread reads while
// dispatching. Register, unregister, schedule and unschedule only on the
// thread of the run loop the object is scheduled on, or while it is not
// scheduled; vmac aborts otherwise (and ThreadSanitizer sees the race). A
// device object has one schedule: scheduling again moves it, and
// IOHIDDeviceUnscheduleFromRunLoop ignores its arguments. The mode string is
// kept without a reference. The report buffer must not be NULL. When a thread
// ends, the sources of its run loop are removed; a CFRunLoopWakeUp of a loop
// that is not running is forgotten.
//
// Unplug. unplug(code) removes the device from the registry, releases blocked
// calls with `code` (kIOReturnNotAttached unless the test chooses another:
// macOS answers kIOReturnNotAttached, kIOReturnExclusiveAccess or a dead-port
// error), and queues the removal notice to every device object: delivered on
// its run loop after reports queued earlier, or, for an object not scheduled
// yet, once it is scheduled. The Ticket covers those notices (an object with
// no removal callback drops its notice). The device object stays scheduled,
// so its run loop does not finish because of a removal: the callback is the
// only sign. Later calls on the device, its device objects and its USB
// interface fail with `code`; IOHIDDeviceGetProperty answers NULL.
//
// USB interface. Release number, endpoint count (each with the result code of
// the call), raw string descriptors per index served to GET_DESCRIPTOR
// (bmRequestType 0x80, bRequest 6, wValue 0x03nn) on pipe 0, a result code
// that fails every control request, and the log of pipe calls. AbortPipe and
// ClearPipeStallBothEnds answer kIOReturnNotOpen, as on a Mac, where the HID
// driver holds a HID device's interface open. AddRef and Release count with a
// plain integer, as IOUSBLib does: calls from two threads at once race.
//
// Faults. setOpenFaults makes each step of opening fail on demand: device
// object creation (NULL), parent lookup (an error code), plug-in creation (an
// error code, or success with a NULL plug-in), QueryInterface (a negative
// result, or S_OK with a NULL interface), IOHIDDeviceOpen (any IOReturn).
// Faults stay until changed.
//
// Fail calls. Every other platform call the device code makes that can fail
// on a Mac can be made to fail on demand, by one mechanism: a CallFault names
// the call (Call), how many of its next calls fail (`count`; negative: every
// call until cleared) and what they give instead. Calls on one device are
// armed on it (VirtualDevice::failCalls): IOHIDDeviceGetProperty (NULL, or
// `value`, a CF object of any type the test chooses, for reads of `key` or of
// any key), IOHIDDeviceCopyMatchingElements (NULL), IOHIDDeviceClose (`result`;
// the object stays open until released, which closes it, as on a Mac), and the
// USB interface's GetDeviceReleaseNumber, GetNumEndpoints, ControlRequest,
// AbortPipe and ClearPipeStallBothEnds (`result`, nothing written). Creation
// calls belong to no device and are armed process-wide (vmac::failCalls):
// CFRunLoopSourceCreate, CFStringCreateWithCString, CFDictionaryCreateMutable
// and CFNumberCreate answer NULL, as they do on a Mac when no memory can be
// had; they fail on whichever thread calls next, except inside the control
// API's own builders. A failed call has no other effect (it is not logged as
// a pipe or report call). Faults of one call are consumed in the order they
// were armed; pendingCallFaults tells how many armed failures are left, so a
// test sees that its fault was reached. IOHIDDeviceSetReport/GetReport fail
// through their ReportAnswers and the steps of opening through OpenFaults.
// reset() clears every fault.
//
// Input Monitoring. setInputMonitoring(state) is the user's choice in System
// Settings > Privacy & Security > Input Monitoring, as IOHIDCheckAccess reports
// it: Granted (the default, and what reset() restores), Denied or Unknown (not
// asked yet). A device object of a device whose usage pairs (or, without pairs,
// primary pair) include Keyboard (1,6), Mouse (1,2) or Touch Pad (0x0D,0x05)
// opens only while it is Granted; otherwise IOHIDDeviceOpen answers
// kIOReturnNotPermitted, as macOS does. IOHIDRequestAccess answers whether it
// is Granted and changes nothing (the prompt's answer comes later, from the test).
//
// Allocator hooks. insidePlatformCall() is true while the calling thread runs
// inside a platform function or a control-API call, callbacks into the client
// included: a test's failing operator new uses it to fail only the client's
// own allocations, since a platform function never throws (vmac's allocations
// stand for the platform's, whose failures the NULL faults above model).
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

// The platform calls a CallFault can fail. Per device: GetProperty to
// ClearPipeStallBothEnds; process-wide: RunLoopSourceCreate to NumberCreate.
enum class Call {
    GetProperty,           // IOHIDDeviceGetProperty: NULL or CallFault::value
    CopyMatchingElements,  // IOHIDDeviceCopyMatchingElements: NULL
    DeviceClose,           // IOHIDDeviceClose: CallFault::result, the object stays open
    GetDeviceReleaseNumber,
    GetNumEndpoints,
    ControlRequest,
    AbortPipe,
    ClearPipeStallBothEnds,  // the USB interface calls: CallFault::result
    RunLoopSourceCreate,     // CFRunLoopSourceCreate: NULL
    StringCreateWithCString,
    DictionaryCreateMutable,
    NumberCreate,
};

struct CallFault {
    Call call = Call::GetProperty;
    int count = 1;                     // the next `count` calls fail; negative: every call
    IOReturn result = kIOReturnError;  // what a call that returns an IOReturn answers
    std::string key;                   // GetProperty: fail reads of this key only; empty: any
    // GetProperty: answered instead of NULL (a wrong type, say). Retained while armed;
    // each answer is kept alive, like a real property, until the device is unplugged.
    CFTypeRef value = nullptr;
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
    Ticket unplug(IOReturn detachedResult = kIOReturnNotAttached);
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
    // Arms a fault of a per-device call; throws std::invalid_argument for a
    // process-wide one.
    void failCalls(const CallFault& fault);
    // Armed failures of `call` on this device not yet consumed (-1: unlimited).
    int pendingCallFaults(Call call) const;
    void clearCallFaults();

    // Observation.
    int deviceObjectCount() const;                  // live IOHIDDevice objects for this device
    int openCount() const;                          // device objects open on it
    std::vector<IOOptionBits> openOptions() const;  // of each open device object
    std::vector<IOOptionBits> closeCalls()
        const;  // options of each IOHIDDeviceClose on an open object
    bool isSeized() const;
    // By any device object. The registrations are not locked: ask only when the
    // thread that changes them is known to be done (after open or close returned).
    bool inputCallbackRegistered() const;
    bool removalCallbackRegistered() const;
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

// Arms a fault of a process-wide call; throws std::invalid_argument for a
// per-device one.
VMAC_API void failCalls(const CallFault& fault);
VMAC_API int pendingCallFaults(Call call);  // -1: unlimited
VMAC_API void clearCallFaults();
VMAC_API bool insidePlatformCall();

enum class InputMonitoring { Granted, Denied, Unknown };
VMAC_API void setInputMonitoring(InputMonitoring access);

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
