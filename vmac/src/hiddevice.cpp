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
    for (const auto& schedule : device->schedules) {
        device->source->retain();
        schedule.loop->retain();
        targets_.emplace_back(device->source, schedule.loop);
    }
}

void DeviceEventSource::perform() {
    __CFRunLoop* current = CFRunLoopGetCurrent();
    for (;;) {
        DeviceEvent event;
        IOHIDReportCallback inputCallback = nullptr;
        void* inputContext = nullptr;
        uint8_t* buffer = nullptr;
        CFIndex bufferSize = 0;
        IOHIDCallback removalCallback = nullptr;
        void* removalContext = nullptr;
        __IOHIDDevice* device;
        {
            std::lock_guard<std::mutex> lock(platform().mutex);
            device = owner;
            if (device == nullptr || device->events.empty())
                return;
            const auto& schedules = device->schedules;
            if (std::none_of(schedules.begin(), schedules.end(),
                             [current](const auto& s) { return s.loop == current; }))
                return;  // a loop the device has left: the events wait for one it is on
            event = std::move(device->events.front());
            device->events.pop_front();
            if (device->open) {
                inputCallback = device->inputCallback;
                inputContext = device->inputContext;
                buffer = device->inputBuffer;
                bufferSize = device->inputBufferSize;
            }
            removalCallback = device->removalCallback;
            removalContext = device->removalContext;
        }
        bool delivered = false;
        if (event.removal) {
            if (removalCallback != nullptr) {
                removalCallback(removalContext, kIOReturnSuccess, device);
                delivered = true;
            }
        } else if (inputCallback != nullptr) {
            // Like macOS, a report longer than the registered buffer is truncated.
            const auto length = std::min<CFIndex>(static_cast<CFIndex>(event.bytes.size()),
                                                  std::max<CFIndex>(bufferSize, 0));
            if (length > 0)
                std::memcpy(buffer, event.bytes.data(), static_cast<size_t>(length));
            inputCallback(inputContext, event.result, device, kIOHIDReportTypeInput, event.reportId,
                          buffer, length);
            delivered = true;
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

void __IOHIDDevice::finalize() {
    std::vector<Schedule> leaving;
    std::map<std::string, CFTypeRef> cached;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        // Releasing the last reference closes the device, as on macOS.
        if (open)
            closeLocked();
        dropEvents(false);
        leaving.swap(schedules);
        cached.swap(propertyCache);
        source->owner = nullptr;
        auto& objects = device->deviceObjects;
        objects.erase(std::remove(objects.begin(), objects.end(), this), objects.end());
        platform().changed.notify_all();
    }
    for (auto& schedule : leaving) {
        if (schedule.loop->removeSource(source, schedule.mode))
            source->release();
        schedule.loop->release();
    }
    for (auto& value : cached)
        CFRelease(value.second);
    source->release();
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
IOReturn IOHIDDeviceOpen(IOHIDDeviceRef device, IOOptionBits options) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceOpen");
    std::lock_guard<std::mutex> lock(platform().mutex);
    DeviceState& state = *d->device;
    // An unplugged device answers kIOReturnNoDevice to every later call.
    if (!state.attached)
        return kIOReturnNoDevice;
    if (state.faults.openResult != kIOReturnSuccess)
        return state.faults.openResult;
    if (d->open)
        return kIOReturnSuccess;
    if (state.seizedBy != nullptr)
        return kIOReturnExclusiveAccess;
    if (options & kIOHIDOptionsTypeSeizeDevice) {
        for (const __IOHIDDevice* other : state.deviceObjects)
            if (other->open)
                return kIOReturnExclusiveAccess;
        state.seizedBy = d;
    }
    d->open = true;
    d->openOptions = options;
    platform().changed.notify_all();
    return kIOReturnSuccess;
}

IOReturn IOHIDDeviceClose(IOHIDDeviceRef device, IOOptionBits options) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceClose");
    std::lock_guard<std::mutex> lock(platform().mutex);
    if (!d->open)
        return d->device->attached ? kIOReturnNotOpen : kIOReturnNoDevice;
    d->device->closeCalls.push_back(options);
    d->closeLocked();
    return d->device->attached ? kIOReturnSuccess : kIOReturnNoDevice;
}

// Each device object keeps the first value it read per key (macOS caches
// properties in the device object), so a borrowed value stays valid for the
// object's life even if the test changes the property later.
CFTypeRef IOHIDDeviceGetProperty(IOHIDDeviceRef device, CFStringRef key) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceGetProperty");
    const std::string& name = vmac::detail::stringText(key, "IOHIDDeviceGetProperty");
    std::lock_guard<std::mutex> lock(platform().mutex);
    const DeviceState& state = *d->device;
    if (!state.attached)
        return nullptr;
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
        if (!d->device->attached)
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

// An object is scheduled on at most one mode per loop; events go through
// whichever of its loops runs first in its mode.
void IOHIDDeviceScheduleWithRunLoop(IOHIDDeviceRef device, CFRunLoopRef runLoop,
                                    CFStringRef runLoopMode) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceScheduleWithRunLoop");
    auto* loop =
        checked<__CFRunLoop>(runLoop, vmac::detail::kRunLoopType, "IOHIDDeviceScheduleWithRunLoop");
    const std::string& mode =
        vmac::detail::stringText(runLoopMode, "IOHIDDeviceScheduleWithRunLoop");
    Kick kick;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        for (const auto& schedule : d->schedules)
            if (schedule.loop == loop && schedule.mode == mode)
                return;
        loop->retain();
        d->schedules.push_back({loop, mode});
        // Taking the loop's own mutex under the platform mutex is the allowed order.
        loop->addSource(d->source, mode);
        if (!d->events.empty())
            kick.add(d);
        platform().changed.notify_all();
    }
}

