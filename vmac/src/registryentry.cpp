// Reading a registry entry without opening it: its path, its entry ID and its
// properties. Like a Mach port name, an entry is usable only while the client
// holds a reference to it. A terminated (unplugged) entry reads as before until
// it is detached; a detached entry keeps its ID but has no path and no
// properties.
#include "cfstring.h"
#include "nocancel.h"
#include "platformstate.h"

#include <cstring>

using vmac::detail::NoCancel;
using vmac::detail::platform;
using vmac::detail::PortEntry;

namespace {

// The entry behind `port` if the client holds a reference to it. Caller holds
// Platform::mutex.
const PortEntry* heldLocked(io_object_t port) {
    const PortEntry* found = vmac::detail::findPort(port);
    if (found == nullptr)
        return nullptr;
    const auto& state = *found->device;
    return (found->isParent ? state.parentRefs : state.hidRefs) > 0 ? found : nullptr;
}

}  // namespace

extern "C" {

kern_return_t IORegistryEntryGetPath(io_registry_entry_t entry, const io_name_t plane,
                                     io_string_t path) {
    NoCancel noCancel;
    if (plane == nullptr || path == nullptr || std::strcmp(plane, kIOServicePlane) != 0)
        return kIOReturnBadArgument;
    std::lock_guard<std::mutex> lock(platform().mutex);
    const PortEntry* found = heldLocked(entry);
    if (found == nullptr)
        return kIOReturnBadArgument;
    if (found->isParent)
        return kIOReturnUnsupported;  // the parents' own paths are not modelled
    const auto& state = *found->device;
    // Not in the plane any more, or too long for an io_string_t.
    if (state.detached || state.path.size() >= sizeof(io_string_t))
        return kIOReturnBadArgument;
    std::memcpy(path, state.path.c_str(), state.path.size() + 1);
    return kIOReturnSuccess;
}

CFStringRef IORegistryEntryCopyPath(io_registry_entry_t entry, const io_name_t plane) {
    std::string path;
    {
        NoCancel noCancel;
        if (plane == nullptr || std::strcmp(plane, kIOServicePlane) != 0)
            return nullptr;
        std::lock_guard<std::mutex> lock(platform().mutex);
        const PortEntry* found = heldLocked(entry);
        if (found == nullptr || found->isParent || found->device->detached)
            return nullptr;
        path = found->device->path;
    }
    return CFStringCreateWithCString(kCFAllocatorDefault, path.c_str(), kCFStringEncodingUTF8);
}

kern_return_t IORegistryEntryGetRegistryEntryID(io_registry_entry_t entry, uint64_t* entryID) {
    NoCancel noCancel;
    if (entryID == nullptr)
        return kIOReturnBadArgument;
    std::lock_guard<std::mutex> lock(platform().mutex);
    if (heldLocked(entry) == nullptr)
        return kIOReturnBadArgument;
    *entryID = vmac::detail::entryIdOf(entry);
    return kIOReturnSuccess;
}

// A new reference to the property's value (the caller releases it), or NULL.
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef, IOOptionBits) {
    NoCancel noCancel;
    const std::string& name = vmac::detail::stringText(key, "IORegistryEntryCreateCFProperty");
    std::lock_guard<std::mutex> lock(platform().mutex);
    const PortEntry* found = heldLocked(entry);
    if (found == nullptr || found->isParent || found->device->detached)
        return nullptr;
    const auto& properties = found->device->properties;
    auto it = properties.find(name);
    if (it == properties.end())
        return nullptr;
    return CFRetain(it->second);  // a retain never finalizes: safe under the lock
}

}  // extern "C"
