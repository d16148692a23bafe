// IONotificationPort and IOServiceAddMatchingNotification.
//
// A port is a queue of messages (fired notifications) and a version-0 run-loop
// source that delivers them: performing the source calls each message's
// callback with its refCon and notification iterator, on the thread of the
// loop that performs it, with no platform lock held. Firing signals the source
// and wakes every loop it is in. Destroying the port drops the messages not
// yet delivered and takes its source out of every loop, as macOS invalidates
// the port's source; the notifications themselves live until their iterators
// are released.
#include <vmac/control.h>

#include "cfdictionary.h"
#include "cfstring.h"
#include "nocancel.h"
#include "notices.h"
#include "platformstate.h"
#include "runloop.h"
#include "runloopsource.h"

#include <algorithm>
#include <atomic>
#include <cstring>

using vmac::detail::checked;
using vmac::detail::IteratorState;
using vmac::detail::NoCancel;
using vmac::detail::NotificationPortState;
using vmac::detail::platform;

struct IONotificationPort {
    std::shared_ptr<NotificationPortState> state;
    bool destroyed = false;  // guarded by Platform::mutex
};

namespace {

std::atomic<long> g_livePorts{0};

using PortBox = std::shared_ptr<NotificationPortState>;

NotificationPortState& stateOf(const void* info) {
    return **static_cast<const PortBox*>(info);
}

void releaseBox(const void* info) {
    delete static_cast<const PortBox*>(info);
}

void wakeLocked(NotificationPortState& port) {
    if (port.source == nullptr)
        return;
    port.source->signalled.store(true);
    // Taking a loop's mutex under the platform mutex is the allowed order.
    for (const auto& schedule : port.schedules)
        schedule.first->wakeUp();
}

void scheduled(void* info, CFRunLoopRef loop, CFRunLoopMode mode) {
    auto* runLoop = checked<__CFRunLoop>(loop, vmac::detail::kRunLoopType, "CFRunLoopAddSource");
    std::lock_guard<std::mutex> lock(platform().mutex);
    NotificationPortState& port = stateOf(info);
    runLoop->retain();  // a retain never finalizes: safe under the lock
    port.schedules.emplace_back(runLoop, vmac::detail::stringText(mode, "CFRunLoopAddSource"));
    if (!port.messages.empty())
        wakeLocked(port);
}

void cancelled(void* info, CFRunLoopRef loop, CFRunLoopMode mode) {
    __CFRunLoop* left = nullptr;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        auto& schedules = stateOf(info).schedules;
        const std::string& name = vmac::detail::stringText(mode, "CFRunLoopRemoveSource");
        auto it = std::find_if(schedules.begin(), schedules.end(), [&](const auto& s) {
            return s.first == static_cast<__CFRunLoop*>(loop) && s.second == name;
        });
        if (it == schedules.end())
            return;
        left = it->first;
        schedules.erase(it);
    }
    left->release();
}

void perform(void* info) {
    for (;;) {
        std::shared_ptr<IteratorState> message;
        IOServiceMatchingCallback callback = nullptr;
        void* refCon = nullptr;
        {
            std::lock_guard<std::mutex> lock(platform().mutex);
            NotificationPortState& port = stateOf(info);
            if (port.destroyed || port.messages.empty())
                return;
            message = std::move(port.messages.front());
            port.messages.pop_front();
            callback = message->callback;
            refCon = message->refCon;
        }
        // A message outlives the release of its notification on macOS; the
        // callback then still runs, and the dead iterator reads as empty.
        if (callback != nullptr)
            callback(refCon, message->port);
    }
}

bool notificationKind(const char* type, bool& terminated) {
    if (type == nullptr)
        return false;
    for (const char* kind : {kIOPublishNotification, kIOFirstPublishNotification,
                             kIOMatchedNotification, kIOFirstMatchNotification}) {
        if (std::strcmp(type, kind) == 0) {
            terminated = false;
            return true;
        }
    }
    terminated = std::strcmp(type, kIOTerminatedNotification) == 0;
    return terminated;
}

IONotificationPort* portOf(IONotificationPortRef notify, const char* function) {
    if (notify == nullptr)
        vmac::detail::fatal("%s called with NULL", function);
    std::lock_guard<std::mutex> lock(platform().mutex);
    if (notify->destroyed)
        vmac::detail::fatal("%s called on a destroyed IONotificationPort", function);
    return notify;
}

}  // namespace

namespace vmac {

long liveNotificationPortCount() {
    return g_livePorts.load();
}

}  // namespace vmac

namespace vmac::detail {

void fireLocked(IteratorState& notification) {
    if (!notification.armed || notification.notifyPort == nullptr)
        return;
    notification.armed = false;
    NotificationPortState& port = *notification.notifyPort;
    if (port.destroyed)
        return;
    port.messages.push_back(iteratorsLocked()[notification.port]);
    wakeLocked(port);
}

void raiseFirstMatchLocked(const std::shared_ptr<DeviceState>& device) {
    for (auto& entry : iteratorsLocked()) {
        IteratorState& notification = *entry.second;
        if (notification.refs <= 0 || !notification.isNotification || notification.terminated ||
            !matchesLocked(*device, notification.matching))
            continue;
        if (notification.queue.size() >= kMaxPendingNotificationObjects)
            continue;  // the kernel drops it silently
        notification.queue.push_back(device);
        fireLocked(notification);
    }
}

void raiseTerminatedLocked(const DeviceState& device) {
    const PortEntry* entry = findPort(device.hidPort);
    if (entry == nullptr)
        return;
    for (auto& iterator : iteratorsLocked()) {
        IteratorState& notification = *iterator.second;
        if (notification.refs <= 0 || !notification.isNotification || !notification.terminated ||
            !matchesLocked(device, notification.matching))
            continue;
        if (notification.queue.size() >= kMaxPendingNotificationObjects)
            continue;  // the kernel drops it silently
        notification.queue.push_back(entry->device);
        fireLocked(notification);
    }
}

}  // namespace vmac::detail

