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
#include "quenor/mac/macdevicedescriptorhandle.h"
#include "quenor/mac/platform.h"

namespace quenor::mac {

// The wanted entries of the HID device `service`, one per usage pair in pair order
// (a device without usage pairs has one, index 0). Empty when the device has left
// the registry (its path no longer reads) or `match` wants none of its pairs.
std::vector<HidDeviceEntry> readDeviceEntries(io_registry_entry_t service,
                                              const HidDeviceMatch& match);

// The identity of `entry` for the usage pair at `pairIndex`.
HidDeviceIdentity readIdentity(io_registry_entry_t entry, int pairIndex);

// Whether the entry's parent in the service plane is a USB interface (a USB HID
// device); Bluetooth, SPI and user-space devices have none.
bool hasUsbInterfaceParent(io_registry_entry_t entry);

// The registered, active entry `handle` names: by its registry entry ID when it
// has one (never another device that took its path), else by its path. Empty when
// there is none; `status` then says why (kIOReturnNoDevice, or kIOReturnBadArgument
// for a path of 512 bytes or more, which IORegistryEntryFromPath cannot take).
ScopedIOObject findEntry(MacDeviceDescriptorHandle& handle, int64_t& status);

// The entry's registry entry ID; 0 when it cannot be read.
uint64_t registryEntryId(io_registry_entry_t entry);

// A matching dictionary for every HID device: the class alone. IOHIDFamily fails
// any further criterion (vendor, product, usage page...) for a device that
// publishes no "DeviceUsagePairs", so callers filter the entries themselves with
// HidDeviceMatch instead. Empty when it cannot be made.
ScopedCFRef<CFMutableDictionaryRef> makeHidDeviceMatching();

// Oldest device first (registry entry ID), then pair index.
void sortEntries(std::vector<HidDeviceEntry>& entries);

}  // namespace quenor::mac
