// The macOS device handle: the I/O Registry path of a HID device and the index of the usage pair
// to open it for.
//
// The application creates it and wraps it in a HidDeviceDescriptor; the macOS device reads it
// back (through a run-time type check) each time it opens. It needs no platform and builds on
// every host. No locking: do not change a shared handle while another thread reads it.
#pragma once

#include <quenor/export.h>
#include <quenor/hiddescriptorhandlebase.h>

#include <string>

class QUENOR_EXPORT MacDeviceDescriptorHandle : public HidDescriptorHandleBase {
public:
    // `usagePairIndex` selects an entry of the device's "DeviceUsagePairs"; a negative or
    // out-of-range index makes the device fall back to its primary usage pair.
    MacDeviceDescriptorHandle(const std::wstring& devicePath, int usagePairIndex);
    ~MacDeviceDescriptorHandle() override;

    // The path, "/", and the index in decimal: IOService:/A/B/2, IOService:/A/B/-1.
    std::wstring toString() const override;
    // Equal to another MacDeviceDescriptorHandle with the same path (exact, case-sensitive) and
    // the same index; never equal to null or to another kind of handle.
    bool equals(const HidDescriptorHandleBase* other) const override;

    // The path as IORegistryEntryFromPath takes it: each wide character narrowed to its low 8
    // bits, no encoding applied. Registry paths are plain ASCII, so nothing is lost for them.
    std::string devicePath();
    void setDevicePath(const std::wstring& path);
    void setUsagePairIndex(int index);
    int getUsagePairIndex() const;

private:
    std::wstring m_devicePath;
    int m_usagePairIndex;
};
