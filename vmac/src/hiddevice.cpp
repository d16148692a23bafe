#include "hiddevice.h"

#include "cfarray.h"
#include "cfdictionary.h"
#include "cfnumber.h"
#include "cfstring.h"
#include "hidelement.h"
#include "nocancel.h"
#include "platformstate.h"

#include <algorithm>
#include <cstring>
#include <thread>

using vmac::detail::checked;
using vmac::detail::DeviceEvent;
using vmac::detail::DeviceState;
using vmac::detail::Kick;
using vmac::detail::NoCancel;
using vmac::detail::platform;

namespace vmac::detail {

__IOHIDDevice* deviceOf(IOHIDDeviceRef device, const char* function) {
    return checked<__IOHIDDevice>(device, kHIDDeviceType, function);
}

Kick::~Kick() {
    for (auto& target : targets_) {
        target.first->signalled.store(true);
        target.second->wakeUp();
        target.first->release();
        target.second->release();
    }
}

void Kick::add(__IOHIDDevice* device) {
    if (!device->scheduled())
        return;
    device->source->retain();
    device->schedule.loop->retain();
    targets_.emplace_back(device->source, device->schedule.loop);
}

// Callback registrations are read here without a lock, as macOS reads them:
// see hiddevice.h.
void DeviceEventSource::perform() {
    __CFRunLoop* current = CFRunLoopGetCurrent();
    for (;;) {
        DeviceEvent event;
        bool reportsFlow = false;
        __IOHIDDevice* device;
        {
            std::lock_guard<std::mutex> lock(platform().mutex);
            device = owner;
            if (device == nullptr || device->events.empty())
                return;
            if (device->schedule.loop != current)
                return;  // a loop the device has left: the events wait for the one it is on
            event = std::move(device->events.front());
            device->events.pop_front();
            reportsFlow = device->hasAccess();
        }
        bool delivered = false;
        if (event.removal) {
            if (IOHIDCallback callback = device->removalCallback) {
                callback(device->removalContext, kIOReturnSuccess, device);
                delivered = true;
            }
        } else if (reportsFlow && device->inputBuffer != nullptr) {
            // Like macOS, a report longer than the registered buffer is truncated,
            // and the buffer is written even when no callback is registered.
            uint8_t* buffer = device->inputBuffer;
            const auto length = std::min<CFIndex>(static_cast<CFIndex>(event.bytes.size()),
                                                  std::max<CFIndex>(device->inputBufferSize, 0));
            if (length > 0)
                std::memcpy(buffer, event.bytes.data(), static_cast<size_t>(length));
            if (IOHIDReportCallback callback = device->inputCallback) {
                callback(device->inputContext, event.result, device, kIOHIDReportTypeInput,
                         event.reportId, buffer, length);
                delivered = true;
            }
        }
        event.ticket->resolve(delivered);
    }
}

}  // namespace vmac::detail

__IOHIDDevice::__IOHIDDevice(std::shared_ptr<DeviceState> state)
    : Object(vmac::detail::kHIDDeviceType, vmac::detail::Lifetime::Counted),
      device(std::move(state)),
      source(new vmac::detail::DeviceEventSource) {
    source->owner = this;
}

void __IOHIDDevice::dropEvents(bool reportsOnly) {
    std::deque<DeviceEvent> kept;
    for (auto& event : events) {
        if (reportsOnly && event.removal)
            kept.push_back(std::move(event));
        else
            event.ticket->resolve(false);
    }
    events.swap(kept);
}

void __IOHIDDevice::closeLocked() {
    open = false;
    openOptions = 0;
    if (device->seizedBy == this)
        device->seizedBy = nullptr;
    dropEvents(true);
    platform().changed.notify_all();
}

bool __IOHIDDevice::hasAccess() const {
    return open && (device->seizedBy == nullptr || device->seizedBy == this);
}

void __IOHIDDevice::finalize() {
    Schedule leaving;
    std::map<std::string, CFTypeRef> cached;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        // Releasing the last reference closes the device, as on macOS.
        if (open)
            closeLocked();
        dropEvents(false);
        std::swap(leaving, schedule);
        cached.swap(propertyCache);
        source->owner = nullptr;
        finalizing = true;
    }
    if (leaving.loop != nullptr) {
        if (leaving.loop->removeSource(source, leaving.modeName))
            source->release();
        leaving.loop->release();
    }
    for (auto& value : cached)
        CFRelease(value.second);
    source->release();
    // Listed until everything it held is released, so that a test that sees the
    // object gone also sees its values gone.
    std::lock_guard<std::mutex> lock(platform().mutex);
    auto& objects = device->deviceObjects;
    objects.erase(std::remove(objects.begin(), objects.end(), this), objects.end());
    platform().changed.notify_all();
}

