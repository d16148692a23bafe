// The owners the device code uses for CF objects, registry references and COM
// interfaces: ScopedPlatformRef with the platform's own retain and release.
#pragma once

#include <memory>

#include "quenor/mac/scopedplatformref.h"

namespace quenor::mac {

struct CFPolicy {
    static void retain(CFTypeRef object) { CFRetain(object); }
    static void release(CFTypeRef object) { CFRelease(object); }
};

struct IOObjectPolicy {
    static void release(io_object_t object) { IOObjectRelease(object); }
};

// No retain(): a plug-in or USB interface counts its references with a plain
// integer, so an AddRef on one thread and a Release on another can lose a count.
// Code that shares an interface across threads shares its one owner instead
// (SharedUsbInterface).
template <typename T>
struct COMPolicy {
    static void release(T** object) { (*object)->Release(object); }
};

template <typename T>
using ScopedCFRef = ScopedPlatformRef<T, CFPolicy>;
using ScopedIOObject = ScopedPlatformRef<io_object_t, IOObjectPolicy>;
template <typename T>
using ScopedCOMInterface = ScopedPlatformRef<T**, COMPolicy<T>>;

// The USB interface of an open device, shared by its private object and by each
// operation that calls it. The one COM reference, taken at opening, is given
// back exactly once, on the thread of whichever holder lets go last; the
// shared pointer's own count is atomic. So the interface is never AddRef'd or
// Released concurrently, whatever threads the operations run on.
using SharedUsbInterface = std::shared_ptr<const ScopedCOMInterface<IOUSBInterfaceStruct190>>;

// The platform device of an open device, shared the same way: the private
// object holds one share from the open on, and each operation that calls the
// device copies it for the length of its call. Copying a share is an atomic
// increment, where a CFRetain per operation would be a platform call.
using SharedDevice = std::shared_ptr<const ScopedCFRef<IOHIDDeviceRef>>;

}  // namespace quenor::mac
