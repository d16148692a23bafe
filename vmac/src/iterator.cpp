// io_iterator_t: reading, arming and releasing iterators.
#include "nocancel.h"
#include "notices.h"
#include "platformstate.h"

using vmac::detail::IteratorState;
using vmac::detail::NoCancel;
using vmac::detail::platform;

namespace vmac::detail {

std::map<io_object_t, std::shared_ptr<IteratorState>>& iteratorsLocked() {
    // Never destroyed: threads that end during exit may still release iterators.
    static auto* table = new std::map<io_object_t, std::shared_ptr<IteratorState>>;
    return *table;
}

bool releaseIterator(io_object_t port) {
    NoCancel noCancel;
    CFDictionaryRef matching = nullptr;
    std::deque<std::shared_ptr<DeviceState>> queued;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        auto& table = iteratorsLocked();
        auto it = table.find(port);
        if (it == table.end())
            return false;
        IteratorState& iterator = *it->second;
        if (iterator.refs <= 0)
            fatal("IOObjectRelease of io_iterator_t 0x%x with no reference left", port);
        if (--iterator.refs == 0) {
            // The notification ends here; a message already queued on its port
            // is still delivered, as on macOS, and finds the iterator empty.
            matching = std::exchange(iterator.matching, nullptr);
            queued.swap(iterator.queue);
            iterator.notifyPort.reset();
        }
        platform().changed.notify_all();
    }
    if (matching != nullptr)
        CFRelease(matching);
    return true;
}

vmac::NotificationFaults& notificationFaultsLocked() {
    static auto* faults = new vmac::NotificationFaults;  // never destroyed, like the table
    return *faults;
}

long iteratorReferencesLocked() {
    long total = 0;
    for (const auto& entry : iteratorsLocked())
        total += entry.second->refs;
    return total;
}

}  // namespace vmac::detail

namespace vmac {

void setNotificationFaults(const NotificationFaults& faults) {
    NoCancel noCancel;
    std::lock_guard<std::mutex> lock(platform().mutex);
    detail::notificationFaultsLocked() = faults;
}

}  // namespace vmac

extern "C" {

// A notification hands out its newest service first, as the kernel does; an
// empty read arms it. 0 for anything that is not a live iterator.
io_object_t IOIteratorNext(io_iterator_t iterator) {
    NoCancel noCancel;
    std::lock_guard<std::mutex> lock(platform().mutex);
    auto& table = vmac::detail::iteratorsLocked();
    auto it = table.find(iterator);
    if (it == table.end() || it->second->refs <= 0)
        return IO_OBJECT_NULL;
    IteratorState& state = *it->second;
    if (state.queue.empty()) {
        if (state.isNotification)
            state.armed = true;
        return IO_OBJECT_NULL;
    }
    std::shared_ptr<vmac::detail::DeviceState> device;
    if (state.isNotification) {
        device = std::move(state.queue.back());
        state.queue.pop_back();
    } else {
        device = std::move(state.queue.front());
        state.queue.pop_front();
    }
    ++device->hidRefs;
    platform().changed.notify_all();
    return device->hidPort;
}

}  // extern "C"
