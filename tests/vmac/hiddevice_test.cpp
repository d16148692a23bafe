// IOHIDDevice: open and seize rules, properties of any type (as a gadget sets
// them), element matching, and what a device object does after unplug.
#include "vmacfixture.h"

#include <vector>

namespace vmactest {
namespace {

using HidDeviceTest = OpenDeviceTest;

ScopedCFRef<CFArrayRef> elementsOnPage(IOHIDDeviceRef hid, int page) {
    auto matching = ScopedCFRef<CFMutableDictionaryRef>::adopt(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    auto number = ScopedCFRef<CFNumberRef>::adopt(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &page));
    CFDictionarySetValue(matching.get(), CFSTR("UsagePage"), number.get());
    return ScopedCFRef<CFArrayRef>::adopt(
        IOHIDDeviceCopyMatchingElements(hid, matching.get(), kIOHIDOptionsTypeNone));
}

uint32_t reportIdAt(CFArrayRef elements, CFIndex index) {
    return IOHIDElementGetReportID(
        static_cast<IOHIDElementRef>(const_cast<void*>(CFArrayGetValueAtIndex(elements, index))));
}

// A seize is granted over shared opens and pre-empts them: their report calls
// answer kIOReturnExclusiveAccess and their reports stop, until it closes.
TEST_F(HidDeviceTest, SeizeWinsOverSharedOpensAndExcludesNewOnes) {
    auto seizer = createHid(device_);
    EXPECT_EQ(kIOReturnNotOpen, IOHIDDeviceClose(seizer.get(), kIOHIDOptionsTypeNone));
    CFStringRef mode = CFSTR("vmac.seize");
    uint8_t buffer[1] = {};
    int delivered = 0;
    IOHIDDeviceRegisterInputReportCallback(
        hid_.get(), buffer, sizeof buffer,
        [](void* count, IOReturn, void*, IOHIDReportType, uint32_t, uint8_t*, CFIndex) {
            ++*static_cast<int*>(count);
        },
        &delivered);
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), CFRunLoopGetCurrent(), mode);

    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(seizer.get(), kIOHIDOptionsTypeSeizeDevice));
    EXPECT_TRUE(device_.isSeized());
    EXPECT_EQ((std::vector<IOOptionBits>{kIOHIDOptionsTypeNone, kIOHIDOptionsTypeSeizeDevice}),
              device_.openOptions());
    CFIndex length = 1;
    EXPECT_EQ(kIOReturnExclusiveAccess,
              IOHIDDeviceSetReport(hid_.get(), kIOHIDReportTypeOutput, 0, buffer, 1));
    EXPECT_EQ(kIOReturnExclusiveAccess,
              IOHIDDeviceGetReport(hid_.get(), kIOHIDReportTypeFeature, 0, buffer, &length));
    EXPECT_EQ(kIOReturnSuccess,
              IOHIDDeviceSetReport(seizer.get(), kIOHIDReportTypeOutput, 0, buffer, 1));
    EXPECT_EQ(vmac::Outcome::Dropped, device_.injectInputReport(1, {1}).outcome());
    for (IOOptionBits options : {kIOHIDOptionsTypeNone, kIOHIDOptionsTypeSeizeDevice})
        EXPECT_EQ(kIOReturnExclusiveAccess, IOHIDDeviceOpen(createHid(device_).get(), options))
            << "open objects stay open; new opens are refused";
    EXPECT_EQ(kIOReturnSuccess, IOHIDDeviceClose(seizer.get(), kIOHIDOptionsTypeSeizeDevice));
    vmac::Ticket resumed = device_.injectInputReport(1, {1});
    CFRunLoopRunInMode(mode, 0.0, true);
    EXPECT_EQ(vmac::Outcome::Delivered, resumed.outcome());
    EXPECT_EQ(1, delivered);
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), CFRunLoopGetCurrent(), mode);
    EXPECT_EQ(kIOReturnSuccess, IOHIDDeviceClose(hid_.get(), kIOHIDOptionsTypeNone));
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(seizer.get(), kIOHIDOptionsTypeNone));
    seizer.reset();  // releasing an open object closes it
    EXPECT_EQ(0, device_.openCount());
    EXPECT_EQ((std::vector<IOOptionBits>{kIOHIDOptionsTypeSeizeDevice, kIOHIDOptionsTypeNone}),
              device_.closeCalls());
}

