// The macOS device enumerator: a snapshot of the HID devices in the I/O Registry.
//
// The snapshot is taken once, at construction: every IOHIDDevice that the match
// wants, one entry per usage pair (a device without "DeviceUsagePairs" gives one
// entry, index 0), oldest device first (registry entry ID), then pair index. Devices
// that come or go later do not change it; a MacDeviceMonitor tells of those.
// get() hands out a new descriptor (its own MacDeviceDescriptorHandle: the device's
// service-plane path and the pair's index) for AbstractHidDevice::create.
//
// Positions run from 0 to count(); count() is the end. Clones share the snapshot
// (it never changes) and keep a position of their own. Every registry reference
// and property value read while taking the snapshot is released before the
// constructor returns, on every path. One cursor is used by one thread at a time.
#pragma once

#include <quenor/export.h>
#include <quenor/mac/hiddeviceentry.h>
#include <quenor/mac/hiddevicematch.h>
#include <quenor/nativedeviceenumerator.h>

#include <memory>
#include <vector>

class QUENOR_EXPORT MacNativeDeviceEnumerator : public NativeDeviceEnumerator {
public:
    explicit MacNativeDeviceEnumerator(const HidDeviceMatch& match = HidDeviceMatch());
    ~MacNativeDeviceEnumerator() override;

    NativeDeviceEnumerator* clone() override;
    // The entry at the position; an empty descriptor at the end.
    HidDeviceDescriptor get() override;
    bool atEnd() override;
    bool atBegin() override;
    int count() override;
    // False at the end (or the beginning) and for an index outside 0..count().
    bool moveToNext() override;
    bool moveToPrevious() override;
    bool moveTo(int index) override;

    // The entry at the position (path, index, entry ID, identity); an empty entry at
    // the end.
    HidDeviceEntry entry() const;
    // The whole snapshot, in order.
    const std::vector<HidDeviceEntry>& entries() const;

private:
    using Snapshot = std::shared_ptr<const std::vector<HidDeviceEntry>>;
    MacNativeDeviceEnumerator(Snapshot snapshot, int position);

    Snapshot m_entries;  // shared with clones; never changed
    int m_position = 0;
};
