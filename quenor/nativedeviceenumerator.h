// The platform side of device enumeration: a cursor over the devices of one class.
//
// DeviceEnumerator owns exactly one implementation object and forwards every cursor operation to
// it; copies of the facade clone the implementation, so each cursor has its own position. On
// macOS nativeDeviceEnumeratorCreateHelper(QuenorDeviceClass::Hid) returns a
// MacNativeDeviceEnumerator: a snapshot of the HID devices in the I/O Registry. An implementation
// need not be thread-safe: one cursor is used by one thread at a time.
#pragma once

#include <quenor/export.h>
#include <quenor/hiddevicedescriptor.h>

// A class of devices to enumerate.
enum class QuenorDeviceClass { Hid };

class QUENOR_EXPORT NativeDeviceEnumerator {
public:
    virtual ~NativeDeviceEnumerator();
    // A new object at the same position, owned by the caller.
    virtual NativeDeviceEnumerator* clone() = 0;
    // The device at the current position.
    virtual HidDeviceDescriptor get() = 0;
    virtual bool atEnd() = 0;
    virtual bool atBegin() = 0;
    virtual int count() = 0;
    // The moves answer true when the position changed.
    virtual bool moveToNext() = 0;
    virtual bool moveToPrevious() = 0;
    virtual bool moveTo(int index) = 0;
};

// A new implementation for `deviceClass`, owned by the caller, or null when the platform has none.
QUENOR_EXPORT NativeDeviceEnumerator* nativeDeviceEnumeratorCreateHelper(
    QuenorDeviceClass deviceClass);
