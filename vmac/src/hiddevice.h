// IOHIDDevice: a client's device object, bound to one DeviceState. Several
// may exist for one virtual device. Mutable fields are guarded by the
// platform mutex. Events (input reports, the removal notice) wait in `events`
// until a run loop the object is scheduled on performs its event source, on
// that loop's thread.
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

    struct Schedule {
        __CFRunLoop* loop;  // retained
        std::string mode;
    };

    const std::shared_ptr<vmac::detail::DeviceState> device;

    // All below: guarded by Platform::mutex.
    bool open = false;
    IOOptionBits openOptions = 0;
    IOHIDReportCallback inputCallback = nullptr;
    void* inputContext = nullptr;
    uint8_t* inputBuffer = nullptr;
    CFIndex inputBufferSize = 0;
    IOHIDCallback removalCallback = nullptr;
    void* removalContext = nullptr;
    std::vector<Schedule> schedules;
    std::deque<vmac::detail::DeviceEvent> events;
    std::map<std::string, CFTypeRef> propertyCache;  // retained
    vmac::detail::DeviceEventSource* const source;   // owned

    // Resolves pending events as dropped; `reportsOnly` keeps removal notices.
    void dropEvents(bool reportsOnly);  // caller holds Platform::mutex
    void closeLocked();                 // caller holds Platform::mutex

protected:
    void finalize() override;
};

namespace vmac::detail {

__IOHIDDevice* deviceOf(IOHIDDeviceRef device, const char* function);

}  // namespace vmac::detail
