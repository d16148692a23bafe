// ScopedCOMInterface<T>: sole owner of one reference to a COM-style plug-in
// object held as T** (IOCFPlugInInterface, IOUSBInterfaceStruct190).
// Move-only.
//
// adopt() takes over a reference the caller owns (IOCreatePlugInInterfaceForService,
// QueryInterface); retain() adds one with (*p)->AddRef(p). The destructor and
// reset() call (*p)->Release(p); release() hands the reference back.
#pragma once

#include "quenor/mac/platform.h"

#include <utility>

namespace quenor::mac {

template <typename T>
class ScopedCOMInterface {
public:
    ScopedCOMInterface() noexcept = default;

    static ScopedCOMInterface adopt(T** object) noexcept { return ScopedCOMInterface(object); }

    static ScopedCOMInterface retain(T** object) noexcept {
        if (object != nullptr)
            (*object)->AddRef(object);
        return ScopedCOMInterface(object);
    }

    ScopedCOMInterface(ScopedCOMInterface&& other) noexcept : object_(other.release()) {}

    ScopedCOMInterface& operator=(ScopedCOMInterface&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = other.release();
        }
        return *this;
    }

    ScopedCOMInterface(const ScopedCOMInterface&) = delete;
    ScopedCOMInterface& operator=(const ScopedCOMInterface&) = delete;

    ~ScopedCOMInterface() { reset(); }

    T** get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    [[nodiscard]] T** release() noexcept { return std::exchange(object_, nullptr); }

    void reset() noexcept {
        if (T** object = std::exchange(object_, nullptr))
            (*object)->Release(object);
    }

private:
    explicit ScopedCOMInterface(T** object) noexcept : object_(object) {}

    T** object_ = nullptr;
};

}  // namespace quenor::mac
