// IOHIDDevice: creation, open and seize rules, properties of any type,
// element matching, and what a device object does after unplug.
#include "vmacfixture.h"

#include "quenor/mac/platform.h"

namespace vmactest {
namespace {

using quenor::mac::ScopedCFRef;

class HidDeviceTest : public VmacTest {
protected:
    void SetUp() override {
        VmacTest::SetUp();
        device_ = vmac::plugDevice("IOService:/hid");
    }

    ScopedCFRef<IOHIDDeviceRef> create() {
        return ScopedCFRef<IOHIDDeviceRef>::adopt(
            IOHIDDeviceCreate(kCFAllocatorDefault, device_.entry()));
    }

    vmac::VirtualDevice device_;
};

TEST_F(HidDeviceTest, SeveralObjectsMayBeCreatedAndEachIsReleasedOnce) {
    {
        auto first = create();
        auto second = create();
        ASSERT_TRUE(first);
        ASSERT_TRUE(second);
        EXPECT_NE(first.get(), second.get());
        EXPECT_EQ(2, device_.deviceObjectCount());
    }
    EXPECT_EQ(0, device_.deviceObjectCount());
}

TEST_F(HidDeviceTest, SharedOpensCoexist) {
    auto first = create();
    auto second = create();
    EXPECT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(first.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(second.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(2, device_.openCount());
    EXPECT_FALSE(device_.isSeized());
}

TEST_F(HidDeviceTest, SeizedDeviceRefusesOtherOpens) {
    auto seizer = create();
    auto other = create();
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(seizer.get(), kIOHIDOptionsTypeSeizeDevice));
    EXPECT_TRUE(device_.isSeized());
    EXPECT_EQ(kIOReturnExclusiveAccess, IOHIDDeviceOpen(other.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(kIOReturnExclusiveAccess, IOHIDDeviceOpen(other.get(), kIOHIDOptionsTypeSeizeDevice));
    EXPECT_EQ((std::vector<IOOptionBits>{kIOHIDOptionsTypeSeizeDevice}), device_.openOptions());
    EXPECT_EQ(kIOReturnSuccess, IOHIDDeviceClose(seizer.get(), kIOHIDOptionsTypeSeizeDevice));
    EXPECT_EQ((std::vector<IOOptionBits>{kIOHIDOptionsTypeSeizeDevice}), device_.closeCalls());
    EXPECT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(other.get(), kIOHIDOptionsTypeNone));
}

TEST_F(HidDeviceTest, OpenDeviceRefusesASeize) {
    auto opener = create();
    auto seizer = create();
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(opener.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(kIOReturnExclusiveAccess,
              IOHIDDeviceOpen(seizer.get(), kIOHIDOptionsTypeSeizeDevice));
    EXPECT_FALSE(device_.isSeized());
    EXPECT_EQ(1, device_.openCount());
}

TEST_F(HidDeviceTest, ReleasingAnOpenObjectClosesIt) {
    auto seizer = create();
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(seizer.get(), kIOHIDOptionsTypeSeizeDevice));
    seizer.reset();
    EXPECT_EQ(0, device_.openCount());
    auto other = create();
    EXPECT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(other.get(), kIOHIDOptionsTypeNone));
}

TEST_F(HidDeviceTest, ClosingAnObjectThatIsNotOpenFails) {
    auto hid = create();
    EXPECT_EQ(kIOReturnNotOpen, IOHIDDeviceClose(hid.get(), kIOHIDOptionsTypeNone));
    EXPECT_TRUE(device_.closeCalls().empty());
}

TEST_F(HidDeviceTest, PropertiesKeepTheirTypesAndMissingOnesAreNull) {
    device_.setNumberProperty("MaxInputReportSize", 65);
    device_.setStringProperty("Product", "Widget");
    device_.setNumberProperty("Manufacturer", 7);  // the wrong type on purpose
    CFArrayRef pairs = vmac::makeUsagePairs({{0xFF00, 1}});
    device_.setProperty("DeviceUsagePairs", pairs);
    CFRelease(pairs);
    auto hid = create();

    CFTypeRef size = IOHIDDeviceGetProperty(hid.get(), CFSTR("MaxInputReportSize"));
    ASSERT_NE(nullptr, size);
    ASSERT_EQ(CFNumberGetTypeID(), CFGetTypeID(size));
    int32_t value = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(size), kCFNumberSInt32Type, &value);
    EXPECT_EQ(65, value);
    CFTypeRef product = IOHIDDeviceGetProperty(hid.get(), CFSTR("Product"));
    ASSERT_NE(nullptr, product);
    EXPECT_EQ(CFStringGetTypeID(), CFGetTypeID(product));
    EXPECT_EQ(CFNumberGetTypeID(),
              CFGetTypeID(IOHIDDeviceGetProperty(hid.get(), CFSTR("Manufacturer"))));
    EXPECT_EQ(CFArrayGetTypeID(),
              CFGetTypeID(IOHIDDeviceGetProperty(hid.get(), CFSTR("DeviceUsagePairs"))));
    EXPECT_EQ(nullptr, IOHIDDeviceGetProperty(hid.get(), CFSTR("SerialNumber")));
}

TEST_F(HidDeviceTest, BorrowedPropertyOutlivesAChangeOfTheProperty) {
    device_.setStringProperty("Product", "Old");
    auto hid = create();
    CFTypeRef before = IOHIDDeviceGetProperty(hid.get(), CFSTR("Product"));
    device_.setStringProperty("Product", "New");
    device_.removeProperty("Product");
    // Still the object's cached value, and still alive (ASan would object).
    EXPECT_EQ(before, IOHIDDeviceGetProperty(hid.get(), CFSTR("Product")));
    char buffer[8];
    EXPECT_TRUE(CFStringGetCString(static_cast<CFStringRef>(before), buffer, sizeof buffer,
                                   kCFStringEncodingUTF8));
    EXPECT_STREQ("Old", buffer);
    auto fresh = create();
    EXPECT_EQ(nullptr, IOHIDDeviceGetProperty(fresh.get(), CFSTR("Product")));
}

TEST_F(HidDeviceTest, ElementsMatchByUsagePage) {
    device_.addElement({0xFF00, 1, 2});
    device_.addElement({0x0001, 6, 9});
    device_.addElement({0xFF00, 2, 1});
    auto hid = create();
    auto all =
        ScopedCFRef<CFArrayRef>::adopt(IOHIDDeviceCopyMatchingElements(hid.get(), nullptr, 0));
    ASSERT_TRUE(all);
    EXPECT_EQ(3, CFArrayGetCount(all.get()));

    auto matching = ScopedCFRef<CFMutableDictionaryRef>::adopt(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    const int page = 0xFF00;
    auto number = ScopedCFRef<CFNumberRef>::adopt(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &page));
    CFDictionarySetValue(matching.get(), CFSTR("UsagePage"), number.get());
    auto vendor = ScopedCFRef<CFArrayRef>::adopt(
        IOHIDDeviceCopyMatchingElements(hid.get(), matching.get(), kIOHIDOptionsTypeNone));
    ASSERT_TRUE(vendor);
    ASSERT_EQ(2, CFArrayGetCount(vendor.get()));
    EXPECT_EQ(2u, IOHIDElementGetReportID(static_cast<IOHIDElementRef>(
                      const_cast<void*>(CFArrayGetValueAtIndex(vendor.get(), 0)))));
    EXPECT_EQ(1u, IOHIDElementGetReportID(static_cast<IOHIDElementRef>(
                      const_cast<void*>(CFArrayGetValueAtIndex(vendor.get(), 1)))));

    const int none = 0x0C;
    auto other = ScopedCFRef<CFNumberRef>::adopt(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &none));
    CFDictionarySetValue(matching.get(), CFSTR("UsagePage"), other.get());
    auto empty = ScopedCFRef<CFArrayRef>::adopt(
        IOHIDDeviceCopyMatchingElements(hid.get(), matching.get(), kIOHIDOptionsTypeNone));
    ASSERT_TRUE(empty);
    EXPECT_EQ(0, CFArrayGetCount(empty.get()));
}

TEST_F(HidDeviceTest, ElementsOutliveTheUnplugInACopiedArray) {
    device_.addElement({1, 2, 3});
    auto hid = create();
    auto elements =
        ScopedCFRef<CFArrayRef>::adopt(IOHIDDeviceCopyMatchingElements(hid.get(), nullptr, 0));
    device_.unplug();
    EXPECT_EQ(3u, IOHIDElementGetReportID(static_cast<IOHIDElementRef>(
                      const_cast<void*>(CFArrayGetValueAtIndex(elements.get(), 0)))));
    EXPECT_EQ(nullptr, IOHIDDeviceCopyMatchingElements(hid.get(), nullptr, 0));
}

TEST_F(HidDeviceTest, AfterUnplugCallsFailAndCreateGivesNull) {
    device_.setStringProperty("Product", "Gone");
    auto hid = create();
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid.get(), kIOHIDOptionsTypeNone));
    device_.unplug();
    EXPECT_EQ(nullptr, IOHIDDeviceGetProperty(hid.get(), CFSTR("Product")));
    EXPECT_EQ(kIOReturnNoDevice, IOHIDDeviceOpen(hid.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(kIOReturnNoDevice, IOHIDDeviceClose(hid.get(), kIOHIDOptionsTypeNone));
    EXPECT_EQ(nullptr, IOHIDDeviceCreate(kCFAllocatorDefault, device_.entry()));
}

using HidDeviceDeathTest = HidDeviceTest;

TEST_F(HidDeviceDeathTest, OverReleasedDeviceObjectAbortsNamingItsType) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            IOHIDDeviceRef hid = IOHIDDeviceCreate(kCFAllocatorDefault, device_.entry());
            CFRelease(hid);
            CFRelease(hid);
        },
        "CFRelease of an already released IOHIDDevice");
}

}  // namespace
}  // namespace vmactest
