// IOHIDDevice: a client's device object, bound to one DeviceState. Several
// may exist for one virtual device. Events (input reports, the removal
// notice) wait in `events` until the run loop the object is scheduled on
// performs its event source, on that loop's thread.
//
// Locking is as strict as macOS's: the callback registrations are not guarded
// by anything. The registration calls write them and the dispatch on the
// scheduled loop's thread reads them, both without a lock, so a client that
// changes a callback from another thread while the object is scheduled races
// with the dispatch and ThreadSanitizer reports it. Everything else is
// guarded by the platform mutex.
#pragma once

#include "devicestate.h"
#include "object.h"
#include "runloop.h"
#include "ticketstate.h"

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vmac::detail {

struct DeviceEvent {
    bool removal = false;
    uint32_t reportId = 0;
    std::vector<uint8_t> bytes;
    IOReturn result = kIOReturnSuccess;
    std::shared_ptr<TicketState> ticket;
};

// Stands in for the device's mach-port source: performing it delivers the
// owner's pending events if the performing loop is one the owner is on.
struct DeviceEventSource : __CFRunLoopSource {
    void perform() override;
    __IOHIDDevice* owner = nullptr;  // guarded by Platform::mutex; cleared at finalize
};

// Run loops to signal once the platform mutex is released.
class Kick {
public:
    Kick() = default;
    Kick(Kick&&) = default;
    Kick& operator=(Kick&&) = default;
    Kick(const Kick&) = delete;
    Kick& operator=(const Kick&) = delete;
    ~Kick();
    // Caller holds Platform::mutex.
    void add(__IOHIDDevice* device);

private:
    std::vector<std::pair<__CFRunLoopSource*, __CFRunLoop*>> targets_;  // retained
};

}  // namespace vmac::detail

struct __IOHIDDevice : vmac::detail::Object {
    explicit __IOHIDDevice(std::shared_ptr<vmac::detail::DeviceState> state);

    // An object has at most one schedule; scheduling again moves it. The mode
    // string is kept without a reference, as macOS keeps it: a client that
    // releases it while scheduled has the unschedule abort on a dead object.
    struct Schedule {
        __CFRunLoop* loop = nullptr;  // retained
        CFStringRef mode = nullptr;   // not retained
        std::string modeName;         // the run loop's own copy of the name
    };

    const std::shared_ptr<vmac::detail::DeviceState> device;

    // Callback registrations: not locked (see above). The input buffer stays
    // registered when the input callback is unregistered, and is still written.
    IOHIDReportCallback inputCallback = nullptr;
    void* inputContext = nullptr;
    uint8_t* inputBuffer = nullptr;
    CFIndex inputBufferSize = 0;
    IOHIDCallback removalCallback = nullptr;
    void* removalContext = nullptr;

    // All below: guarded by Platform::mutex.
    bool open = false;
    IOOptionBits openOptions = 0;
    bool finalizing = false;  // released: still listed until its values are, takes no events
    Schedule schedule;  // loop null while unscheduled
    std::deque<vmac::detail::DeviceEvent> events;
    std::map<std::string, CFTypeRef> propertyCache;  // retained
    vmac::detail::DeviceEventSource* const source;   // owned

    // Resolves pending events as dropped; `reportsOnly` keeps removal notices.
    void dropEvents(bool reportsOnly);                           // caller holds Platform::mutex
    void closeLocked();                                          // caller holds Platform::mutex
    bool scheduled() const { return schedule.loop != nullptr; }  // caller holds the mutex
    // Open and not pre-empted by another object's seize. Caller holds the mutex.
    bool hasAccess() const;

protected:
    void finalize() override;
};

namespace vmac::detail {

__IOHIDDevice* deviceOf(IOHIDDeviceRef device, const char* function);

}  // namespace vmac::detail
