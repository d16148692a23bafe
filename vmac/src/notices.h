// Iterators and matching notifications: the part of the I/O Registry that
// tells clients which services exist and when they come and go.
//
// IteratorState is one io_iterator_t. A snapshot iterator (from
// IOServiceGetMatchingServices) holds the services that matched when it was
// made. A notification iterator (from IOServiceAddMatchingNotification) is the
// notification itself: matching services join its queue as they are published
// (first-match kinds) or terminated, and while it is armed the first one also
// queues a message on its notification port. Reading the iterator until
// IOIteratorNext answers 0 arms it again. Like the kernel, a notification hands
// out its queue newest first; a snapshot comes in no promised order (here:
// newest first too), so clients that need an order sort by entry ID.
//
// Every field below is guarded by Platform::mutex. Released iterators stay in
// the table with no reference left, so that a second release is caught and a
// late IOIteratorNext answers 0 as on macOS. The matching dictionary a
// notification holds is released outside the lock, when the client releases
// the iterator.
#pragma once

#include "devicestate.h"
#include "object.h"

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct __CFRunLoop;
struct __CFRunLoopSource;

namespace vmac::detail {

struct NotificationPortState;

struct IteratorState {
    io_object_t port = 0;
    long refs = 1;  // client references
    std::deque<std::shared_ptr<DeviceState>> queue;
    // Notifications only.
    bool isNotification = false;
    bool terminated = false;  // kIOTerminatedNotification; otherwise a publish/match kind
    bool armed = false;
    CFDictionaryRef matching = nullptr;  // the reference the client gave up
    std::shared_ptr<NotificationPortState> notifyPort;
    IOServiceMatchingCallback callback = nullptr;
    void* refCon = nullptr;
};

// The state behind an IONotificationPortRef. The port's run-loop source points
// here too, so this lives as long as either.
struct NotificationPortState {
    bool destroyed = false;
    std::deque<std::shared_ptr<IteratorState>> messages;  // fired notifications, oldest first
    std::vector<std::pair<__CFRunLoop*, std::string>> schedules;  // loops retained
    __CFRunLoopSource* source = nullptr;  // the port's reference; null once destroyed
};

// Every iterator ever handed out, by port. Caller holds Platform::mutex.
std::map<io_object_t, std::shared_ptr<IteratorState>>& iteratorsLocked();

// Whether a plugged device satisfies a matching dictionary, key by key as an
// IOHIDDevice matches: "IOProviderClass" names the class or a superclass,
// "DeviceUsagePage"/"DeviceUsage" and "DeviceUsagePairs" look through the
// device's usage pairs, the HID identity keys compare property values, other
// keys are left to drivers that vmac does not have and are ignored. Caller
// holds Platform::mutex.
bool matchesLocked(const DeviceState& device, CFDictionaryRef matching);

// Queues a message for a fired, armed notification. Caller holds Platform::mutex.
void fireLocked(IteratorState& notification);

// Hooks of plugging and unplugging; caller holds Platform::mutex. Terminated
// notices are raised while the device still has its properties.
void raiseFirstMatchLocked(const std::shared_ptr<DeviceState>& device);
void raiseTerminatedLocked(const DeviceState& device);

// IOObjectRelease of an iterator port: true when `port` is an iterator (and one
// reference was dropped), false when it is something else. Takes the lock.
bool releaseIterator(io_object_t port);

// References clients hold on iterators. Caller holds Platform::mutex.
long iteratorReferencesLocked();

// The faults a test has set. Caller holds Platform::mutex.
vmac::NotificationFaults& notificationFaultsLocked();

}  // namespace vmac::detail
