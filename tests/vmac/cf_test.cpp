// CoreFoundation subset: numbers, strings, collections, UUIDs, counting and
// the over-release abort.
#include "vmacfixture.h"

#include <cstring>

namespace vmactest {
namespace {

using CFTest = VmacTest;

TEST_F(CFTest, NumberReadsBackAsSInt32AndKnowsItsType) {
    const int32_t value = -65;
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value);
    ASSERT_NE(nullptr, number);
    EXPECT_EQ(CFNumberGetTypeID(), CFGetTypeID(number));
    EXPECT_NE(CFStringGetTypeID(), CFGetTypeID(number));
    int32_t out = 0;
    EXPECT_TRUE(CFNumberGetValue(number, kCFNumberSInt32Type, &out));
    EXPECT_EQ(-65, out);
    int intOut = 0;
    EXPECT_TRUE(CFNumberGetValue(number, kCFNumberIntType, &intOut));
    EXPECT_EQ(-65, intOut);
    CFRelease(number);
}

TEST_F(CFTest, LossyConversionIsFalseButStoresTheBestAttempt) {
    const int64_t big = (int64_t{1} << 32) + 7;
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &big);
    int32_t out = 0;
    EXPECT_FALSE(CFNumberGetValue(number, kCFNumberSInt32Type, &out));
    EXPECT_EQ(7, out);
    CFRelease(number);

    const double real = 3.75;
    number = CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &real);
    EXPECT_FALSE(CFNumberGetValue(number, kCFNumberSInt32Type, &out));
    EXPECT_EQ(3, out);
    CFRelease(number);

    const int32_t fits = 65536;
    number = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &fits);
    int16_t small = 1;
    EXPECT_FALSE(CFNumberGetValue(number, kCFNumberSInt16Type, &small));
    EXPECT_EQ(0, small);
    CFRelease(number);
}

TEST_F(CFTest, GetCStringNeedsRoomForTheTerminatingZero) {
    CFStringRef text =
        CFStringCreateWithCString(kCFAllocatorDefault, "abc", kCFStringEncodingASCII);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(CFStringGetTypeID(), CFGetTypeID(text));
    char buffer[4];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(CFStringGetCString(text, buffer, 3, kCFStringEncodingUTF8));
    EXPECT_EQ('x', buffer[0]) << "a failed conversion writes nothing";
    EXPECT_TRUE(CFStringGetCString(text, buffer, 4, kCFStringEncodingUTF8));
    EXPECT_STREQ("abc", buffer);
    CFRelease(text);
}

TEST_F(CFTest, StringsRespectTheirEncoding) {
    const char* utf8 = "gr\xC3\xBC\xC3\x9F";  // 4 characters, 6 bytes
    EXPECT_EQ(nullptr,
              CFStringCreateWithCString(kCFAllocatorDefault, utf8, kCFStringEncodingASCII));
    EXPECT_EQ(nullptr,
              CFStringCreateWithCString(kCFAllocatorDefault, "\xC3(", kCFStringEncodingUTF8));
    CFStringRef text = CFStringCreateWithCString(kCFAllocatorDefault, utf8, kCFStringEncodingUTF8);
    ASSERT_NE(nullptr, text);
    char buffer[16];
    EXPECT_FALSE(CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingASCII));
    EXPECT_FALSE(CFStringGetCString(text, buffer, 6, kCFStringEncodingUTF8));
    ASSERT_TRUE(CFStringGetCString(text, buffer, 7, kCFStringEncodingUTF8));
    EXPECT_STREQ(utf8, buffer);
    CFRelease(text);
}

TEST_F(CFTest, ConstantStringsAreInternedAndImmortal) {
    const long before = vmac::liveObjectCount();
    CFStringRef a = CFSTR("UsagePage");
    EXPECT_EQ(a, CFSTR("UsagePage"));
    CFRelease(a);  // never freed: a constant may be released any number of times
    CFRelease(a);
    char buffer[16];
    EXPECT_TRUE(CFStringGetCString(a, buffer, sizeof buffer, kCFStringEncodingUTF8));
    EXPECT_STREQ("UsagePage", buffer);
    EXPECT_EQ(before, vmac::liveObjectCount());
}

