// Platform: the one registry of the process (libvmac is a shared library, so
// the library under test and the tests see the same instance).
//
// `mutex` guards the registry, every DeviceState and every device object's
// mutable state. It is never held while a client callback runs or while a CF
// object is released (a release may finalize an object that takes it again).
// `changed` is notified on every change a control-API wait may look for.
#pragma once

#include "callfaults.h"
#include "devicestate.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

namespace vmac::detail {

struct PortEntry {
    std::shared_ptr<DeviceState> device;
    bool isParent = false;
};

struct Platform {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::shared_ptr<DeviceState>> plugged;  // by path; guarded by mutex
    // Every port ever handed out, so that stale ports are recognised; guarded by mutex.
    std::map<io_object_t, PortEntry> ports;
    io_object_t nextPort = 0x1003;  // guarded by mutex
    std::atomic<long> comReferences{0};
    CallFaults callFaults;  // the process-wide ones; guarded by mutex
    InputMonitoring inputMonitoring = InputMonitoring::Granted;  // guarded by mutex
};

Platform& platform();

// The entry behind `port`, or null. Caller holds Platform::mutex.
const PortEntry* findPort(io_object_t port);

}  // namespace vmac::detail