extern "C" {

IONotificationPortRef IONotificationPortCreate(mach_port_t mainPort) {
    NoCancel noCancel;
    if (mainPort != MACH_PORT_NULL)
        return nullptr;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        if (vmac::detail::notificationFaultsLocked().portCreateReturnsNull)
            return nullptr;
    }
    auto state = std::make_shared<NotificationPortState>();
    CFRunLoopSourceContext context{};
    context.info = new PortBox(state);
    context.release = releaseBox;
    context.schedule = scheduled;
    context.cancel = cancelled;
    context.perform = perform;
    state->source =
        static_cast<__CFRunLoopSource*>(CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context));
    g_livePorts.fetch_add(1);
    return new IONotificationPort{state};
}

// The shell of a destroyed port is kept (and leaked on purpose, it is tiny) so
// that a later use is reported instead of touching freed memory.
void IONotificationPortDestroy(IONotificationPortRef notify) {
    NoCancel noCancel;
    IONotificationPort* port = portOf(notify, "IONotificationPortDestroy");
    std::vector<std::pair<__CFRunLoop*, std::string>> schedules;
    __CFRunLoopSource* source = nullptr;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        port->destroyed = true;
        NotificationPortState& state = *port->state;
        state.destroyed = true;
        state.messages.clear();
        schedules = state.schedules;
        source = std::exchange(state.source, nullptr);
    }
    g_livePorts.fetch_sub(1);
    for (const auto& schedule : schedules) {
        CFStringRef mode = vmacConstantString(schedule.second.c_str());
        CFRunLoopRemoveSource(schedule.first, source, mode);
    }
    CFRelease(source);
    static auto* shells = new std::vector<IONotificationPort*>;  // guarded by Platform::mutex
    std::lock_guard<std::mutex> lock(platform().mutex);
    port->state.reset();
    shells->push_back(port);
}

// Borrowed: the port owns it and releases it when destroyed.
CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify) {
    NoCancel noCancel;
    IONotificationPort* port = portOf(notify, "IONotificationPortGetRunLoopSource");
    std::lock_guard<std::mutex> lock(platform().mutex);
    if (vmac::detail::notificationFaultsLocked().runLoopSourceNull)
        return nullptr;
    return port->state->source;
}

// One reference of `matching` is consumed on every path that has one. The
// iterator starts with every plugged device that matches (first-match kinds)
// or empty (terminated), and the notification is not armed.
kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort,
                                               const io_name_t notificationType,
                                               CFDictionaryRef matching,
                                               IOServiceMatchingCallback callback, void* refCon,
                                               io_iterator_t* notification) {
    NoCancel noCancel;
    if (matching == nullptr)
        return kIOReturnBadArgument;
    checked<__CFDictionary>(matching, vmac::detail::kDictionaryType,
                            "IOServiceAddMatchingNotification");
    bool terminated = false;
    if (notifyPort == nullptr || notification == nullptr || callback == nullptr ||
        !notificationKind(notificationType, terminated)) {
        CFRelease(matching);
        return kIOReturnBadArgument;
    }
    IONotificationPort* port = portOf(notifyPort, "IOServiceAddMatchingNotification");
    std::unique_lock<std::mutex> lock(platform().mutex);
    const auto& faults = vmac::detail::notificationFaultsLocked();
    if (faults.failingNotification == notificationType) {
        const IOReturn result = faults.notificationResult;
        lock.unlock();
        CFRelease(matching);
        return result;
    }
    auto iterator = std::make_shared<IteratorState>();
    iterator->port = platform().nextPort++;
    iterator->isNotification = true;
    iterator->terminated = terminated;
    iterator->matching = matching;
    iterator->notifyPort = port->state;
    iterator->callback = callback;
    iterator->refCon = refCon;
    if (!terminated) {
        for (const auto& entry : platform().plugged)
            if (entry.second->attached && vmac::detail::matchesLocked(*entry.second, matching))
                iterator->queue.push_back(entry.second);
        // Registry order; reads hand out the newest first, as the kernel does.
        std::sort(iterator->queue.begin(), iterator->queue.end(),
                  [](const auto& a, const auto& b) { return a->hidPort < b->hidPort; });
        if (iterator->queue.size() > vmac::kMaxPendingNotificationObjects)
            iterator->queue.resize(vmac::kMaxPendingNotificationObjects);
    }
    vmac::detail::iteratorsLocked()[iterator->port] = iterator;
    *notification = iterator->port;
    platform().changed.notify_all();
    return kIOReturnSuccess;
}

}  // extern "C"
