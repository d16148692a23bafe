// The macOS device handle: the I/O Registry path of a HID device, the index of the usage pair
// to open it for and, when known, the device's registry entry ID.
//
// A path does not always name one device: entries attached without a location share their path
// (every user-space HID device is IOService:/IOResources/IOHIDResource/
// IOHIDResourceDeviceUserClient/IOHIDUserDevice), and the registry answers a path with whichever
// such entry it finds first. The registry entry ID is unique and never reused while the system
// runs, so a handle that carries one (every descriptor made from an enumerator entry or a monitor
// notice does) names exactly one device: opening finds the entry by ID, and fails once that device
// has gone, even if another has taken its path. A handle without an ID (0) is found by path.
//
// The application creates it and wraps it in a HidDeviceDescriptor; the macOS device reads it
// back (through a run-time type check) each time it opens. It needs no platform and builds on
// every host. No locking: do not change a shared handle while another thread reads it.
#pragma once

#include <quenor/export.h>
#include <quenor/hiddescriptorhandlebase.h>

#include <cstdint>
#include <string>

class QUENOR_EXPORT MacDeviceDescriptorHandle : public HidDescriptorHandleBase {
public:
    // `usagePairIndex` selects an entry of the device's "DeviceUsagePairs"; a negative or
    // out-of-range index makes the device fall back to its primary usage pair.
    MacDeviceDescriptorHandle(const std::wstring& devicePath, int usagePairIndex);
    // `registryEntryId` as IORegistryEntryGetRegistryEntryID reads it; 0: none (found by path).
    MacDeviceDescriptorHandle(const std::wstring& devicePath, int usagePairIndex,
                              uint64_t registryEntryId);
    ~MacDeviceDescriptorHandle() override;

    // The path, "/", and the index in decimal: IOService:/A/B/2, IOService:/A/B/-1.
    std::wstring toString() const override;
    // Equal to another MacDeviceDescriptorHandle with the same index and, when both carry an
    // entry ID, the same ID (their paths may differ: a path may be read at different times),
    // otherwise the same path (exact, case-sensitive); never equal to null or to another kind
    // of handle.
    bool equals(const HidDescriptorHandleBase* other) const override;

    // The path as IORegistryEntryFromPath takes it: each wide character narrowed to its low 8
    // bits, no encoding applied. Registry paths are plain ASCII, so nothing is lost for them.
    std::string devicePath();
    // A new path names another device: the registry entry ID is dropped (0).
    void setDevicePath(const std::wstring& path);
    void setUsagePairIndex(int index);
    int getUsagePairIndex() const;
    // The registry entry ID; 0 when the handle has none.
    uint64_t registryEntryId() const;

private:
    std::wstring m_devicePath;
    int m_usagePairIndex;
    uint64_t m_registryEntryId = 0;
};
