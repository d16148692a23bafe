// ScopedCFRef<T>: sole owner of one reference to a CF object (T is a CF ref
// type such as IOHIDDeviceRef or CFStringRef). Move-only.
//
// adopt() takes over a reference the caller already owns (results of Create
// and Copy calls); retain() CFRetain()s a borrowed one. The destructor and
// reset() CFRelease it; release() hands it back to the caller, who then owns
// it. Not thread-safe: one owner, one thread at a time.
#pragma once

#include "quenor/mac/platform.h"

#include <utility>

namespace quenor::mac {

template <typename T>
class ScopedCFRef {
public:
    ScopedCFRef() noexcept = default;

    static ScopedCFRef adopt(T object) noexcept { return ScopedCFRef(object); }

    static ScopedCFRef retain(T object) noexcept {
        if (object != nullptr)
            CFRetain(object);
        return ScopedCFRef(object);
    }

    ScopedCFRef(ScopedCFRef&& other) noexcept : object_(other.release()) {}

    ScopedCFRef& operator=(ScopedCFRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = other.release();
        }
        return *this;
    }

    ScopedCFRef(const ScopedCFRef&) = delete;
    ScopedCFRef& operator=(const ScopedCFRef&) = delete;

    ~ScopedCFRef() { reset(); }

    T get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    [[nodiscard]] T release() noexcept { return std::exchange(object_, nullptr); }

    void reset() noexcept {
        if (T object = std::exchange(object_, nullptr))
            CFRelease(object);
    }

private:
    explicit ScopedCFRef(T object) noexcept : object_(object) {}

    T object_ = nullptr;
};

}  // namespace quenor::mac