namespace {

bool matches(const __IOHIDElement& element, const __CFDictionary* matching) {
    if (matching == nullptr)
        return true;
    for (const auto& pair : matching->pairs()) {
        const auto* key = static_cast<const vmac::detail::Object*>(pair.first);
        const auto* value = static_cast<const vmac::detail::Object*>(pair.second);
        if (key == nullptr || key->typeId() != vmac::detail::kStringType)
            return false;
        if (value == nullptr || value->typeId() != vmac::detail::kNumberType)
            return false;
        int64_t wanted = 0;
        if (!CFNumberGetValue(static_cast<CFNumberRef>(pair.second), kCFNumberSInt64Type, &wanted))
            return false;
        const std::string& name = static_cast<const __CFString*>(key)->utf8;
        // Elements have these three properties only; any other key matches nothing.
        if (name == "UsagePage") {
            if (wanted != element.usagePage)
                return false;
        } else if (name == "Usage") {
            if (wanted != element.usage)
                return false;
        } else if (name == "ReportID") {
            if (wanted != element.reportId)
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// A number property as a 64-bit value; -1 when it is missing or no number.
long long numberIn(const void* value) {
    int64_t number = -1;
    if (value == nullptr ||
        static_cast<const vmac::detail::Object*>(value)->typeId() != vmac::detail::kNumberType ||
        !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &number))
        return -1;
    return number;
}

const void* keyIn(const void* dictionary, const char* key) {
    if (dictionary == nullptr || static_cast<const vmac::detail::Object*>(dictionary)->typeId() !=
                                     vmac::detail::kDictionaryType)
        return nullptr;
    return static_cast<const __CFDictionary*>(dictionary)->get(vmacConstantString(key));
}

bool isGatedPair(long long page, long long usage) {
    return (page == 1 && (usage == 6 || usage == 2)) || (page == 0x0D && usage == 5);
}

// Whether IOHIDFamily marks the device as needing the user's Input Monitoring
// permission (kIOHIDRequiresTCCAuthorizationKey): it conforms to a keyboard, a
// mouse or a touch pad. Caller holds Platform::mutex.
bool needsListenAccessLocked(const DeviceState& state) {
    auto property = [&](const char* key) -> const void* {
        auto it = state.properties.find(key);
        return it == state.properties.end() ? nullptr : it->second;
    };
    const void* pairs = property(kIOHIDDeviceUsagePairsKey);
    if (pairs != nullptr &&
        static_cast<const vmac::detail::Object*>(pairs)->typeId() == vmac::detail::kArrayType) {
        for (CFTypeRef pair : static_cast<const __CFArray*>(pairs)->values)
            if (isGatedPair(numberIn(keyIn(pair, kIOHIDDeviceUsagePageKey)),
                            numberIn(keyIn(pair, kIOHIDDeviceUsageKey))))
                return true;
        return false;
    }
    return isGatedPair(numberIn(property(kIOHIDPrimaryUsagePageKey)),
                       numberIn(property(kIOHIDPrimaryUsageKey)));
}

// macOS keeps an object's callbacks and schedule in unlocked sets that its run
// loop's thread enumerates while dispatching: changing them from another thread
// while that loop runs corrupts them there. Here it aborts, so that the fault
// shows in every build and not only when the timing is unlucky (ThreadSanitizer
// also sees the race on the unlocked registrations).
void requireLoopThread(__IOHIDDevice* d, const char* function) {
    std::lock_guard<std::mutex> lock(platform().mutex);
    if (d->scheduled() && d->schedule.loop->thread != std::this_thread::get_id() &&
        d->schedule.loop->isRunning())
        vmac::detail::fatal(
            "%s called on another thread than that of the run loop the device "
            "is scheduled on, while its callbacks may be dispatched there",
            function);
}

}  // namespace

extern "C" {

IOHIDDeviceRef IOHIDDeviceCreate(CFAllocatorRef, io_service_t service) {
    NoCancel noCancel;
    std::lock_guard<std::mutex> lock(platform().mutex);
    const auto* entry = vmac::detail::findPort(service);
    if (entry == nullptr || entry->isParent)
        return nullptr;
    DeviceState& state = *entry->device;
    if (!state.attached || state.faults.createReturnsNull)
        return nullptr;
    auto* device = new __IOHIDDevice(entry->device);
    state.deviceObjects.push_back(device);
    platform().changed.notify_all();
    return device;
}

// Opening an object that is already open succeeds and keeps its first options.
// A seize is granted even while other objects have the device open: from then
// on they answer kIOReturnExclusiveAccess and receive no reports.
IOReturn IOHIDDeviceOpen(IOHIDDeviceRef device, IOOptionBits options) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceOpen");
    std::lock_guard<std::mutex> lock(platform().mutex);
    DeviceState& state = *d->device;
    if (!state.attached)
        return state.detachedResult;
    if (state.faults.openResult != kIOReturnSuccess)
        return state.faults.openResult;
    if (d->open)
        return kIOReturnSuccess;
    if (platform().inputMonitoring != vmac::InputMonitoring::Granted &&
        needsListenAccessLocked(state))
        return kIOReturnNotPermitted;
    if (state.seizedBy != nullptr)
        return kIOReturnExclusiveAccess;
    if (options & kIOHIDOptionsTypeSeizeDevice)
        state.seizedBy = d;
    d->open = true;
    d->openOptions = options;
    platform().changed.notify_all();
    return kIOReturnSuccess;
}

IOReturn IOHIDDeviceClose(IOHIDDeviceRef device, IOOptionBits options) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceClose");
    std::lock_guard<std::mutex> lock(platform().mutex);
    DeviceState& state = *d->device;
    if (!d->open)
        return state.attached ? kIOReturnNotOpen : state.detachedResult;
    vmac::CallFault fault;
    if (state.attached && state.callFaults.take(vmac::Call::DeviceClose, std::string(), fault))
        return fault.result;  // still open: releasing the object closes it
    d->device->closeCalls.push_back(options);
    d->closeLocked();
    return state.attached ? kIOReturnSuccess : state.detachedResult;
}

// Each device object keeps the first value it read per key (macOS caches
// properties in the device object), so a borrowed value stays valid for the
// object's life even if the test changes the property later.
CFTypeRef IOHIDDeviceGetProperty(IOHIDDeviceRef device, CFStringRef key) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceGetProperty");
    const std::string& name = vmac::detail::stringText(key, "IOHIDDeviceGetProperty");
    std::lock_guard<std::mutex> lock(platform().mutex);
    DeviceState& state = *d->device;
    if (!state.attached)
        return nullptr;
    vmac::CallFault fault;
    if (state.callFaults.take(vmac::Call::GetProperty, name, fault)) {
        if (fault.value != nullptr)
            state.faultAnswers.push_back(fault.value);  // the answer's reference
        return fault.value;
    }
    auto cached = d->propertyCache.find(name);
    if (cached != d->propertyCache.end())
        return cached->second;
    auto it = state.properties.find(name);
    if (it == state.properties.end())
        return nullptr;
    CFRetain(it->second);  // never finalizes, so safe under the lock
    d->propertyCache.emplace(name, it->second);
    return it->second;
}

