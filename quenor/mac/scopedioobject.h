// ScopedIOObject: sole owner of one I/O Registry reference (io_object_t and
// its aliases io_registry_entry_t, io_service_t). Move-only.
//
// adopt() takes over a reference the caller owns (IORegistryEntryFromPath,
// IORegistryEntryGetParentEntry); initializeInto() gives an out-parameter for
// calls that write the reference through a pointer. The destructor and
// reset() IOObjectRelease it; release() hands it back to the caller.
#pragma once

#include "quenor/mac/platform.h"

#include <cassert>
#include <utility>

namespace quenor::mac {

class ScopedIOObject {
public:
    ScopedIOObject() noexcept = default;

    static ScopedIOObject adopt(io_object_t object) noexcept { return ScopedIOObject(object); }

    ScopedIOObject(ScopedIOObject&& other) noexcept : object_(other.release()) {}

    ScopedIOObject& operator=(ScopedIOObject&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = other.release();
        }
        return *this;
    }

    ScopedIOObject(const ScopedIOObject&) = delete;
    ScopedIOObject& operator=(const ScopedIOObject&) = delete;

    ~ScopedIOObject() { reset(); }

    io_object_t get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != IO_OBJECT_NULL; }

    [[nodiscard]] io_object_t release() noexcept { return std::exchange(object_, IO_OBJECT_NULL); }

    void reset() noexcept {
        if (io_object_t object = std::exchange(object_, IO_OBJECT_NULL))
            IOObjectRelease(object);
    }

    // For an out-parameter; the owner must be empty, so nothing is leaked.
    io_object_t* initializeInto() noexcept {
        assert(object_ == IO_OBJECT_NULL);
        return &object_;
    }

private:
    explicit ScopedIOObject(io_object_t object) noexcept : object_(object) {}

    io_object_t object_ = IO_OBJECT_NULL;
};

}  // namespace quenor::mac
