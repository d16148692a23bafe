// VmacTest: the fixture of the platform's own tests. Each test starts from an
// empty registry and must end with every CF object, registry reference and COM
// reference it made released again. OpenDeviceTest adds a plugged device and
// one open device object on it. The helpers follow the Create rule: the caller
// owns what they return.
#pragma once

#include <vmac/control.h>
#include <vmac/gadget.h>
#include <vmac/platform.h>

#include "quenor/mac/platform.h"
#include "testkit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vmactest {

using quenor::mac::ScopedCFRef;
using quenor::mac::ScopedCOMInterface;
using quenor::mac::ScopedIOObject;

class VmacTest : public ::testing::Test {
protected:
    void SetUp() override {
        vmac::reset();
        before_ = vmac::LiveCounts::now();
    }

    void TearDown() override {
        vmac::reset();
        EXPECT_EQ(before_, vmac::LiveCounts::now()) << "leaked or over-released";
    }

private:
    vmac::LiveCounts before_;
};

inline ScopedCFRef<IOHIDDeviceRef> createHid(const vmac::VirtualDevice& device) {
    return ScopedCFRef<IOHIDDeviceRef>::adopt(
        IOHIDDeviceCreate(kCFAllocatorDefault, device.entry()));
}

class OpenDeviceTest : public VmacTest {
protected:
    void SetUp() override {
        VmacTest::SetUp();
        device_ = vmac::plugDevice("IOService:/open");
        hid_ = createHid(device_);
        ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid_.get(), kIOHIDOptionsTypeNone));
    }

    void TearDown() override {
        hid_.reset();
        VmacTest::TearDown();
    }

    vmac::VirtualDevice device_;
    ScopedCFRef<IOHIDDeviceRef> hid_;
};

inline IOReturn createPlugIn(io_service_t service, IOCFPlugInInterface*** plugIn) {
    SInt32 score = 0;
    return IOCreatePlugInInterfaceForService(service, kIOUSBInterfaceUserClientTypeID,
                                             kIOCFPlugInInterfaceID, plugIn, &score);
}

// The opening sequence the device uses: plug-in, QueryInterface, plug-in released.
inline ScopedCOMInterface<IOUSBInterfaceStruct190> usbInterfaceOf(io_service_t parent) {
    IOCFPlugInInterface** plugIn = nullptr;
    if (createPlugIn(parent, &plugIn) != kIOReturnSuccess || plugIn == nullptr)
        return {};
    auto owner = ScopedCOMInterface<IOCFPlugInInterface>::adopt(plugIn);
    IOUSBInterfaceStruct190** intf = nullptr;
    const HRESULT result =
        (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID190),
                                  reinterpret_cast<LPVOID*>(&intf));
    return result < 0 ? ScopedCOMInterface<IOUSBInterfaceStruct190>()
                      : ScopedCOMInterface<IOUSBInterfaceStruct190>::adopt(intf);
}

// The entry's path in the service plane, or "(no path)".
inline std::string pathOf(io_registry_entry_t entry) {
    auto path = ScopedCFRef<CFStringRef>::adopt(IORegistryEntryCopyPath(entry, kIOServicePlane));
    std::vector<char> text(4096);
    return path && CFStringGetCString(path.get(), text.data(), static_cast<CFIndex>(text.size()),
                                      kCFStringEncodingUTF8)
               ? std::string(text.data())
               : std::string("(no path)");
}

// The value of a CF number as SInt32; -1 and a failure if it is none.
inline int32_t int32Of(CFTypeRef number) {
    int32_t out = -1;
    EXPECT_TRUE(number != nullptr && CFGetTypeID(number) == CFNumberGetTypeID() &&
                CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt32Type, &out));
    return out;
}

}  // namespace vmactest
