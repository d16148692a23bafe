// I/O Registry and the USB interface behind it: lookup by path, the parent in
// the service plane, plug-in and QueryInterface. The interface's answers are
// held to their contract by the device suites, which use them.
#include "vmacfixture.h"

#include <string>
#include <utility>
#include <vector>

namespace vmactest {
namespace {

using RegistryTest = VmacTest;

TEST_F(RegistryTest, PathFindsThePluggedDeviceAndEachLookupIsAReference) {
    const char* path = "IOService:/a/b/HID@1";
    auto device = vmac::plugDevice(path);
    const long before = vmac::liveIOObjectReferences();
    io_registry_entry_t first = IORegistryEntryFromPath(kIOMainPortDefault, path);
    io_registry_entry_t second = IORegistryEntryFromPath(kIOMainPortDefault, path);
    EXPECT_EQ(std::make_pair(device.entry(), device.entry()), std::make_pair(first, second));
    EXPECT_EQ(before + 2, vmac::liveIOObjectReferences());
    EXPECT_EQ(kIOReturnSuccess, IOObjectRelease(first));
    EXPECT_EQ(kIOReturnSuccess, IOObjectRelease(second));
    EXPECT_EQ(before, vmac::liveIOObjectReferences());
    EXPECT_EQ(IO_OBJECT_NULL, IORegistryEntryFromPath(kIOMainPortDefault, "IOService:/a/b"));

    device.unplug();
    EXPECT_FALSE(device.isPlugged());
    EXPECT_EQ(IO_OBJECT_NULL, IORegistryEntryFromPath(kIOMainPortDefault, path));
    EXPECT_NE(device.entry(), vmac::plugDevice(path).entry());
}

uint64_t entryIdOf(io_registry_entry_t entry) {
    uint64_t id = 0;
    EXPECT_EQ(kIOReturnSuccess, IORegistryEntryGetRegistryEntryID(entry, &id));
    return id;
}

std::string copiedPath(io_registry_entry_t entry) {
    auto path = ScopedCFRef<CFStringRef>::adopt(IORegistryEntryCopyPath(entry, kIOServicePlane));
    std::vector<char> text(4096);
    return path && CFStringGetCString(path.get(), text.data(), static_cast<CFIndex>(text.size()),
                                      kCFStringEncodingUTF8)
               ? std::string(text.data())
               : std::string("(no path)");
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
    EXPECT_NE(older.entryId(), newerId);
    auto byPath = ScopedIOObject::adopt(IORegistryEntryFromPath(MACH_PORT_NULL, shared));
    EXPECT_EQ(older.entry(), byPath.get());
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
    EXPECT_EQ(deep, copiedPath(entry.get()));
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
    auto hid = createHid(device);
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid.get(), kIOHIDOptionsTypeNone));
    device.unplug();
    EXPECT_FALSE(device.isDetached());
    EXPECT_EQ(path, copiedPath(entry.get()));
    EXPECT_TRUE(vendor());
    EXPECT_EQ(IO_OBJECT_NULL, IORegistryEntryFromPath(MACH_PORT_NULL, path)) << "not active";
    device.holdDetach();
    IOHIDDeviceClose(hid.get(), kIOHIDOptionsTypeNone);
    EXPECT_FALSE(device.isDetached()) << "held";
    EXPECT_TRUE(vendor());
    device.holdDetach(false);
    EXPECT_TRUE(device.isDetached());
    io_string_t buffer = {};
    EXPECT_EQ(kIOReturnBadArgument, IORegistryEntryGetPath(entry.get(), kIOServicePlane, buffer));
    EXPECT_EQ("(no path)", copiedPath(entry.get()));
    EXPECT_FALSE(vendor());
    EXPECT_NE(0u, entryIdOf(entry.get())) << "the ID stays readable";
}

TEST_F(RegistryTest, ParentIsAUsbInterfaceWhosePlugInGivesOnlyThatInterface) {
    auto device = vmac::plugDevice("IOService:/p");
    ScopedIOObject parent;
    ASSERT_EQ(kIOReturnSuccess, IORegistryEntryGetParentEntry(device.entry(), kIOServicePlane,
                                                              parent.initializeInto()));
    EXPECT_EQ(device.parentEntry(), parent.get());
    io_registry_entry_t other = IO_OBJECT_NULL;
    EXPECT_NE(kIOReturnSuccess, IORegistryEntryGetParentEntry(device.entry(), "IOUSB", &other));
    EXPECT_EQ(IO_OBJECT_NULL, other);
    EXPECT_TRUE(usbInterfaceOf(parent.get()));

    IOCFPlugInInterface** plugIn = nullptr;
    EXPECT_NE(kIOReturnSuccess, createPlugIn(device.entry(), &plugIn)) << "the HID entry";
    auto plain = vmac::plugDevice("IOService:/plain", vmac::ParentKind::Other);
    EXPECT_EQ(kIOReturnUnsupported, createPlugIn(plain.parentEntry(), &plugIn));
    EXPECT_EQ(nullptr, plugIn);
    ASSERT_EQ(kIOReturnSuccess, createPlugIn(parent.get(), &plugIn));
    auto owner = ScopedCOMInterface<IOCFPlugInInterface>::adopt(plugIn);
    LPVOID unknown = &other;
    EXPECT_EQ(E_NOINTERFACE,
              (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceUserClientTypeID),
                                        &unknown));
    EXPECT_EQ(nullptr, unknown);
}

}  // namespace
}  // namespace vmactest
