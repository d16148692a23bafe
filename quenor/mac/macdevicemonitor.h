// MacDeviceMonitor: tells an application when a matching HID device arrives and
// when it goes, with the same entries (descriptor, identity) as the enumerator.
//
// Roles and threads. The application constructs the monitor with a callback and
// calls start(). The monitor runs a thread of its own ("quenor-hid-mon") with a run
// loop, an IOKit notification port and two matching notifications (first match and
// terminated); every callback runs on that thread, one at a time. Devices present
// at start are reported first as arrivals marked `present` (unless `reportPresent` is false: then
// they are only remembered, and their removal is still reported), then changes in
// the order IOKit tells them: arrivals by age (registry entry ID), each device's
// usage pairs in pair order, and a device's removal after its arrival. A device
// that comes and goes before the monitor could read its path is not reported at
// all. Removals carry the entry as it was reported on arrival.
//
// The callback may call any library function, including opening the device it was
// told of, and stop() or the monitor's destruction. It must not throw: an exception
// that leaves it ends the program. It must not wait for another thread that is
// itself stopping this monitor.
//
// Stopping. stop() from any other thread returns only when no callback runs and
// none will, and the thread has ended with every platform object released. stop()
// from inside a callback returns at once; no further callback starts, and the
// thread ends when the callback returns. Notices that were pending are dropped.
// Destruction stops the monitor; destroying it from inside its own callback is
// allowed (the thread then finishes on its own).
//
// A monitor runs once: start() answers false if it was started before, or if the
// platform refused the port or a notification (nothing is then left running).
// start() and stop() (or destruction) of one monitor must not race each other from
// different application threads, except that stop() may be called from the
// callback and from several threads at once.
//
// Ownership. The monitor owns its thread's shared state; the thread owns the
// notification port, both notification iterators and the stop source, and releases
// them on itself before it ends.
#pragma once

#include <quenor/export.h>
#include <quenor/mac/hiddeviceentry.h>
#include <quenor/mac/hiddevicematch.h>

#include <functional>
#include <memory>
#include <thread>

struct QUENOR_EXPORT HidDeviceNotice {
    enum class Kind { Arrival, Removal };
    Kind kind = Kind::Arrival;
    HidDeviceEntry entry;
    // True for the arrivals of devices that were present when the monitor started (reported
    // first); false for devices that arrived later, and for every removal.
    bool present = false;
};

class QUENOR_EXPORT MacDeviceMonitor {
public:
    using Callback = std::function<void(const HidDeviceNotice&)>;

    // `callback` must not be empty (std::bad_function_call otherwise).
    explicit MacDeviceMonitor(Callback callback, const HidDeviceMatch& match = HidDeviceMatch(),
                              bool reportPresent = true);
    ~MacDeviceMonitor();

    MacDeviceMonitor(const MacDeviceMonitor&) = delete;
    MacDeviceMonitor& operator=(const MacDeviceMonitor&) = delete;

    // Starts the thread and returns once the notifications are in place (present
    // devices are then reported from the thread). False if started before or if the
    // platform refused.
    bool start();
    void stop();
    // Started, not failed, and not asked to stop.
    bool isRunning() const;

    struct Shared;  // the thread's state; defined in the source

private:
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;  // guarded by m_shared->mutex once started
};
