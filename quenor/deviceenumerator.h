// A copyable cursor over the devices of one class: a facade over one NativeDeviceEnumerator.
//
// Ownership: the facade owns its implementation (possibly none) and deletes it through the
// interface when it is destroyed or when an assignment replaces it. Copies, and move
// construction too, clone the implementation: the source keeps its own object and position.
// Move assignment takes the source's object and leaves the source without one. Copy assignment
// from a facade without implementation leaves the target as it was.
//
// Without implementation (constructed from a null pointer, or moved from) the facade is an
// empty cursor: count() is 0, atEnd() and atBegin() are true, get() is an empty descriptor and
// the moves do nothing and answer false.
//
// Threads: a cursor is used by one thread at a time; distinct copies are independent.
#pragma once

#include <quenor/export.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/nativedeviceenumerator.h>

class QUENOR_EXPORT DeviceEnumerator {
public:
    // Takes the implementation from nativeDeviceEnumeratorCreateHelper(deviceClass): on macOS a
    // snapshot of every HID device (MacNativeDeviceEnumerator).
    explicit DeviceEnumerator(QuenorDeviceClass deviceClass);
    // Adopts `impl`, which may be null.
    explicit DeviceEnumerator(NativeDeviceEnumerator* impl);
    DeviceEnumerator(const DeviceEnumerator& other);
    // Clones like the copy constructor; `other` keeps its implementation and position.
    DeviceEnumerator(DeviceEnumerator&& other);
    DeviceEnumerator& operator=(const DeviceEnumerator& other);
    DeviceEnumerator& operator=(DeviceEnumerator&& other);
    ~DeviceEnumerator();

    DeviceEnumerator& operator++();
    // A cursor at the old position; this one has advanced.
    DeviceEnumerator operator++(int);
    DeviceEnumerator& operator--();
    // A cursor at the old position; this one has gone back.
    DeviceEnumerator operator--(int);

    bool moveToNext();
    bool moveToPrevious();
    HidDeviceDescriptor get();
    int count();
    bool atEnd();
    bool atBegin();
    bool moveTo(int index);

private:
    NativeDeviceEnumerator* m_impl;  // owned; may be null
};
