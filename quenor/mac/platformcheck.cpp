// macos-sdk-check
//
// Compile-time check of every platform declaration the device code relies on:
// the signatures it calls, the constants it passes, the layouts it fills in and
// the callback types it hands over. It holds no code. Built into the library on
// every host (against vmac off Apple hosts) and compiled against Apple's SDKs by
// the SDK check, so that vmac and the frameworks cannot drift apart under the
// device code unnoticed.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "quenor/mac/platform.h"

namespace {

template <typename Declared, typename Expected>
constexpr bool kSame = std::is_same<Declared, Expected>::value;

#define QUENOR_SIGNATURE(function, ...) \
    static_assert(kSame<decltype(&function), __VA_ARGS__>, "signature of " #function)
#define QUENOR_MEMBER(Struct, member, ...) \
    static_assert(kSame<decltype(Struct::member), __VA_ARGS__>, "type of " #Struct "::" #member)

constexpr bool equalText(const char* a, const char* b) {
    for (; *a != '\0' || *b != '\0'; ++a, ++b) {
        if (*a != *b) {
            return false;
        }
    }
    return true;
}
#define QUENOR_KEY(key, text) static_assert(equalText(key, text), #key " is \"" text "\"")

// I/O Registry and plug-ins (opening).
static_assert(MACH_PORT_NULL == 0, "MACH_PORT_NULL names the default main port");
QUENOR_SIGNATURE(IORegistryEntryFromPath, io_registry_entry_t (*)(mach_port_t, const char*));
QUENOR_SIGNATURE(IORegistryEntryGetParentEntry,
                 kern_return_t (*)(io_registry_entry_t, const char*, io_registry_entry_t*));
QUENOR_SIGNATURE(IOObjectRelease, kern_return_t (*)(io_object_t));
QUENOR_SIGNATURE(IOCreatePlugInInterfaceForService,
                 kern_return_t (*)(io_service_t, CFUUIDRef, CFUUIDRef, IOCFPlugInInterface***,
                                   SInt32*));
QUENOR_MEMBER(IOCFPlugInInterface, QueryInterface, HRESULT (*)(void*, REFIID, LPVOID*));
QUENOR_MEMBER(IOCFPlugInInterface, Release, ULONG (*)(void*));
static_assert(kSame<REFIID, CFUUIDBytes>, "REFIID is passed by value");

// The USB interface: the members called and the control request filled in.
QUENOR_MEMBER(IOUSBInterfaceStruct190, Release, ULONG (*)(void*));
QUENOR_MEMBER(IOUSBInterfaceStruct190, GetDeviceReleaseNumber, IOReturn (*)(void*, UInt16*));
QUENOR_MEMBER(IOUSBInterfaceStruct190, GetNumEndpoints, IOReturn (*)(void*, UInt8*));
QUENOR_MEMBER(IOUSBInterfaceStruct190, ControlRequest,
              IOReturn (*)(void*, UInt8, IOUSBDevRequest*));
QUENOR_MEMBER(IOUSBInterfaceStruct190, AbortPipe, IOReturn (*)(void*, UInt8));
QUENOR_MEMBER(IOUSBInterfaceStruct190, ClearPipeStallBothEnds, IOReturn (*)(void*, UInt8));
static_assert(offsetof(IOUSBDevRequest, wValue) == 2 && offsetof(IOUSBDevRequest, wLength) == 6 &&
                  offsetof(IOUSBDevRequest, pData) == 8 &&
                  offsetof(IOUSBDevRequest, wLenDone) == 16,
              "IOUSBDevRequest layout");

// HID device.
QUENOR_SIGNATURE(IOHIDDeviceCreate, IOHIDDeviceRef (*)(CFAllocatorRef, io_service_t));
QUENOR_SIGNATURE(IOHIDDeviceOpen, IOReturn (*)(IOHIDDeviceRef, IOOptionBits));
QUENOR_SIGNATURE(IOHIDDeviceClose, IOReturn (*)(IOHIDDeviceRef, IOOptionBits));
QUENOR_SIGNATURE(IOHIDDeviceGetProperty, CFTypeRef (*)(IOHIDDeviceRef, CFStringRef));
QUENOR_SIGNATURE(IOHIDDeviceCopyMatchingElements,
                 CFArrayRef (*)(IOHIDDeviceRef, CFDictionaryRef, IOOptionBits));
QUENOR_SIGNATURE(IOHIDDeviceScheduleWithRunLoop,
                 void (*)(IOHIDDeviceRef, CFRunLoopRef, CFStringRef));
QUENOR_SIGNATURE(IOHIDDeviceUnscheduleFromRunLoop,
                 void (*)(IOHIDDeviceRef, CFRunLoopRef, CFStringRef));
QUENOR_SIGNATURE(IOHIDDeviceRegisterRemovalCallback,
                 void (*)(IOHIDDeviceRef, IOHIDCallback, void*));
QUENOR_SIGNATURE(IOHIDDeviceRegisterInputReportCallback,
                 void (*)(IOHIDDeviceRef, uint8_t*, CFIndex, IOHIDReportCallback, void*));
QUENOR_SIGNATURE(IOHIDDeviceSetReport,
                 IOReturn (*)(IOHIDDeviceRef, IOHIDReportType, CFIndex, const uint8_t*, CFIndex));
QUENOR_SIGNATURE(IOHIDDeviceGetReport,
                 IOReturn (*)(IOHIDDeviceRef, IOHIDReportType, CFIndex, uint8_t*, CFIndex*));
QUENOR_SIGNATURE(IOHIDElementGetReportID, uint32_t (*)(IOHIDElementRef));
static_assert(kSame<IOHIDCallback, void (*)(void*, IOReturn, void*)>, "IOHIDCallback");
static_assert(kSame<IOHIDReportCallback,
                    void (*)(void*, IOReturn, void*, IOHIDReportType, uint32_t, uint8_t*, CFIndex)>,
              "IOHIDReportCallback");
static_assert(kIOHIDReportTypeOutput == 1 && kIOHIDReportTypeFeature == 2, "report types");
static_assert(kIOHIDOptionsTypeNone == 0 && kIOHIDOptionsTypeSeizeDevice == 1, "open options");
static_assert(kIOReturnNoMemory == static_cast<IOReturn>(0xE00002BD) &&
                  kIOReturnNoResources == static_cast<IOReturn>(0xE00002BE),
              "result codes the device answers with");

// Input Monitoring (IOKit/hidsystem/IOHIDLib.h, macOS 10.15+).
QUENOR_SIGNATURE(IOHIDCheckAccess, IOHIDAccessType (*)(IOHIDRequestType));
QUENOR_SIGNATURE(IOHIDRequestAccess, bool (*)(IOHIDRequestType));
static_assert(kIOHIDRequestTypePostEvent == 0 && kIOHIDRequestTypeListenEvent == 1,
              "request types");
static_assert(kIOHIDAccessTypeGranted == 0 && kIOHIDAccessTypeDenied == 1 &&
                  kIOHIDAccessTypeUnknown == 2,
              "access types");
static_assert(kIOReturnNotPermitted == static_cast<IOReturn>(0xE00002E2) &&
                  kIOReturnNoDevice == static_cast<IOReturn>(0xE00002C0),
              "open statuses");

// CoreFoundation.
QUENOR_SIGNATURE(CFRetain, CFTypeRef (*)(CFTypeRef));
QUENOR_SIGNATURE(CFRelease, void (*)(CFTypeRef));
QUENOR_SIGNATURE(CFGetTypeID, CFTypeID (*)(CFTypeRef));
QUENOR_SIGNATURE(CFNumberGetValue, Boolean (*)(CFNumberRef, CFNumberType, void*));
QUENOR_SIGNATURE(CFNumberCreate, CFNumberRef (*)(CFAllocatorRef, CFNumberType, const void*));
QUENOR_SIGNATURE(CFStringCreateWithCString,
                 CFStringRef (*)(CFAllocatorRef, const char*, CFStringEncoding));
QUENOR_SIGNATURE(CFStringGetCString, Boolean (*)(CFStringRef, char*, CFIndex, CFStringEncoding));
QUENOR_SIGNATURE(CFArrayGetCount, CFIndex (*)(CFArrayRef));
QUENOR_SIGNATURE(CFArrayGetValueAtIndex, const void* (*)(CFArrayRef, CFIndex));
QUENOR_SIGNATURE(CFDictionaryCreateMutable,
                 CFMutableDictionaryRef (*)(CFAllocatorRef, CFIndex,
                                            const CFDictionaryKeyCallBacks*,
                                            const CFDictionaryValueCallBacks*));
QUENOR_SIGNATURE(CFDictionarySetValue, void (*)(CFMutableDictionaryRef, const void*, const void*));
QUENOR_SIGNATURE(CFUUIDGetUUIDBytes, CFUUIDBytes (*)(CFUUIDRef));
static_assert(kCFNumberSInt32Type == 3 && kCFNumberIntType == 9, "number types");
static_assert(kCFStringEncodingUTF8 == 0x08000100 && kCFStringEncodingASCII == 0x0600,
              "string encodings");

// Run loops, and the version-0 source context the worker fills in.
QUENOR_SIGNATURE(CFRunLoopGetCurrent, CFRunLoopRef (*)());
QUENOR_SIGNATURE(CFRunLoopRunInMode, CFRunLoopRunResult (*)(CFStringRef, CFTimeInterval, Boolean));
QUENOR_SIGNATURE(CFRunLoopSourceCreate,
                 CFRunLoopSourceRef (*)(CFAllocatorRef, CFIndex, CFRunLoopSourceContext*));
QUENOR_SIGNATURE(CFRunLoopAddSource, void (*)(CFRunLoopRef, CFRunLoopSourceRef, CFStringRef));
QUENOR_SIGNATURE(CFRunLoopRemoveSource, void (*)(CFRunLoopRef, CFRunLoopSourceRef, CFStringRef));
QUENOR_SIGNATURE(CFRunLoopSourceSignal, void (*)(CFRunLoopSourceRef));
QUENOR_SIGNATURE(CFRunLoopWakeUp, void (*)(CFRunLoopRef));
QUENOR_SIGNATURE(CFRunLoopStop, void (*)(CFRunLoopRef));
QUENOR_MEMBER(CFRunLoopSourceContext, perform, void (*)(void*));
static_assert(offsetof(CFRunLoopSourceContext, info) == 8 &&
                  offsetof(CFRunLoopSourceContext, perform) == 72,
              "CFRunLoopSourceContext layout");
static_assert(kCFRunLoopRunFinished == 1 && kCFRunLoopRunStopped == 2 &&
                  kCFRunLoopRunTimedOut == 3 && kCFRunLoopRunHandledSource == 4,
              "run results");

// Finding devices: matching, iterators, notifications and the properties read.
static_assert(kSame<io_iterator_t, unsigned int>, "io_iterator_t");
static_assert(std::is_pointer<IONotificationPortRef>::value, "IONotificationPortRef");
static_assert(kSame<IOServiceMatchingCallback, void (*)(void*, io_iterator_t)>,
              "IOServiceMatchingCallback");
static_assert(IO_OBJECT_NULL == 0, "IO_OBJECT_NULL");
static_assert(kCFNumberSInt64Type == 4, "kCFNumberSInt64Type");
QUENOR_SIGNATURE(IOServiceMatching, CFMutableDictionaryRef (*)(const char*));
QUENOR_SIGNATURE(IOServiceGetMatchingServices,
                 kern_return_t (*)(mach_port_t, CFDictionaryRef, io_iterator_t*));
QUENOR_SIGNATURE(IOIteratorNext, io_object_t (*)(io_iterator_t));
QUENOR_SIGNATURE(IORegistryEntryGetPath,
                 kern_return_t (*)(io_registry_entry_t, const char*, char*));
QUENOR_SIGNATURE(IORegistryEntryGetRegistryEntryID,
                 kern_return_t (*)(io_registry_entry_t, uint64_t*));
QUENOR_SIGNATURE(IORegistryEntryCreateCFProperty,
                 CFTypeRef (*)(io_registry_entry_t, CFStringRef, CFAllocatorRef, IOOptionBits));
QUENOR_SIGNATURE(IONotificationPortCreate, IONotificationPortRef (*)(mach_port_t));
QUENOR_SIGNATURE(IONotificationPortDestroy, void (*)(IONotificationPortRef));
QUENOR_SIGNATURE(IONotificationPortGetRunLoopSource, CFRunLoopSourceRef (*)(IONotificationPortRef));
QUENOR_SIGNATURE(IOServiceAddMatchingNotification,
                 kern_return_t (*)(IONotificationPortRef, const char*, CFDictionaryRef,
                                   IOServiceMatchingCallback, void*, io_iterator_t*));
QUENOR_SIGNATURE(CFNumberCreate, CFNumberRef (*)(CFAllocatorRef, CFNumberType, const void*));
QUENOR_KEY(kIOServicePlane, "IOService");
QUENOR_KEY(kIOProviderClassKey, "IOProviderClass");
QUENOR_KEY(kIOFirstMatchNotification, "IOServiceFirstMatch");
QUENOR_KEY(kIOTerminatedNotification, "IOServiceTerminate");
QUENOR_KEY(kIOHIDDeviceKey, "IOHIDDevice");
QUENOR_KEY(kIOHIDTransportKey, "Transport");
QUENOR_KEY(kIOHIDVendorIDKey, "VendorID");
QUENOR_KEY(kIOHIDProductIDKey, "ProductID");
QUENOR_KEY(kIOHIDVersionNumberKey, "VersionNumber");
QUENOR_KEY(kIOHIDManufacturerKey, "Manufacturer");
QUENOR_KEY(kIOHIDProductKey, "Product");
QUENOR_KEY(kIOHIDSerialNumberKey, "SerialNumber");
QUENOR_KEY(kIOHIDLocationIDKey, "LocationID");
QUENOR_KEY(kIOHIDDeviceUsageKey, "DeviceUsage");
QUENOR_KEY(kIOHIDDeviceUsagePageKey, "DeviceUsagePage");
QUENOR_KEY(kIOHIDDeviceUsagePairsKey, "DeviceUsagePairs");
QUENOR_KEY(kIOHIDPrimaryUsageKey, "PrimaryUsage");
QUENOR_KEY(kIOHIDPrimaryUsagePageKey, "PrimaryUsagePage");
QUENOR_KEY(kIOHIDMaxInputReportSizeKey, "MaxInputReportSize");
QUENOR_KEY(kIOHIDMaxOutputReportSizeKey, "MaxOutputReportSize");
QUENOR_KEY(kIOHIDMaxFeatureReportSizeKey, "MaxFeatureReportSize");

#undef QUENOR_SIGNATURE
#undef QUENOR_MEMBER
#undef QUENOR_KEY

}  // namespace
