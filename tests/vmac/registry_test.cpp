// I/O Registry and the USB interface behind it: lookup by path, the parent in
// the service plane, plug-in and QueryInterface. The interface's answers are
// held to their contract by the device suites, which use them.
#include "vmacfixture.h"

#include <string>

namespace vmactest {
namespace {

using RegistryTest = VmacTest;

uint64_t entryIdOf(io_registry_entry_t entry) {
    uint64_t id = 0;
    EXPECT_EQ(kIOReturnSuccess, IORegistryEntryGetRegistryEntryID(entry, &id));
    return id;
}

// Entries without a location share their path: the path finds the oldest, the
// entry ID each one. A path of 512 bytes or more is read only as a CFString.
TEST_F(RegistryTest, SharedPathsFindTheOldestAndEntryIdsFindEachDevice) {
    const char* shared =
        "IOService:/IOResources/IOHIDResource/IOHIDResourceDeviceUserClient/"
        "IOHIDUserDevice";
    auto older = vmac::plugDevice(shared, vmac::ParentKind::Other);
    auto newer = vmac::plugDevice(shared, vmac::ParentKind::Other);
    const uint64_t newerId = newer.entryId();
    EXPECT_LT(older.entryId(), newerId) << "entry IDs grow with age";
    uint64_t id = 0;
    auto byPath = ScopedIOObject::adopt(IORegistryEntryFromPath(MACH_PORT_NULL, shared));
    EXPECT_EQ(older.entry(), byPath.get());
    EXPECT_EQ(IO_OBJECT_NULL, IORegistryEntryFromPath(MACH_PORT_NULL, "IOService:/IOResources"));
    EXPECT_EQ(older.entryId(), entryIdOf(byPath.get()));
    auto byId = ScopedIOObject::adopt(
        IOServiceGetMatchingService(MACH_PORT_NULL, IORegistryEntryIDMatching(newerId)));
    EXPECT_EQ(newer.entry(), byId.get());
    EXPECT_EQ(IO_OBJECT_NULL,
              IOServiceGetMatchingService(MACH_PORT_NULL, IORegistryEntryIDMatching(newerId + 99)));
    EXPECT_EQ(IO_OBJECT_NULL, IOServiceGetMatchingService(MACH_PORT_NULL, nullptr));
    older.unplug();
    byPath = ScopedIOObject::adopt(IORegistryEntryFromPath(MACH_PORT_NULL, shared));
    EXPECT_EQ(newer.entry(), byPath.get());
    // Without a reference the name is dead.
    byId.reset();
    const io_registry_entry_t stale = byPath.get();
    byPath.reset();
    EXPECT_EQ(kIOReturnBadArgument, IORegistryEntryGetRegistryEntryID(stale, &id));
    newer.unplug();
    EXPECT_EQ(IO_OBJECT_NULL,
              IOServiceGetMatchingService(MACH_PORT_NULL, IORegistryEntryIDMatching(newerId)))
        << "an entry ID finds only a registered, active service";

    const std::string deep = "IOService:/" + std::string(600, 'h') + "/HID@1";
    auto far = vmac::plugDevice(deep);
    auto entry = ScopedIOObject::adopt(
        IOServiceGetMatchingService(MACH_PORT_NULL, IORegistryEntryIDMatching(far.entryId())));
    io_string_t buffer = {};
    EXPECT_EQ(kIOReturnBadArgument, IORegistryEntryGetPath(entry.get(), kIOServicePlane, buffer));
    EXPECT_EQ(deep, pathOf(entry.get()));
    EXPECT_EQ(nullptr, IORegistryEntryCopyPath(entry.get(), "IODeviceTree"));
}

// Termination comes first; the entry is detached when its last client closes
// it (or the test lets go of it): only then do its path and properties go.
TEST_F(RegistryTest, ATerminatedEntryReadsUntilItIsDetached) {
    const char* path = "IOService:/t/HID@2";
    auto device = vmac::plugDevice(path);
    device.setNumberProperty("VendorID", 7);
    auto entry = ScopedIOObject::adopt(IORegistryEntryFromPath(MACH_PORT_NULL, path));
    const auto vendor = [&] {
        return ScopedCFRef<CFTypeRef>::adopt(
                   IORegistryEntryCreateCFProperty(entry.get(), CFSTR("VendorID"),
                                                   kCFAllocatorDefault, 0))
                   .get() != nullptr;
    };
    io_string_t buffer = {};
    EXPECT_EQ(kIOReturnBadArgument, IORegistryEntryGetPath(entry.get(), "IODeviceTree", buffer));
    auto hid = createHid(device);
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid.get(), kIOHIDOptionsTypeNone));
    device.unplug();
    EXPECT_FALSE(device.isDetached());
    EXPECT_EQ(path, pathOf(entry.get()));
    EXPECT_TRUE(vendor());
    EXPECT_EQ(IO_OBJECT_NULL, IORegistryEntryFromPath(MACH_PORT_NULL, path)) << "not active";
    device.holdDetach();
    IOHIDDeviceClose(hid.get(), kIOHIDOptionsTypeNone);
    EXPECT_FALSE(device.isDetached()) << "held";
    EXPECT_TRUE(vendor());
    device.holdDetach(false);
    EXPECT_TRUE(device.isDetached());
    EXPECT_EQ(kIOReturnBadArgument, IORegistryEntryGetPath(entry.get(), kIOServicePlane, buffer));
    EXPECT_EQ("(no path)", pathOf(entry.get()));
    EXPECT_FALSE(vendor());
    EXPECT_NE(0u, entryIdOf(entry.get())) << "the ID stays readable";
}

// The parent in the service plane is the USB interface (the device suite opens it); the
// plug-in is refused anywhere else and gives only that interface.
TEST_F(RegistryTest, ParentIsAUsbInterfaceWhosePlugInGivesOnlyThatInterface) {
    auto device = vmac::plugDevice("IOService:/p");
    io_registry_entry_t other = IO_OBJECT_NULL;
    EXPECT_NE(kIOReturnSuccess, IORegistryEntryGetParentEntry(device.entry(), "IOUSB", &other));
    EXPECT_EQ(IO_OBJECT_NULL, other);
    IOCFPlugInInterface** plugIn = nullptr;
    EXPECT_NE(kIOReturnSuccess, createPlugIn(device.entry(), &plugIn)) << "the HID entry";
    auto plain = vmac::plugDevice("IOService:/plain", vmac::ParentKind::Other);
    EXPECT_EQ(kIOReturnUnsupported, createPlugIn(plain.parentEntry(), &plugIn));
    EXPECT_EQ(nullptr, plugIn);
    ASSERT_EQ(kIOReturnSuccess, createPlugIn(device.parentEntry(), &plugIn));
    auto owner = ScopedCOMInterface<IOCFPlugInInterface>::adopt(plugIn);
    LPVOID unknown = &other;
    EXPECT_EQ(E_NOINTERFACE,
              (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceUserClientTypeID),
                                        &unknown));
    EXPECT_EQ(nullptr, unknown);
}

}  // namespace
}  // namespace vmactest
