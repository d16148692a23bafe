// The control API: plugging, scripting, injecting, unplugging, observing.
#include <vmac/control.h>

#include "blockedcall.h"
#include "hiddevice.h"
#include "hidelement.h"
#include "nocancel.h"
#include "notices.h"
#include "platformstate.h"
#include "runloop.h"
#include "ticketstate.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace vmac {

using detail::DeviceState;
using detail::NoCancel;
using detail::platform;

namespace {

using Lock = std::unique_lock<std::mutex>;

// Runs `f` with the platform mutex held and returns its result.
template <typename F>
auto locked(F&& f) {
    NoCancel noCancel;
    Lock lock(platform().mutex);
    return f();
}

bool waitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& done) {
    NoCancel noCancel;
    Lock lock(platform().mutex);
    return platform().changed.wait_for(lock, timeout, done);
}

// Detaches a device; the caller releases `values` and fires `kick` unlocked.
// Every device object gets the removal notice, as macOS queues it: one that is
// not scheduled yet receives it once it is; one with no removal callback then
// drops it (the callbacks are not read here: they are not locked).
std::shared_ptr<detail::TicketState> unplugLocked(DeviceState& state, IOReturn detachedResult,
                                                  std::vector<CFTypeRef>& values,
                                                  detail::Kick& kick) {
    auto ticket = std::make_shared<detail::TicketState>();
    if (!state.attached)
        return ticket;
    state.attached = false;
    state.detachedResult = detachedResult;
    platform().plugged.erase(state.path);
    detail::raiseTerminatedLocked(state);
    // A woken call leaves the list now, so that it no longer counts as blocked.
    for (detail::BlockedCall* call : state.blocked) {
        call->unplugged = true;
        call->wake();
    }
    state.blocked.clear();
    for (__IOHIDDevice* device : state.deviceObjects) {
        if (device->finalizing)
            continue;
        ticket->addTarget();
        device->events.push_back(detail::DeviceEvent{true, 0, {}, kIOReturnSuccess, ticket});
        kick.add(device);
    }
    for (auto& property : state.properties)
        values.push_back(property.second);
    state.properties.clear();
    for (__IOHIDElement* element : state.elements)
        values.push_back(element);
    state.elements.clear();
    values.insert(values.end(), state.faultAnswers.begin(), state.faultAnswers.end());
    state.faultAnswers.clear();
    state.callFaults.clear(values);
    platform().changed.notify_all();
    return ticket;
}

}  // namespace

// ---- Ticket ----------------------------------------------------------------

Ticket::Ticket(std::shared_ptr<detail::TicketState> state) : state_(std::move(state)) {}

Outcome Ticket::outcome() const {
    return state_ ? state_->outcome() : Outcome::Dropped;
}

Outcome Ticket::wait(std::chrono::milliseconds timeout) const {
    return state_ ? state_->waitFor(timeout) : Outcome::Dropped;
}

// ---- Plugging ----------------------------------------------------------------

VirtualDevice plugDevice(const std::string& path, ParentKind parent) {
    return plugDeviceWithProperties(path, {}, parent);
}

VirtualDevice plugDeviceWithProperties(const std::string& path,
                                       const std::map<std::string, CFTypeRef>& properties,
                                       ParentKind parent) {
    NoCancel noCancel;
    auto state = std::make_shared<DeviceState>();
    state->path = path;
    state->parentKind = parent;
    // Index 0 is the language table: English (United States) only.
    state->stringDescriptors[0] = {4, 3, 0x09, 0x04};
    Lock lock(platform().mutex);
    if (platform().plugged.count(path) != 0)
        throw std::invalid_argument("vmac: a device is already plugged at " + path);
    for (const auto& property : properties)
        if (property.second != nullptr)  // a retain never finalizes: safe under the lock
            state->properties[property.first] = CFRetain(property.second);
    state->hidPort = platform().nextPort++;
    state->parentPort = platform().nextPort++;
    platform().plugged[path] = state;
    platform().ports[state->hidPort] = {state, false};
    platform().ports[state->parentPort] = {state, true};
    detail::raiseFirstMatchLocked(state);
    return VirtualDevice(state);
}

void reset() {
    NoCancel noCancel;
    std::vector<CFTypeRef> values;
    detail::Kick kick;
    {
        Lock lock(platform().mutex);
        auto plugged = platform().plugged;
        for (auto& entry : plugged)
            unplugLocked(*entry.second, kIOReturnNotAttached, values, kick);
        platform().callFaults.clear(values);
        platform().inputMonitoring = InputMonitoring::Granted;
    }
    for (CFTypeRef value : values)
        CFRelease(value);
}

VirtualDevice::VirtualDevice(std::shared_ptr<DeviceState> state) : state_(std::move(state)) {}

const std::string& VirtualDevice::path() const {
    return state_->path;
}
io_registry_entry_t VirtualDevice::entry() const {
    return state_->hidPort;
}
io_registry_entry_t VirtualDevice::parentEntry() const {
    return state_->parentPort;
}

// ---- Properties and elements ---------------------------------------------

