// One usage pair of one HID device in the I/O Registry: what the enumerator lists
// and what the device monitor reports. A plain value, valid after the device is gone.
//
// A device has one entry per pair of its "DeviceUsagePairs": the usage page and
// usage of each application and physical collection of its report descriptor,
// without repeats (a mouse commonly lists (1,2) and (1,1)). Every entry of a
// device opens the same device; the pair decides only which usage the opened
// device reports and which report IDs filtering accepts. A device without pairs
// has one entry, index 0, for its primary usage.
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

    // A new descriptor (with a handle of its own) naming this entry by path, usage
    // pair and registry entry ID, ready for AbstractHidDevice::create. It opens
    // this device only, never another that has its path.
    HidDeviceDescriptor descriptor() const;
};
