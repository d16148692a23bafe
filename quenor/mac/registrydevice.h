// Reading HID devices from the I/O Registry without opening them: the ground the
// enumerator, the device monitor and readHidDeviceIdentity share.
//
// Any thread; no lock. Registry entries passed in are borrowed; every reference
// and property value taken here is released before the function returns.
#pragma once

#include <cstdint>
#include <vector>

#include "quenor/mac/hiddeviceentry.h"
#include "quenor/mac/hiddevicematch.h"
#include "quenor/mac/platform.h"

namespace quenor::mac {

// The wanted entries of the HID device `service`, one per usage pair in pair order
// (a device without usage pairs has one, index 0). Empty when the device has left
// the registry (its path no longer reads) or `match` wants none of its pairs.
std::vector<HidDeviceEntry> readDeviceEntries(io_registry_entry_t service,
                                              const HidDeviceMatch& match);

// The identity of `entry` for the usage pair at `pairIndex`.
HidDeviceIdentity readIdentity(io_registry_entry_t entry, int pairIndex);

// The entry's registry entry ID; 0 when it cannot be read.
uint64_t registryEntryId(io_registry_entry_t entry);

// A matching dictionary for HID devices that `match` may want: the device class,
// "VendorID" and "ProductID" when given, and "DeviceUsagePage" (with "DeviceUsage")
// when a page is given. The platform's matching is coarser than `match` (a device
// passes if any pair matches), so callers filter the entries again. Empty when it
// cannot be made.
ScopedCFRef<CFMutableDictionaryRef> makeMatchingDictionary(const HidDeviceMatch& match);

// Oldest device first (registry entry ID), then pair index.
void sortEntries(std::vector<HidDeviceEntry>& entries);

}  // namespace quenor::mac
