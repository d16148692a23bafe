// One usage pair of one HID device in the I/O Registry: what the enumerator lists
// and what the device monitor reports. A plain value, valid after the device is gone.
#pragma once

#include <quenor/export.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/hiddeviceidentity.h>

#include <cstdint>
#include <string>

struct QUENOR_EXPORT HidDeviceEntry {
    std::wstring path;             // the device's service-plane path
    int usagePairIndex = 0;        // which of its "DeviceUsagePairs"; 0 when it has none
    uint64_t registryEntryId = 0;  // unique while the system runs; orders entries by age
    HidDeviceIdentity identity;    // read when the entry was listed or arrived

    // A new descriptor (with a handle of its own) naming this entry, ready for
    // AbstractHidDevice::create.
    HidDeviceDescriptor descriptor() const;
};
