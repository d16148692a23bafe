// macos-sdk-check
// Compile-time check of the platform calls, constants and keys that finding devices
// relies on. It is built against the virtual platform in every build, and compiled
// against Apple's SDK by the SDK check, so the two cannot drift apart unnoticed.
#include <cstdint>
#include <type_traits>

#include "quenor/mac/platform.h"

template <typename A, typename B>
constexpr bool same = std::is_same_v<A, B>;

constexpr bool equalText(const char* a, const char* b) {
    for (; *a != '\0' || *b != '\0'; ++a, ++b) {
        if (*a != *b) {
            return false;
        }
    }
    return true;
}

// Types.
static_assert(same<io_iterator_t, unsigned int>);
static_assert(std::is_pointer_v<IONotificationPortRef>);
static_assert(same<IOServiceMatchingCallback, void (*)(void*, io_iterator_t)>);

// Signatures.
static_assert(same<decltype(&IOServiceMatching), CFMutableDictionaryRef (*)(const char*)>);
static_assert(same<decltype(&IOServiceGetMatchingServices),
                   kern_return_t (*)(mach_port_t, CFDictionaryRef, io_iterator_t*)>);
static_assert(same<decltype(&IOIteratorNext), io_object_t (*)(io_iterator_t)>);
static_assert(same<decltype(&IORegistryEntryGetPath),
                   kern_return_t (*)(io_registry_entry_t, const char*, char*)>);
static_assert(same<decltype(&IORegistryEntryGetRegistryEntryID),
                   kern_return_t (*)(io_registry_entry_t, uint64_t*)>);
static_assert(same<decltype(&IORegistryEntryCreateCFProperty),
                   CFTypeRef (*)(io_registry_entry_t, CFStringRef, CFAllocatorRef, IOOptionBits)>);
static_assert(same<decltype(&IONotificationPortCreate), IONotificationPortRef (*)(mach_port_t)>);
static_assert(same<decltype(&IONotificationPortDestroy), void (*)(IONotificationPortRef)>);
static_assert(same<decltype(&IONotificationPortGetRunLoopSource),
                   CFRunLoopSourceRef (*)(IONotificationPortRef)>);
static_assert(same<decltype(&IOServiceAddMatchingNotification),
                   kern_return_t (*)(IONotificationPortRef, const char*, CFDictionaryRef,
                                     IOServiceMatchingCallback, void*, io_iterator_t*)>);
static_assert(same<decltype(&IOObjectRelease), kern_return_t (*)(io_object_t)>);
static_assert(
    same<decltype(&CFNumberCreate), CFNumberRef (*)(CFAllocatorRef, CFNumberType, const void*)>);

// Constants.
static_assert(MACH_PORT_NULL == 0);
static_assert(kCFNumberSInt64Type == 4);
static_assert(IO_OBJECT_NULL == 0);

// Keys and notification names.
static_assert(equalText(kIOServicePlane, "IOService"));
static_assert(equalText(kIOProviderClassKey, "IOProviderClass"));
static_assert(equalText(kIOFirstMatchNotification, "IOServiceFirstMatch"));
static_assert(equalText(kIOTerminatedNotification, "IOServiceTerminate"));
static_assert(equalText(kIOHIDDeviceKey, "IOHIDDevice"));
static_assert(equalText(kIOHIDTransportKey, "Transport"));
static_assert(equalText(kIOHIDVendorIDKey, "VendorID"));
static_assert(equalText(kIOHIDProductIDKey, "ProductID"));
static_assert(equalText(kIOHIDVersionNumberKey, "VersionNumber"));
static_assert(equalText(kIOHIDManufacturerKey, "Manufacturer"));
static_assert(equalText(kIOHIDProductKey, "Product"));
static_assert(equalText(kIOHIDSerialNumberKey, "SerialNumber"));
static_assert(equalText(kIOHIDLocationIDKey, "LocationID"));
static_assert(equalText(kIOHIDDeviceUsageKey, "DeviceUsage"));
static_assert(equalText(kIOHIDDeviceUsagePageKey, "DeviceUsagePage"));
static_assert(equalText(kIOHIDDeviceUsagePairsKey, "DeviceUsagePairs"));
static_assert(equalText(kIOHIDPrimaryUsageKey, "PrimaryUsage"));
static_assert(equalText(kIOHIDPrimaryUsagePageKey, "PrimaryUsagePage"));
static_assert(equalText(kIOHIDMaxInputReportSizeKey, "MaxInputReportSize"));
static_assert(equalText(kIOHIDMaxOutputReportSizeKey, "MaxOutputReportSize"));
static_assert(equalText(kIOHIDMaxFeatureReportSizeKey, "MaxFeatureReportSize"));
