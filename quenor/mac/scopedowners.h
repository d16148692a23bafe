// The owners the device code uses for CF objects, registry references and COM
// interfaces: ScopedPlatformRef with the platform's own retain and release.
#pragma once

#include "quenor/mac/scopedplatformref.h"

namespace quenor::mac {

struct CFPolicy {
    static void retain(CFTypeRef object) { CFRetain(object); }
    static void release(CFTypeRef object) { CFRelease(object); }
};

struct IOObjectPolicy {
    static void release(io_object_t object) { IOObjectRelease(object); }
};

template <typename T>
struct COMPolicy {
    static void retain(T** object) { (*object)->AddRef(object); }
    static void release(T** object) { (*object)->Release(object); }
};

template <typename T>
using ScopedCFRef = ScopedPlatformRef<T, CFPolicy>;
using ScopedIOObject = ScopedPlatformRef<io_object_t, IOObjectPolicy>;
template <typename T>
using ScopedCOMInterface = ScopedPlatformRef<T**, COMPolicy<T>>;

}  // namespace quenor::mac