// An empty match gives an empty array rather than NULL.
CFArrayRef IOHIDDeviceCopyMatchingElements(IOHIDDeviceRef device, CFDictionaryRef matching,
                                           IOOptionBits) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceCopyMatchingElements");
    const __CFDictionary* filter =
        matching == nullptr ? nullptr
                            : checked<__CFDictionary>(matching, vmac::detail::kDictionaryType,
                                                      "IOHIDDeviceCopyMatchingElements");
    std::vector<CFTypeRef> found;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        vmac::CallFault fault;
        if (!d->device->attached ||
            d->device->callFaults.take(vmac::Call::CopyMatchingElements, std::string(), fault))
            return nullptr;
        for (__IOHIDElement* element : d->device->elements) {
            if (matches(*element, filter)) {
                CFRetain(element);
                found.push_back(element);
            }
        }
    }
    auto* array = new __CFArray(found);
    for (CFTypeRef element : found)
        CFRelease(element);
    return array;
}

// One schedule per object: scheduling again moves it. Pending events (a removal
// notice that came before the object was scheduled, say) go out once it is.
void IOHIDDeviceScheduleWithRunLoop(IOHIDDeviceRef device, CFRunLoopRef runLoop,
                                    CFStringRef runLoopMode) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceScheduleWithRunLoop");
    requireLoopThread(d, "IOHIDDeviceScheduleWithRunLoop");
    auto* loop =
        checked<__CFRunLoop>(runLoop, vmac::detail::kRunLoopType, "IOHIDDeviceScheduleWithRunLoop");
    const std::string& mode =
        vmac::detail::stringText(runLoopMode, "IOHIDDeviceScheduleWithRunLoop");
    __IOHIDDevice::Schedule leaving;
    Kick kick;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        std::swap(leaving, d->schedule);
        loop->retain();
        d->schedule = {loop, runLoopMode, mode};
        // Taking the loop's own mutex under the platform mutex is the allowed order.
        loop->addSource(d->source, mode);
        if (!d->events.empty())
            kick.add(d);
        platform().changed.notify_all();
    }
    if (leaving.loop != nullptr) {
        if (leaving.loop->removeSource(d->source, leaving.modeName))
            d->source->release();
        leaving.loop->release();
    }
}