TEST_F(CFTest, DictionaryComparesKeysByValueAndOwnsItsEntries) {
    CFMutableDictionaryRef dict = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    EXPECT_EQ(CFDictionaryGetTypeID(), CFGetTypeID(dict));
    CFStringRef key = vmac::makeString("UsagePage");
    CFNumberRef first = vmac::makeNumber(1);
    CFDictionarySetValue(dict, key, first);
    CFRelease(key);
    CFRelease(first);  // the dictionary keeps both alive
    CFNumberRef found = static_cast<CFNumberRef>(CFDictionaryGetValue(dict, CFSTR("UsagePage")));
    ASSERT_NE(nullptr, found);
    int32_t value = 0;
    CFNumberGetValue(found, kCFNumberSInt32Type, &value);
    EXPECT_EQ(1, value);

    CFNumberRef second = vmac::makeNumber(2);
    CFDictionarySetValue(dict, CFSTR("UsagePage"), second);  // replaces, releases the first
    CFRelease(second);
    found = static_cast<CFNumberRef>(CFDictionaryGetValue(dict, CFSTR("UsagePage")));
    CFNumberGetValue(found, kCFNumberSInt32Type, &value);
    EXPECT_EQ(2, value);
    EXPECT_EQ(nullptr, CFDictionaryGetValue(dict, CFSTR("Usage")));

    // Number keys match by value across number types.
    CFNumberRef numberKey = vmac::makeNumber(5);
    CFDictionarySetValue(dict, numberKey, CFSTR("five"));
    CFRelease(numberKey);
    const int64_t wide = 5;
    CFNumberRef probe = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &wide);
    EXPECT_EQ(CFSTR("five"), CFDictionaryGetValue(dict, probe));
    CFRelease(probe);
    CFRelease(dict);
}

TEST_F(CFTest, ArrayRetainsItsValuesAndGivesThemBorrowed) {
    CFNumberRef one = vmac::makeNumber(1);
    CFStringRef two = vmac::makeString("two");
    const long withValues = vmac::liveObjectCount();
    CFArrayRef array = vmac::makeArray({one, two});
    CFRelease(one);
    CFRelease(two);
    EXPECT_EQ(withValues + 1, vmac::liveObjectCount()) << "the values live on in the array";
    EXPECT_EQ(CFArrayGetTypeID(), CFGetTypeID(array));
    ASSERT_EQ(2, CFArrayGetCount(array));
    EXPECT_EQ(CFStringGetTypeID(), CFGetTypeID(CFArrayGetValueAtIndex(array, 1)));
    CFRelease(array);
    EXPECT_EQ(withValues - 2, vmac::liveObjectCount());
}

TEST_F(CFTest, UsagePairsAreDictionariesOfNumbers) {
    CFArrayRef pairs = vmac::makeUsagePairs({{0xFF00, 1}, {1, 6}});
    ASSERT_EQ(2, CFArrayGetCount(pairs));
    auto pair = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(pairs, 0));
    int32_t page = 0;
    int32_t usage = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(pair, CFSTR("DeviceUsagePage"))),
                     kCFNumberSInt32Type, &page);
    CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(pair, CFSTR("DeviceUsage"))),
                     kCFNumberSInt32Type, &usage);
    EXPECT_EQ(0xFF00, page);
    EXPECT_EQ(1, usage);
    CFRelease(pairs);
}

TEST_F(CFTest, ConstantUUIDsAreInternedAndGiveTheirBytes) {
    CFUUIDRef id = kIOUSBInterfaceInterfaceID190;
    EXPECT_EQ(id, kIOUSBInterfaceInterfaceID190);
    EXPECT_NE(id, kIOCFPlugInInterfaceID);
    const CFUUIDBytes bytes = CFUUIDGetUUIDBytes(id);
    EXPECT_EQ(0x8F, bytes.byte0);
    EXPECT_EQ(0xD6, bytes.byte7);
    EXPECT_EQ(0x8E, bytes.byte15);
    EXPECT_EQ(0x61, CFUUIDGetUUIDBytes(kIOUSBInterfaceUserClientTypeID).byte15);
}

TEST_F(CFTest, LiveCountFollowsRetainAndRelease) {
    const long before = vmac::liveObjectCount();
    CFNumberRef number = vmac::makeNumber(3);
    EXPECT_EQ(before + 1, vmac::liveObjectCount());
    CFRetain(number);
    CFRelease(number);
    EXPECT_EQ(before + 1, vmac::liveObjectCount());
    CFRelease(number);
    EXPECT_EQ(before, vmac::liveObjectCount());
}

using CFDeathTest = VmacTest;

TEST_F(CFDeathTest, ReleasingOnceTooOftenAbortsNamingTheType) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            CFStringRef text = vmac::makeString("x");
            CFRelease(text);
            CFRelease(text);
        },
        "CFRelease of an already released CFString");
    EXPECT_DEATH(
        {
            CFNumberRef number = vmac::makeNumber(1);
            CFRelease(number);
            CFRetain(number);
        },
        "CFRetain of an already released CFNumber");
}

TEST_F(CFDeathTest, WrongTypeOrNullAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CFRelease(nullptr), "CFRelease called with NULL");
    EXPECT_DEATH(
        {
            int32_t out;
            CFNumberGetValue(reinterpret_cast<CFNumberRef>(CFSTR("x")), kCFNumberSInt32Type, &out);
        },
        "CFNumberGetValue expects a CFNumber, got a CFString");
}

}  // namespace
}  // namespace vmactest