void VirtualDevice::setProperty(const std::string& key, CFTypeRef value) {
    NoCancel noCancel;
    if (value != nullptr)
        CFRetain(value);
    CFTypeRef dropped[2] = {nullptr, nullptr};
    {
        Lock lock(platform().mutex);
        auto& properties = state_->properties;
        auto it = properties.find(key);
        if (it != properties.end()) {
            dropped[0] = it->second;
            properties.erase(it);
        }
        // An unplugged device keeps no properties.
        if (value != nullptr && state_->attached)
            properties[key] = value;
        else
            dropped[1] = value;
    }
    for (CFTypeRef value : dropped)
        if (value != nullptr)
            CFRelease(value);
}

void VirtualDevice::setNumberProperty(const std::string& key, long long value) {
    CFNumberRef number = makeNumber(value);
    setProperty(key, number);
    CFRelease(number);
}

void VirtualDevice::setStringProperty(const std::string& key, const std::string& utf8) {
    CFStringRef text = makeString(utf8);
    setProperty(key, text);
    CFRelease(text);
}

void VirtualDevice::removeProperty(const std::string& key) {
    setProperty(key, nullptr);
}

void VirtualDevice::addElement(const Element& element) {
    NoCancel noCancel;
    auto* object = new __IOHIDElement(element.usagePage, element.usage, element.reportId);
    {
        Lock lock(platform().mutex);
        if (state_->attached) {
            state_->elements.push_back(object);
            return;
        }
    }
    CFRelease(object);
}

// ---- Reports ---------------------------------------------------------------

void VirtualDevice::queueSetReportAnswer(const ReportAnswer& answer) {
    locked([&] { state_->setAnswers.push_back(answer); });
}

void VirtualDevice::queueGetReportAnswer(const ReportAnswer& answer) {
    locked([&] { state_->getAnswers.push_back(answer); });
}

void VirtualDevice::setDefaultSetReportAnswer(const ReportAnswer& answer) {
    locked([&] { state_->defaultSetAnswer = answer; });
}

void VirtualDevice::setDefaultGetReportAnswer(const ReportAnswer& answer) {
    locked([&] { state_->defaultGetAnswer = answer; });
}

void VirtualDevice::setReportResponder(ReportResponder responder) {
    // The old responder may own platform objects: it goes after the lock is released.
    locked([&] { std::swap(state_->responder, responder); });
}

std::vector<ReportCall> VirtualDevice::reportCalls() const {
    return locked([&] { return state_->reportCalls; });
}

bool VirtualDevice::waitForReportCalls(size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&] { return state_->reportCalls.size() >= count; });
}

size_t VirtualDevice::blockedCallCount() const {
    return locked([&] { return state_->blocked.size(); });
}

bool VirtualDevice::waitForBlockedCalls(size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&] { return state_->blocked.size() >= count; });
}

void VirtualDevice::releaseBlockedCalls() {
    // A woken call leaves the list now, so that it no longer counts as blocked.
    locked([&] {
        for (detail::BlockedCall* call : state_->blocked)
            call->wake();
        state_->blocked.clear();
    });
}

size_t VirtualDevice::cancelledCallCount() const {
    return locked([&] { return state_->cancelledCalls; });
}

// ---- Input and removal ---------------------------------------------------

Ticket VirtualDevice::injectInputReport(uint32_t reportId, const std::vector<uint8_t>& bytes,
                                        IOReturn result) {
    NoCancel noCancel;
    auto ticket = std::make_shared<detail::TicketState>();
    detail::Kick kick;
    {
        Lock lock(platform().mutex);
        if (!state_->attached)
            return Ticket(ticket);
        for (__IOHIDDevice* device : state_->deviceObjects) {
            if (!device->hasAccess() || !device->scheduled())
                continue;
            ticket->addTarget();
            device->events.push_back(detail::DeviceEvent{false, reportId, bytes, result, ticket});
            kick.add(device);
        }
    }
    return Ticket(ticket);
}

Ticket VirtualDevice::unplug(IOReturn detachedResult) {
    NoCancel noCancel;
    std::vector<CFTypeRef> values;
    std::shared_ptr<detail::TicketState> ticket;
    {
        detail::Kick kick;
        {
            Lock lock(platform().mutex);
            ticket = unplugLocked(*state_, detachedResult, values, kick);
        }
    }
    for (CFTypeRef value : values)
        CFRelease(value);
    return Ticket(ticket);
}

bool VirtualDevice::isPlugged() const {
    return locked([&] { return state_->attached; });
}

// ---- USB interface -----------------------------------------------------------

void VirtualDevice::setReleaseNumber(UInt16 bcd, IOReturn result) {
    locked([&] {
        state_->releaseNumber = bcd;
        state_->releaseNumberResult = result;
    });
}

void VirtualDevice::setNumEndpoints(UInt8 count, IOReturn result) {
    locked([&] {
        state_->numEndpoints = count;
        state_->numEndpointsResult = result;
    });
}

void VirtualDevice::setStringDescriptor(UInt8 index, const std::vector<uint8_t>& raw) {
    locked([&] { state_->stringDescriptors[index] = raw; });
}

