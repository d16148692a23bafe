// CoreFoundation subset: numbers, strings, the seam's RAII owners, and the
// abort on releasing anything once too often.
#include "vmacfixture.h"

namespace vmactest {
namespace {

using CFTest = VmacTest;

// A lossy read is false yet stores a plain C conversion: the low bits, wrapped.
TEST_F(CFTest, NumberConversionIsFalseWhenLossyButStoresTheWrappedValue) {
    const int64_t big = (int64_t{1} << 32) + 7;
    const struct {
        int64_t value;
        bool exact;
        int32_t stored;
    } cases[] = {{big, false, 7}, {-big, false, -7}, {0xFFFFFFFF, false, -1}, {-65, true, -65}};
    for (const auto& c : cases) {
        auto number = ScopedCFRef<CFNumberRef>::adopt(vmac::makeNumber(c.value));
        int32_t out = 0;
        EXPECT_EQ(c.exact, CFNumberGetValue(number.get(), kCFNumberSInt32Type, &out)) << c.value;
        EXPECT_EQ(c.stored, out) << c.value;
    }
}

TEST_F(CFTest, StringsCheckTheirEncodingAndGetCStringNeedsRoomForTheZero) {
    const char* utf8 = "gr\xC3\xBC\xC3\x9F";  // 4 characters, 6 bytes
    EXPECT_EQ(nullptr,
              CFStringCreateWithCString(kCFAllocatorDefault, "\xC3(", kCFStringEncodingUTF8));
    // ASCII creation takes bytes from 0x80 up, as Latin-1 characters.
    auto latin = ScopedCFRef<CFStringRef>::adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, "\xFC!", kCFStringEncodingASCII));
    ASSERT_TRUE(latin);
    char latinText[8] = {};
    ASSERT_TRUE(
        CFStringGetCString(latin.get(), latinText, sizeof latinText, kCFStringEncodingUTF8));
    EXPECT_STREQ("\xC3\xBC!", latinText);
    auto text = ScopedCFRef<CFStringRef>::adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, utf8, kCFStringEncodingUTF8));
    ASSERT_EQ(CFStringGetTypeID(), CFGetTypeID(text.get()));
    char buffer[16] = "x";
    EXPECT_FALSE(CFStringGetCString(text.get(), buffer, sizeof buffer, kCFStringEncodingASCII));
    EXPECT_FALSE(CFStringGetCString(text.get(), buffer, 6, kCFStringEncodingUTF8));
    EXPECT_STREQ("x", buffer) << "a failed conversion writes nothing";
    ASSERT_TRUE(CFStringGetCString(text.get(), buffer, 7, kCFStringEncodingUTF8));
    EXPECT_STREQ(utf8, buffer);
}

using OverReleaseDeathTest = VmacTest;

// Each misuse runs in a child; the parent then drops its one reference.
TEST_F(OverReleaseDeathTest, AbortsNamingTheType) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto device = vmac::plugDevice("IOService:/twice");
    CFNumberRef number = vmac::makeNumber(1);
    EXPECT_DEATH((CFRelease(number), CFRetain(number)), "CFRetain .*released CFNumber");
    CFRelease(number);
    IOHIDDeviceRef hid = IOHIDDeviceCreate(kCFAllocatorDefault, device.entry());
    EXPECT_DEATH((CFRelease(hid), CFRelease(hid)), "CFRelease .*released IOHIDDevice");
    EXPECT_DEATH((CFRelease(hid), IOHIDDeviceOpen(hid, kIOHIDOptionsTypeNone)),
                 "IOHIDDeviceOpen called on a released IOHIDDevice");
    CFRelease(hid);
    io_registry_entry_t entry = IORegistryEntryFromPath(kIOMainPortDefault, "IOService:/twice");
    EXPECT_DEATH((IOObjectRelease(entry), IOObjectRelease(entry)),
                 "IOObjectRelease of io_object_t .* with no reference left");
    IOObjectRelease(entry);
    IOUSBInterfaceStruct190** intf = usbInterfaceOf(device.parentEntry()).release();
    EXPECT_DEATH(((*intf)->Release(intf), (*intf)->Release(intf)),
                 "Release of an already released IOUSBInterfaceStruct190");
    (*intf)->Release(intf);
    EXPECT_DEATH(CFRelease(nullptr), "CFRelease called with NULL");
    int32_t out;
    EXPECT_DEATH(
        CFNumberGetValue(reinterpret_cast<CFNumberRef>(CFSTR("x")), kCFNumberSInt32Type, &out),
        "CFNumberGetValue expects a CFNumber, got a CFString");
}

}  // namespace
}  // namespace vmactest