void IOHIDDeviceUnscheduleFromRunLoop(IOHIDDeviceRef device, CFRunLoopRef runLoop,
                                      CFStringRef runLoopMode) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceUnscheduleFromRunLoop");
    auto* loop = checked<__CFRunLoop>(runLoop, vmac::detail::kRunLoopType,
                                      "IOHIDDeviceUnscheduleFromRunLoop");
    const std::string& mode =
        vmac::detail::stringText(runLoopMode, "IOHIDDeviceUnscheduleFromRunLoop");
    bool removedSource = false;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        auto& schedules = d->schedules;
        auto it = std::find_if(schedules.begin(), schedules.end(),
                               [&](const auto& s) { return s.loop == loop && s.mode == mode; });
        if (it == schedules.end())
            return;
        schedules.erase(it);
        removedSource = loop->removeSource(d->source, mode);
        if (schedules.empty())
            d->dropEvents(false);
        platform().changed.notify_all();
    }
    if (removedSource)
        d->source->release();
    loop->release();
}

void IOHIDDeviceRegisterRemovalCallback(IOHIDDeviceRef device, IOHIDCallback callback,
                                        void* context) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceRegisterRemovalCallback");
    std::lock_guard<std::mutex> lock(platform().mutex);
    d->removalCallback = callback;
    d->removalContext = callback != nullptr ? context : nullptr;
    platform().changed.notify_all();
}

void IOHIDDeviceRegisterInputReportCallback(IOHIDDeviceRef device, uint8_t* report,
                                            CFIndex reportLength, IOHIDReportCallback callback,
                                            void* context) {
    NoCancel noCancel;
    __IOHIDDevice* d = vmac::detail::deviceOf(device, "IOHIDDeviceRegisterInputReportCallback");
    std::lock_guard<std::mutex> lock(platform().mutex);
    if (callback == nullptr) {
        d->inputCallback = nullptr;
        d->inputContext = nullptr;
        d->inputBuffer = nullptr;
        d->inputBufferSize = 0;
        d->dropEvents(true);
    } else {
        d->inputCallback = callback;
        d->inputContext = context;
        d->inputBuffer = report;
        d->inputBufferSize = report != nullptr ? reportLength : 0;
    }
    platform().changed.notify_all();
}

uint32_t IOHIDElementGetReportID(IOHIDElementRef element) {
    NoCancel noCancel;
    return checked<__IOHIDElement>(element, vmac::detail::kHIDElementType,
                                   "IOHIDElementGetReportID")
        ->reportId;
}

}  // extern "C"
