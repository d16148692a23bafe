// IOHIDDevice: creation, open and seize rules, properties of any type,
// element matching, and what a device object does after unplug.
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
    auto second = createHid(device_);
    auto seizer = createHid(device_);
    EXPECT_EQ(3, device_.deviceObjectCount());
    EXPECT_EQ(kIOReturnNotOpen, IOHIDDeviceClose(second.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(second.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(2, device_.openCount());
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFStringRef mode = CFSTR("vmac.seize");
    uint8_t buffer[1] = {};
    int delivered = 0;
    IOHIDDeviceRegisterInputReportCallback(
        second.get(), buffer, sizeof buffer,
        [](void* count, IOReturn, void*, IOHIDReportType, uint32_t, uint8_t*, CFIndex) {
            ++*static_cast<int*>(count);
        },
        &delivered);
    IOHIDDeviceScheduleWithRunLoop(second.get(), loop, mode);

    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(seizer.get(), kIOHIDOptionsTypeSeizeDevice));
    EXPECT_TRUE(device_.isSeized());
    EXPECT_EQ(3, device_.openCount());
    const uint8_t byte = 1;
    CFIndex length = 1;
    EXPECT_EQ(kIOReturnExclusiveAccess,
              IOHIDDeviceSetReport(second.get(), kIOHIDReportTypeOutput, 0, &byte, 1));
    EXPECT_EQ(kIOReturnExclusiveAccess,
              IOHIDDeviceGetReport(second.get(), kIOHIDReportTypeFeature, 0, buffer, &length));
    EXPECT_EQ(kIOReturnSuccess,
              IOHIDDeviceSetReport(seizer.get(), kIOHIDReportTypeOutput, 0, &byte, 1));
    EXPECT_EQ(vmac::Outcome::Dropped, device_.injectInputReport(1, {1}).outcome());
    EXPECT_EQ(kIOReturnExclusiveAccess,
              IOHIDDeviceOpen(createHid(device_).get(), kIOHIDOptionsTypeNone))
        << "open objects stay open; new opens are refused";
    EXPECT_EQ(kIOReturnSuccess, IOHIDDeviceClose(seizer.get(), kIOHIDOptionsTypeSeizeDevice));
    vmac::Ticket resumed = device_.injectInputReport(1, {1});
    CFRunLoopRunInMode(mode, 0.0, true);
    EXPECT_EQ(vmac::Outcome::Delivered, resumed.outcome());
    EXPECT_EQ(1, delivered);
    IOHIDDeviceUnscheduleFromRunLoop(second.get(), loop, mode);
    EXPECT_EQ(kIOReturnSuccess, IOHIDDeviceClose(hid_.get(), kIOHIDOptionsTypeNone));
    second.reset();  // releasing an open object closes it
    EXPECT_EQ(0, device_.openCount());

    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(seizer.get(), kIOHIDOptionsTypeSeizeDevice));
    EXPECT_TRUE(device_.isSeized());
    EXPECT_EQ(kIOReturnExclusiveAccess, IOHIDDeviceOpen(hid_.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(kIOReturnExclusiveAccess, IOHIDDeviceOpen(hid_.get(), kIOHIDOptionsTypeSeizeDevice));
    EXPECT_EQ((std::vector<IOOptionBits>{kIOHIDOptionsTypeSeizeDevice}), device_.openOptions());
    EXPECT_EQ(kIOReturnSuccess, IOHIDDeviceClose(seizer.get(), kIOHIDOptionsTypeSeizeDevice));
    EXPECT_EQ((std::vector<IOOptionBits>{kIOHIDOptionsTypeSeizeDevice, kIOHIDOptionsTypeNone,
                                         kIOHIDOptionsTypeSeizeDevice}),
              device_.closeCalls());
    EXPECT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid_.get(), kIOHIDOptionsTypeNone));
}

TEST_F(HidDeviceTest, PropertiesKeepTheirTypesAndBorrowedOnesOutliveAChange) {
    device_.setNumberProperty("MaxInputReportSize", 65);
    device_.setStringProperty("Product", "Old");
    device_.setNumberProperty("Manufacturer", 7);  // the wrong type on purpose
    auto hid = createHid(device_);
    EXPECT_EQ(65, int32Of(IOHIDDeviceGetProperty(hid.get(), CFSTR("MaxInputReportSize"))));
    EXPECT_EQ(7, int32Of(IOHIDDeviceGetProperty(hid.get(), CFSTR("Manufacturer"))));
    EXPECT_EQ(nullptr, IOHIDDeviceGetProperty(hid.get(), CFSTR("SerialNumber")));

    CFTypeRef product = IOHIDDeviceGetProperty(hid.get(), CFSTR("Product"));
    ASSERT_EQ(CFStringGetTypeID(), CFGetTypeID(product));
    device_.setStringProperty("Product", "New");
    device_.removeProperty("Product");
    // Still the object's cached value, and still alive (ASan would object).
    EXPECT_EQ(product, IOHIDDeviceGetProperty(hid.get(), CFSTR("Product")));
    char buffer[8];
    EXPECT_TRUE(CFStringGetCString(static_cast<CFStringRef>(product), buffer, sizeof buffer,
                                   kCFStringEncodingUTF8));
    EXPECT_STREQ("Old", buffer);
    EXPECT_EQ(nullptr, IOHIDDeviceGetProperty(createHid(device_).get(), CFSTR("Product")));
}

TEST_F(HidDeviceTest, ElementsMatchByUsagePageAndOutliveTheUnplugUnlikeTheDevice) {
    device_.addElement({0xFF00, 1, 2});
    device_.addElement({0x0001, 6, 9});
    device_.addElement({0xFF00, 2, 1});
    device_.setStringProperty("Product", "Gone");
    auto hid = createHid(device_);
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid.get(), kIOHIDOptionsTypeNone));
    auto all =
        ScopedCFRef<CFArrayRef>::adopt(IOHIDDeviceCopyMatchingElements(hid.get(), nullptr, 0));
    ASSERT_EQ(3, CFArrayGetCount(all.get()));
    auto vendor = elementsOnPage(hid.get(), 0xFF00);
    ASSERT_EQ(2, CFArrayGetCount(vendor.get()));
    EXPECT_EQ(2u, reportIdAt(vendor.get(), 0));
    EXPECT_EQ(1u, reportIdAt(vendor.get(), 1));
    EXPECT_EQ(0, CFArrayGetCount(elementsOnPage(hid.get(), 0x0C).get()));

    device_.unplug();
    EXPECT_EQ(9u, reportIdAt(all.get(), 1));
    EXPECT_EQ(nullptr, IOHIDDeviceCopyMatchingElements(hid.get(), nullptr, 0));
    EXPECT_EQ(nullptr, IOHIDDeviceGetProperty(hid.get(), CFSTR("Product")));
    EXPECT_EQ(kIOReturnNotAttached, IOHIDDeviceOpen(hid.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(kIOReturnNotAttached, IOHIDDeviceClose(hid.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(nullptr, IOHIDDeviceCreate(kCFAllocatorDefault, device_.entry()));
}

}  // namespace
}  // namespace vmactest
