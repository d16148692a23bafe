// The I/O Registry: entries by path, parents in the service plane, and the
// reference counts of the io_object_t ports handed to clients.
#include "nocancel.h"
#include "notices.h"
#include "object.h"
#include "platformstate.h"

#include <cstring>
#include <string>

using vmac::detail::NoCancel;
using vmac::detail::platform;

extern "C" {

const mach_port_t kIOMainPortDefault = MACH_PORT_NULL;
const mach_port_t kIOMasterPortDefault = MACH_PORT_NULL;

io_registry_entry_t IORegistryEntryFromPath(mach_port_t mainPort, const io_string_t path) {
    NoCancel noCancel;
    if (mainPort != MACH_PORT_NULL || path == nullptr)
        return IO_OBJECT_NULL;
    const std::string wanted(path, strnlen(path, sizeof(io_string_t)));
    std::lock_guard<std::mutex> lock(platform().mutex);
    // Entries without a location share a path: the kernel answers the first it
    // finds, here the oldest.
    for (const auto& entry : platform().plugged) {
        if (entry.second->path == wanted) {
            ++entry.second->hidRefs;
            return entry.second->hidPort;
        }
    }
    return IO_OBJECT_NULL;
}

kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const io_name_t plane,
                                            io_registry_entry_t* parent) {
    NoCancel noCancel;
    if (parent == nullptr || plane == nullptr)
        return kIOReturnBadArgument;
    // Only the service plane is modelled.
    if (std::strcmp(plane, kIOServicePlane) != 0)
        return kIOReturnBadArgument;
    std::lock_guard<std::mutex> lock(platform().mutex);
    const auto* found = vmac::detail::findPort(entry);
    if (found == nullptr)
        return kIOReturnBadArgument;
    auto& state = *found->device;
    if (found->isParent)
        return kIOReturnNoDevice;  // the parent's own parent is not modelled
    if (state.faults.parentLookupResult != kIOReturnSuccess)
        return state.faults.parentLookupResult;
    if (state.detached)
        return kIOReturnNoDevice;  // a terminated entry keeps its parent until detached
    ++state.parentRefs;
    *parent = state.parentPort;
    return kIOReturnSuccess;
}

boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className) {
    NoCancel noCancel;
    if (className == nullptr)
        return false;
    const std::string name = className;
    std::lock_guard<std::mutex> lock(platform().mutex);
    const auto* found = vmac::detail::findPort(object);
    if (found == nullptr)
        return false;
    if (name == "IOService" || name == "IORegistryEntry")
        return true;
    if (!found->isParent)
        return name == kIOHIDDeviceKey;
    return found->device->parentKind == vmac::ParentKind::UsbInterface &&
           name == "IOUSBHostInterface";
}

kern_return_t IOObjectRelease(io_object_t object) {
    NoCancel noCancel;
    if (vmac::detail::releaseIterator(object))
        return kIOReturnSuccess;
    std::lock_guard<std::mutex> lock(platform().mutex);
    const auto* found = vmac::detail::findPort(object);
    if (found == nullptr)
        return kIOReturnBadArgument;
    auto& state = *found->device;
    long& refs = found->isParent ? state.parentRefs : state.hidRefs;
    if (refs <= 0)
        vmac::detail::fatal(
            "IOObjectRelease of io_object_t 0x%x (%s entry of %s) with no reference left", object,
            found->isParent ? "parent" : "IOHIDDevice", state.path.c_str());
    --refs;
    platform().changed.notify_all();
    return kIOReturnSuccess;
}

}  // extern "C"
