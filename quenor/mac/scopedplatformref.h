// The RAII owners of platform references, one template with a policy per kind:
//
//   ScopedCFRef<T>         a CF object (T is a CF ref type such as IOHIDDeviceRef):
//                          released with CFRelease, retain() adds one with CFRetain.
//   ScopedIOObject         an I/O Registry reference (io_object_t and its aliases):
//                          released with IOObjectRelease; no retain().
//   ScopedCOMInterface<T>  a COM-style plug-in object held as T** (IOCFPlugInInterface,
//                          IOUSBInterfaceStruct190): (*p)->Release(p); no retain()
//                          (their counts are not thread-safe: share the owner).
//
// Each owner holds at most one reference and is move-only. adopt() takes over a
// reference the caller already owns (Create/Copy results, IORegistryEntryFromPath,
// QueryInterface); retain() adds a reference to a borrowed object. The destructor
// and reset() drop the reference; release() hands it back to the caller, who then
// owns it. initializeInto() gives an out-parameter to calls that write a reference
// through a pointer. Not thread-safe: one owner, one thread at a time.
#pragma once

#include <cassert>
#include <utility>

namespace quenor::mac {

template <typename T, typename Policy>
class ScopedPlatformRef {
public:
    ScopedPlatformRef() noexcept = default;

    static ScopedPlatformRef adopt(T object) noexcept { return ScopedPlatformRef(object); }

    static ScopedPlatformRef retain(T object) noexcept {
        if (object != T()) {
            Policy::retain(object);
        }
        return ScopedPlatformRef(object);
    }

    ScopedPlatformRef(ScopedPlatformRef&& other) noexcept : m_object(other.release()) {}

    ScopedPlatformRef& operator=(ScopedPlatformRef&& other) noexcept {
        if (this != &other) {
            reset();
            m_object = other.release();
        }
        return *this;
    }

    ScopedPlatformRef(const ScopedPlatformRef&) = delete;
    ScopedPlatformRef& operator=(const ScopedPlatformRef&) = delete;

    ~ScopedPlatformRef() { reset(); }

    T get() const noexcept { return m_object; }
    explicit operator bool() const noexcept { return m_object != T(); }

    [[nodiscard]] T release() noexcept { return std::exchange(m_object, T()); }

    void reset() noexcept {
        if (T object = std::exchange(m_object, T())) {
            Policy::release(object);
        }
    }

    // The owner must be empty, so that nothing is leaked.
    T* initializeInto() noexcept {
        assert(m_object == T());
        return &m_object;
    }

private:
    explicit ScopedPlatformRef(T object) noexcept : m_object(object) {}

    T m_object = T();
};

}  // namespace quenor::mac
