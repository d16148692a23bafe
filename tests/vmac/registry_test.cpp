// I/O Registry: lookup by path, the parent in the service plane, reference
// counts, plug-in creation and QueryInterface, and the opening faults.
#include "vmacfixture.h"

#include "quenor/mac/platform.h"

namespace vmactest {
namespace {

using quenor::mac::ScopedCFRef;
using quenor::mac::ScopedCOMInterface;
using quenor::mac::ScopedIOObject;

// The opening sequence the device uses, step by step.
ScopedCOMInterface<IOUSBInterfaceStruct190> usbInterfaceOf(io_service_t parent,
                                                           HRESULT* queryResult = nullptr) {
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    if (IOCreatePlugInInterfaceForService(parent, kIOUSBInterfaceUserClientTypeID,
                                          kIOCFPlugInInterfaceID, &plugIn, &score) != 0 ||
        plugIn == nullptr)
        return {};
    auto owner = ScopedCOMInterface<IOCFPlugInInterface>::adopt(plugIn);
    IOUSBInterfaceStruct190** intf = nullptr;
    const HRESULT result =
        (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID190),
                                  reinterpret_cast<LPVOID*>(&intf));
    if (queryResult != nullptr)
        *queryResult = result;
    if (result < 0)
        return {};
    return ScopedCOMInterface<IOUSBInterfaceStruct190>::adopt(intf);
}

using RegistryTest = VmacTest;

TEST_F(RegistryTest, PathFindsThePluggedDeviceAndEachLookupIsAReference) {
    auto device = vmac::plugDevice("IOService:/a/b/HID@1");
    const long before = vmac::liveIOObjectReferences();
    io_registry_entry_t first =
        IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/a/b/HID@1");
    io_registry_entry_t second =
        IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/a/b/HID@1");
    EXPECT_EQ(device.entry(), first);
    EXPECT_EQ(first, second);
    EXPECT_EQ(before + 2, vmac::liveIOObjectReferences());
    EXPECT_EQ(kIOReturnSuccess, IOObjectRelease(first));
    EXPECT_EQ(kIOReturnSuccess, IOObjectRelease(second));
    EXPECT_EQ(before, vmac::liveIOObjectReferences());
    EXPECT_EQ(IO_OBJECT_NULL, IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/a/b"));
}

TEST_F(RegistryTest, UnpluggedPathIsGoneAndCanBePluggedAgain) {
    auto device = vmac::plugDevice("IOService:/again");
    EXPECT_THROW(vmac::plugDevice("IOService:/again"), std::invalid_argument);
    device.unplug();
    EXPECT_FALSE(device.isPlugged());
    EXPECT_EQ(IO_OBJECT_NULL, IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/again"));
    auto replacement = vmac::plugDevice("IOService:/again");
    EXPECT_NE(device.entry(), replacement.entry());
}

TEST_F(RegistryTest, ParentInTheServicePlaneIsAnOwnedReference) {
    auto device = vmac::plugDevice("IOService:/p");
    auto entry =
        ScopedIOObject::adopt(IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/p"));
    ScopedIOObject parent;
    ASSERT_EQ(kIOReturnSuccess,
              IORegistryEntryGetParentEntry(entry.get(), kIOServicePlane, parent.initializeInto()));
    EXPECT_EQ(device.parentEntry(), parent.get());
    io_registry_entry_t other = IO_OBJECT_NULL;
    EXPECT_NE(kIOReturnSuccess, IORegistryEntryGetParentEntry(entry.get(), "IOUSB", &other));
    EXPECT_EQ(IO_OBJECT_NULL, other);
}

TEST_F(RegistryTest, UsbParentYieldsTheInterfaceThroughThePlugIn) {
    auto device = vmac::plugDevice("IOService:/usb");
    const long comBefore = vmac::liveCOMReferences();
    {
        HRESULT result = -1;
        auto intf = usbInterfaceOf(device.parentEntry(), &result);
        EXPECT_EQ(S_OK, result);
        ASSERT_TRUE(intf);
        EXPECT_EQ(comBefore + 1, vmac::liveCOMReferences()) << "the plug-in is released";
        auto extra = ScopedCOMInterface<IOUSBInterfaceStruct190>::retain(intf.get());
        EXPECT_EQ(comBefore + 2, vmac::liveCOMReferences());
    }
    EXPECT_EQ(comBefore, vmac::liveCOMReferences());
}

TEST_F(RegistryTest, PlugInRefusesOtherParentsAndUnknownInterfaces) {
    auto plain = vmac::plugDevice("IOService:/plain", vmac::ParentKind::Other);
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score;
    EXPECT_EQ(kIOReturnUnsupported, IOCreatePlugInInterfaceForService(
                                        plain.parentEntry(), kIOUSBInterfaceUserClientTypeID,
                                        kIOCFPlugInInterfaceID, &plugIn, &score));
    EXPECT_EQ(nullptr, plugIn);
    // The HID entry itself is not a USB interface either.
    auto usb = vmac::plugDevice("IOService:/usb2");
    EXPECT_NE(kIOReturnSuccess,
              IOCreatePlugInInterfaceForService(usb.entry(), kIOUSBInterfaceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score));
    ASSERT_EQ(kIOReturnSuccess,
              IOCreatePlugInInterfaceForService(usb.parentEntry(), kIOUSBInterfaceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score));
    auto owner = ScopedCOMInterface<IOCFPlugInInterface>::adopt(plugIn);
    LPVOID other = reinterpret_cast<LPVOID>(1);
    EXPECT_EQ(E_NOINTERFACE,
              (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceUserClientTypeID),
                                        &other));
    EXPECT_EQ(nullptr, other);
}

TEST_F(RegistryTest, EachOpeningStepFailsOnDemand) {
    auto device = vmac::plugDevice("IOService:/faulty");
    auto entry =
        ScopedIOObject::adopt(IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/faulty"));

    vmac::OpenFaults faults;
    faults.createReturnsNull = true;
    device.setOpenFaults(faults);
    EXPECT_EQ(nullptr, IOHIDDeviceCreate(kCFAllocatorDefault, entry.get()));

    faults = {};
    faults.parentLookupResult = kIOReturnNoResources;
    device.setOpenFaults(faults);
    io_registry_entry_t parent = IO_OBJECT_NULL;
    EXPECT_EQ(kIOReturnNoResources,
              IORegistryEntryGetParentEntry(entry.get(), kIOServicePlane, &parent));

    faults = {};
    faults.plugInResult = kIOReturnNoResources;
    device.setOpenFaults(faults);
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score;
    EXPECT_EQ(kIOReturnNoResources, IOCreatePlugInInterfaceForService(
                                        device.parentEntry(), kIOUSBInterfaceUserClientTypeID,
                                        kIOCFPlugInInterfaceID, &plugIn, &score));
    faults.plugInResult = kIOReturnSuccess;
    faults.plugInNull = true;
    device.setOpenFaults(faults);
    EXPECT_EQ(kIOReturnSuccess, IOCreatePlugInInterfaceForService(
                                    device.parentEntry(), kIOUSBInterfaceUserClientTypeID,
                                    kIOCFPlugInInterfaceID, &plugIn, &score));
    EXPECT_EQ(nullptr, plugIn);

    faults = {};
    faults.queryResult = E_NOINTERFACE;
    device.setOpenFaults(faults);
    HRESULT result = S_OK;
    EXPECT_FALSE(usbInterfaceOf(device.parentEntry(), &result));
    EXPECT_EQ(E_NOINTERFACE, result);
    faults.queryResult = S_OK;
    faults.queryReturnsNull = true;
    device.setOpenFaults(faults);
    EXPECT_FALSE(usbInterfaceOf(device.parentEntry(), &result));
    EXPECT_EQ(S_OK, result);

    faults = {};
    faults.openResult = kIOReturnNotPrivileged;
    device.setOpenFaults(faults);
    auto hid =
        ScopedCFRef<IOHIDDeviceRef>::adopt(IOHIDDeviceCreate(kCFAllocatorDefault, entry.get()));
    ASSERT_TRUE(hid);
    EXPECT_EQ(kIOReturnNotPrivileged, IOHIDDeviceOpen(hid.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(0, device.openCount());
}

using RegistryDeathTest = VmacTest;

TEST_F(RegistryDeathTest, ReleasingAReferenceTwiceAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto device = vmac::plugDevice("IOService:/twice");
    EXPECT_DEATH(
        {
            io_registry_entry_t entry =
                IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/twice");
            IOObjectRelease(entry);
            IOObjectRelease(entry);
        },
        "IOObjectRelease of io_object_t .* with no reference left");
    EXPECT_DEATH(
        {
            auto intf = usbInterfaceOf(device.parentEntry());
            IOUSBInterfaceStruct190** raw = intf.release();
            (*raw)->Release(raw);
            (*raw)->Release(raw);
        },
        "Release of an already released IOUSBInterfaceStruct190");
}

}  // namespace
}  // namespace vmactest