void VirtualDevice::setStringDescriptorText(UInt8 index, const std::u16string& text) {
    std::vector<uint8_t> raw{static_cast<uint8_t>(std::min<size_t>(2 + 2 * text.size(), 255)), 3};
    for (char16_t unit : text) {
        raw.push_back(static_cast<uint8_t>(unit & 0xFF));
        raw.push_back(static_cast<uint8_t>(unit >> 8));
    }
    setStringDescriptor(index, raw);
}

void VirtualDevice::setControlRequestResult(IOReturn result) {
    locked([&] { state_->controlRequestResult = result; });
}

std::vector<PipeCall> VirtualDevice::pipeCalls() const {
    return locked([&] { return state_->pipeCalls; });
}

void VirtualDevice::setOpenFaults(const OpenFaults& faults) {
    locked([&] { state_->faults = faults; });
}

// ---- Call faults -------------------------------------------------------------

void VirtualDevice::failCalls(const CallFault& fault) {
    if (detail::isProcessWide(fault.call))
        throw std::invalid_argument("vmac: a process-wide call fault armed on a device");
    locked([&] { state_->callFaults.arm(fault); });
}

int VirtualDevice::pendingCallFaults(Call call) const {
    return locked([&] { return state_->callFaults.pending(call); });
}

void VirtualDevice::clearCallFaults() {
    std::vector<CFTypeRef> released;
    locked([&] { state_->callFaults.clear(released); });
    for (CFTypeRef value : released)
        CFRelease(value);
}

void failCalls(const CallFault& fault) {
    if (!detail::isProcessWide(fault.call))
        throw std::invalid_argument("vmac: a per-device call fault armed process-wide");
    locked([&] { platform().callFaults.arm(fault); });
}

int pendingCallFaults(Call call) {
    return locked([&] { return platform().callFaults.pending(call); });
}

void clearCallFaults() {
    std::vector<CFTypeRef> released;
    locked([&] { platform().callFaults.clear(released); });
    for (CFTypeRef value : released)
        CFRelease(value);
}

void setInputMonitoring(InputMonitoring access) {
    locked([&] { platform().inputMonitoring = access; });
}

bool insidePlatformCall() {
    return detail::t_platformDepth > 0;
}

// ---- Observation -------------------------------------------------------------

int VirtualDevice::deviceObjectCount() const {
    return locked([&] { return static_cast<int>(state_->deviceObjects.size()); });
}

int VirtualDevice::openCount() const {
    return locked([&] {
        return static_cast<int>(std::count_if(state_->deviceObjects.begin(),
                                              state_->deviceObjects.end(),
                                              [](const __IOHIDDevice* d) { return d->open; }));
    });
}

std::vector<IOOptionBits> VirtualDevice::openOptions() const {
    return locked([&] {
        std::vector<IOOptionBits> options;
        for (const __IOHIDDevice* d : state_->deviceObjects)
            if (d->open)
                options.push_back(d->openOptions);
        return options;
    });
}

std::vector<IOOptionBits> VirtualDevice::closeCalls() const {
    return locked([&] { return state_->closeCalls; });
}

bool VirtualDevice::isSeized() const {
    return locked([&] { return state_->seizedBy != nullptr; });
}

bool VirtualDevice::inputCallbackRegistered() const {
    return locked([&] {
        return std::any_of(state_->deviceObjects.begin(), state_->deviceObjects.end(),
                           [](const __IOHIDDevice* d) { return d->inputCallback != nullptr; });
    });
}

bool VirtualDevice::removalCallbackRegistered() const {
    return locked([&] {
        return std::any_of(state_->deviceObjects.begin(), state_->deviceObjects.end(),
                           [](const __IOHIDDevice* d) { return d->removalCallback != nullptr; });
    });
}

bool VirtualDevice::isScheduled() const {
    return locked([&] {
        return std::any_of(state_->deviceObjects.begin(), state_->deviceObjects.end(),
                           [](const __IOHIDDevice* d) { return d->scheduled(); });
    });
}

std::vector<std::thread::id> VirtualDevice::scheduledThreads() const {
    return locked([&] {
        std::vector<std::thread::id> threads;
        for (const __IOHIDDevice* d : state_->deviceObjects)
            if (d->scheduled())
                threads.push_back(d->schedule.loop->thread);
        return threads;
    });
}

// ---- Counting ------------------------------------------------------------------

long liveObjectCount() {
    return detail::liveCountedObjects();
}
long liveRunLoopCount() {
    return detail::liveRunLoops();
}
long liveCOMReferences() {
    return platform().comReferences.load();
}

long liveIOObjectReferences() {
    return locked([] {
        long total = 0;
        for (const auto& port : platform().ports)
            if (!port.second.isParent)
                total += port.second.device->hidRefs + port.second.device->parentRefs;
        return total + detail::iteratorReferencesLocked();
    });
}

std::thread::id runLoopThread(CFRunLoopRef loop) {
    NoCancel noCancel;
    return detail::checked<__CFRunLoop>(loop, detail::kRunLoopType, "vmac::runLoopThread")->thread;
}

}  // namespace vmac