// Ignores its loop and mode, as macOS does: it ends the object's one schedule.
// Pending reports are dropped; a pending removal notice waits for the next one.
void IOHIDDeviceUnscheduleFromRunLoop(IOHIDDeviceRef device, CFRunLoopRef runLoop,
                                      CFStringRef runLoopMode) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceUnscheduleFromRunLoop");
    requireLoopThread(d, "IOHIDDeviceUnscheduleFromRunLoop");
    checked<__CFRunLoop>(runLoop, vmac::detail::kRunLoopType, "IOHIDDeviceUnscheduleFromRunLoop");
    vmac::detail::stringText(runLoopMode, "IOHIDDeviceUnscheduleFromRunLoop");
    __IOHIDDevice::Schedule leaving;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        if (!d->scheduled())
            return;
        // The stored mode was never retained: a client that released it aborts here.
        vmac::detail::stringText(d->schedule.mode,
                                 "IOHIDDeviceUnscheduleFromRunLoop (stored mode)");
        std::swap(leaving, d->schedule);
        d->dropEvents(true);
        platform().changed.notify_all();
    }
    if (leaving.loop->removeSource(d->source, leaving.modeName))
        d->source->release();
    leaving.loop->release();
}

// The registrations are written without a lock (see hiddevice.h).
void IOHIDDeviceRegisterRemovalCallback(IOHIDDeviceRef device, IOHIDCallback callback,
                                        void* context) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceRegisterRemovalCallback");
    requireLoopThread(d, "IOHIDDeviceRegisterRemovalCallback");
    d->removalCallback = callback;
    d->removalContext = callback != nullptr ? context : nullptr;
}

// The buffer is declared non-null: NULL aborts. A NULL callback unregisters the
// callback only; the buffer stays registered and is still written.
void IOHIDDeviceRegisterInputReportCallback(IOHIDDeviceRef device, uint8_t* report,
                                            CFIndex reportLength, IOHIDReportCallback callback,
                                            void* context) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceRegisterInputReportCallback");
    requireLoopThread(d, "IOHIDDeviceRegisterInputReportCallback");
    if (report == nullptr)
        vmac::detail::fatal("IOHIDDeviceRegisterInputReportCallback with a NULL report buffer");
    d->inputBuffer = report;
    d->inputBufferSize = reportLength;
    d->inputCallback = callback;
    d->inputContext = callback != nullptr ? context : nullptr;
}

IOHIDAccessType IOHIDCheckAccess(IOHIDRequestType requestType) {
    NoCancel noCancel;
    if (requestType != kIOHIDRequestTypeListenEvent)
        return kIOHIDAccessTypeDenied;  // posting events is not modelled
    std::lock_guard<std::mutex> lock(platform().mutex);
    switch (platform().inputMonitoring) {
        case vmac::InputMonitoring::Granted:
            return kIOHIDAccessTypeGranted;
        case vmac::InputMonitoring::Denied:
            return kIOHIDAccessTypeDenied;
        case vmac::InputMonitoring::Unknown:
            break;
    }
    return kIOHIDAccessTypeUnknown;
}

bool IOHIDRequestAccess(IOHIDRequestType requestType) {
    return IOHIDCheckAccess(requestType) == kIOHIDAccessTypeGranted;
}

uint32_t IOHIDElementGetReportID(IOHIDElementRef element) {
    NoCancel noCancel;
    return checked<__IOHIDElement>(element, vmac::detail::kHIDElementType,
                                   "IOHIDElementGetReportID")
        ->reportId;
}

}  // extern "C"