// A gadget's properties are in place with the types it gave them (a field left empty is no
// property); a value handed out is the object's own and outlives a change of the device's.
TEST_F(VmacTest, PropertiesKeepTheirTypesAndBorrowedOnesOutliveAChange) {
    vmac::Gadget pad;
    pad.vendorId = 0x1209, pad.product = "Old", pad.maxInputReportSize = 65;
    pad.usagePairs = {{0xFF00, 1}, {0x000C, 1}};
    pad.transport = "USB";
    pad.properties["Transport"] = vmac::HeldValue::adopt(vmac::makeNumber(5));  // wins, as a number
    pad.properties["Manufacturer"] = 7LL;  // the wrong type on purpose
    vmac::VirtualDevice device = pad.plug();
    auto hid = createHid(device);
    const auto property = [&hid](CFStringRef key) {
        return IOHIDDeviceGetProperty(hid.get(), key);
    };
    EXPECT_EQ(0x1209, int32Of(property(CFSTR("VendorID"))));
    EXPECT_EQ(65, int32Of(property(CFSTR("MaxInputReportSize"))));
    EXPECT_EQ(5, int32Of(property(CFSTR("Transport"))));
    EXPECT_EQ(7, int32Of(property(CFSTR("Manufacturer"))));
    EXPECT_EQ(nullptr, property(CFSTR("SerialNumber")));
    const CFTypeRef pairs = property(CFSTR("DeviceUsagePairs"));
    ASSERT_TRUE(pairs && CFGetTypeID(pairs) == CFArrayGetTypeID());
    EXPECT_EQ(2, CFArrayGetCount(static_cast<CFArrayRef>(pairs)));

    CFTypeRef product = property(CFSTR("Product"));
    ASSERT_TRUE(product && CFGetTypeID(product) == CFStringGetTypeID());
    device.setStringProperty("Product", "New");
    device.removeProperty("Product");
    // Still the object's cached value, and still alive (ASan would object).
    EXPECT_EQ(product, property(CFSTR("Product")));
    char buffer[8];
    EXPECT_TRUE(CFStringGetCString(static_cast<CFStringRef>(product), buffer, sizeof buffer,
                                   kCFStringEncodingUTF8));
    EXPECT_STREQ("Old", buffer);
    EXPECT_EQ(nullptr, IOHIDDeviceGetProperty(createHid(device).get(), CFSTR("Product")));
}

// Elements, as a gadget describes them, match by usage page and outlive the unplug; the
// device object does not.
TEST_F(VmacTest, ElementsMatchByUsagePageAndOutliveTheUnplugUnlikeTheDevice) {
    vmac::Gadget gadget;
    gadget.elements = {{0xFF00, 1, 2}, {0x0001, 6, 9}, {0xFF00, 2, 1}};
    gadget.product = "Gone";
    vmac::VirtualDevice device = gadget.plug();
    auto hid = createHid(device);
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid.get(), kIOHIDOptionsTypeNone));
    auto all =
        ScopedCFRef<CFArrayRef>::adopt(IOHIDDeviceCopyMatchingElements(hid.get(), nullptr, 0));
    ASSERT_EQ(3, CFArrayGetCount(all.get()));
    auto vendor = elementsOnPage(hid.get(), 0xFF00);
    ASSERT_EQ(2, CFArrayGetCount(vendor.get()));
    EXPECT_EQ(2u, reportIdAt(vendor.get(), 0));
    EXPECT_EQ(1u, reportIdAt(vendor.get(), 1));
    EXPECT_EQ(0, CFArrayGetCount(elementsOnPage(hid.get(), 0x0C).get()));

    device.unplug();
    EXPECT_EQ(9u, reportIdAt(all.get(), 1));
    EXPECT_EQ(nullptr, IOHIDDeviceCopyMatchingElements(hid.get(), nullptr, 0));
    EXPECT_EQ(nullptr, IOHIDDeviceGetProperty(hid.get(), CFSTR("Product")));
    EXPECT_EQ(kIOReturnNotAttached, IOHIDDeviceOpen(hid.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(kIOReturnNotAttached, IOHIDDeviceClose(hid.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(nullptr, IOHIDDeviceCreate(kCFAllocatorDefault, device.entry()));
}

}  // namespace
}  // namespace vmactest
