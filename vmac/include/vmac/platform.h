// The Apple-named C API of the virtual macOS HID platform.
//
// Declares, by Apple's own names, types, signatures and values, the subset of
// CoreFoundation and IOKit (HID, I/O Registry, USB, CF plug-ins) that the
// device code calls, so that the same sources compile against the real
// frameworks on Apple hosts and against libvmac elsewhere. The declarations
// are written from the documented facts, LP64. C++ only (enums with fixed
// underlying types, as Apple declares them for C++).
//
// Threads: every function may be called from any thread; none is a POSIX
// cancellation point except IOHIDDeviceSetReport/GetReport while a test has
// scripted them to block cancellably (see <vmac/control.h>).
// Ownership follows CoreFoundation: results of Create/Copy calls are owned by
// the caller, Get results are borrowed; CFSTR strings and constant UUIDs are
// immortal. Misuse that would crash on macOS (a null or over-released object,
// an object of the wrong type) aborts with a message naming the type.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define VMAC_API __attribute__((visibility("default")))

extern "C" {

// ---- Scalar types --------------------------------------------------------
typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef uint16_t UInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef signed long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;
typedef double CFTimeInterval;
typedef UInt32 CFStringEncoding;

typedef int kern_return_t;
typedef kern_return_t IOReturn;
typedef unsigned int mach_port_t;
typedef mach_port_t io_object_t;
typedef io_object_t io_registry_entry_t;
typedef io_object_t io_service_t;
typedef io_object_t io_iterator_t;
typedef UInt32 IOOptionBits;
typedef char io_name_t[128];
typedef char io_string_t[512];
#define IO_OBJECT_NULL ((io_object_t)0)

// ---- Object types --------------------------------------------------------
typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFArray* CFArrayRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef const struct __CFUUID* CFUUIDRef;
typedef struct __CFRunLoop* CFRunLoopRef;
typedef struct __CFRunLoopSource* CFRunLoopSourceRef;
typedef struct __IOHIDDevice* IOHIDDeviceRef;
typedef struct __IOHIDElement* IOHIDElementRef;
typedef CFStringRef CFRunLoopMode;

typedef struct {
    UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
    UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
} CFUUIDBytes;

// ---- Constants -----------------------------------------------------------
enum CFNumberType : CFIndex {
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat64Type = 6,
    kCFNumberCharType = 7,
    kCFNumberShortType = 8,
    kCFNumberIntType = 9,
    kCFNumberLongType = 10,
    kCFNumberLongLongType = 11,
    kCFNumberDoubleType = 13,
    kCFNumberCFIndexType = 14,
};

enum CFStringBuiltInEncodings : CFStringEncoding {
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100,
};

enum CFRunLoopRunResult : SInt32 {
    kCFRunLoopRunFinished = 1,
    kCFRunLoopRunStopped = 2,
    kCFRunLoopRunTimedOut = 3,
    kCFRunLoopRunHandledSource = 4,
};

enum IOHIDReportType {
    kIOHIDReportTypeInput = 0,
    kIOHIDReportTypeOutput = 1,
    kIOHIDReportTypeFeature = 2,
    kIOHIDReportTypeCount = 3,
};

enum {
    kIOHIDOptionsTypeNone = 0x00,
    kIOHIDOptionsTypeSeizeDevice = 0x01,
};
typedef uint32_t IOHIDOptionsType;

#define kIOReturnSuccess ((IOReturn)0)
#define kIOReturnError ((IOReturn)0xE00002BC)
#define kIOReturnNoMemory ((IOReturn)0xE00002BD)
#define kIOReturnNoResources ((IOReturn)0xE00002BE)
#define kIOReturnNoDevice ((IOReturn)0xE00002C0)
#define kIOReturnNotPrivileged ((IOReturn)0xE00002C1)
#define kIOReturnBadArgument ((IOReturn)0xE00002C2)
#define kIOReturnExclusiveAccess ((IOReturn)0xE00002C5)
#define kIOReturnUnsupported ((IOReturn)0xE00002C7)
#define kIOReturnNotOpen ((IOReturn)0xE00002CD)
#define kIOReturnTimeout ((IOReturn)0xE00002D6)
#define kIOReturnNotAttached ((IOReturn)0xE00002D9)
#define kIOReturnNotPermitted ((IOReturn)0xE00002E2)
#define kIOReturnAborted ((IOReturn)0xE00002EB)

#define kIOServicePlane "IOService"

// ---- CoreFoundation: objects, numbers, strings, collections --------------
VMAC_API extern const CFAllocatorRef kCFAllocatorDefault;  // NULL

VMAC_API CFTypeRef CFRetain(CFTypeRef cf);
VMAC_API void CFRelease(CFTypeRef cf);
VMAC_API CFTypeID CFGetTypeID(CFTypeRef cf);
VMAC_API CFTypeID CFNumberGetTypeID(void);
VMAC_API CFTypeID CFStringGetTypeID(void);
VMAC_API CFTypeID CFArrayGetTypeID(void);
VMAC_API CFTypeID CFDictionaryGetTypeID(void);

VMAC_API CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType,
                                    const void* valuePtr);
VMAC_API Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

VMAC_API CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                               CFStringEncoding encoding);
VMAC_API Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                                    CFStringEncoding encoding);
// CFSTR("text") yields an interned CFStringRef that is never released.
VMAC_API CFStringRef vmacConstantString(const char* cStr);
#define CFSTR(cStr) vmacConstantString("" cStr "")

VMAC_API CFIndex CFArrayGetCount(CFArrayRef theArray);
VMAC_API const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);

typedef const void* (*CFDictionaryRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFDictionaryReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFDictionaryCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFDictionaryEqualCallBack)(const void* value1, const void* value2);
typedef CFHashCode (*CFDictionaryHashCallBack)(const void* value);
typedef struct {
    CFIndex version;
    CFDictionaryRetainCallBack retain;
    CFDictionaryReleaseCallBack release;
    CFDictionaryCopyDescriptionCallBack copyDescription;
    CFDictionaryEqualCallBack equal;
    CFDictionaryHashCallBack hash;
} CFDictionaryKeyCallBacks;
typedef struct {
    CFIndex version;
    CFDictionaryRetainCallBack retain;
    CFDictionaryReleaseCallBack release;
    CFDictionaryCopyDescriptionCallBack copyDescription;
    CFDictionaryEqualCallBack equal;
} CFDictionaryValueCallBacks;
VMAC_API extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
VMAC_API extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

VMAC_API CFMutableDictionaryRef CFDictionaryCreateMutable(
    CFAllocatorRef allocator, CFIndex capacity, const CFDictionaryKeyCallBacks* keyCallBacks,
    const CFDictionaryValueCallBacks* valueCallBacks);
VMAC_API void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key,
                                   const void* value);
VMAC_API const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);

VMAC_API CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1,
                                                  UInt8 byte2, UInt8 byte3, UInt8 byte4,
                                                  UInt8 byte5, UInt8 byte6, UInt8 byte7,
                                                  UInt8 byte8, UInt8 byte9, UInt8 byte10,
                                                  UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                                  UInt8 byte14, UInt8 byte15);
VMAC_API CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);

// ---- Run loops -----------------------------------------------------------
typedef struct {
    CFIndex version;
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
    Boolean (*equal)(const void* info1, const void* info2);
    CFHashCode (*hash)(const void* info);
    void (*schedule)(void* info, CFRunLoopRef rl, CFRunLoopMode mode);
    void (*cancel)(void* info, CFRunLoopRef rl, CFRunLoopMode mode);
    void (*perform)(void* info);
} CFRunLoopSourceContext;

VMAC_API CFRunLoopRef CFRunLoopGetCurrent(void);
VMAC_API CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                               Boolean returnAfterSourceHandled);
VMAC_API CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef allocator, CFIndex order,
                                                  CFRunLoopSourceContext* context);
VMAC_API void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
VMAC_API void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
VMAC_API void CFRunLoopSourceSignal(CFRunLoopSourceRef source);
VMAC_API void CFRunLoopWakeUp(CFRunLoopRef rl);
VMAC_API void CFRunLoopStop(CFRunLoopRef rl);

// ---- I/O Registry and CF plug-ins ----------------------------------------
// The default main port: every I/O Registry call takes it as its first
// argument. MACH_PORT_NULL means "the default" on every macOS version;
// kIOMainPortDefault exists from macOS 12, and kIOMasterPortDefault, its old
// name, is deprecated there (as the SDK marks it, so that a use warns here too).
#define MACH_PORT_NULL 0
VMAC_API extern const mach_port_t kIOMainPortDefault;  // 0
VMAC_API extern const mach_port_t kIOMasterPortDefault
    __attribute__((deprecated("first deprecated in macOS 12.0: use kIOMainPortDefault")));  // 0

VMAC_API io_registry_entry_t IORegistryEntryFromPath(mach_port_t mainPort, const io_string_t path);
VMAC_API kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry,
                                                     const io_name_t plane,
                                                     io_registry_entry_t* parent);
VMAC_API kern_return_t IOObjectRelease(io_object_t object);

typedef SInt32 HRESULT;
typedef UInt32 ULONG;
typedef void* LPVOID;
typedef CFUUIDBytes REFIID;
#define S_OK ((HRESULT)0L)
#define E_NOINTERFACE ((HRESULT)0x80000004L)

// The COM header that opens every plug-in and interface function table.
#define VMAC_IUNKNOWN_C_GUTS                                               \
    void* _reserved;                                                       \
    HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv); \
    ULONG (*AddRef)(void* thisPointer);                                    \
    ULONG (*Release)(void* thisPointer)

typedef struct IOCFPlugInInterfaceStruct {
    VMAC_IUNKNOWN_C_GUTS;
} IOCFPlugInInterface;

VMAC_API kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                         CFUUIDRef interfaceType,
                                                         IOCFPlugInInterface*** theInterface,
                                                         SInt32* theScore);

#define kIOUSBInterfaceUserClientTypeID                                                        \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x2D, 0x97, 0x86, 0xC6, 0x9E, 0xF3, 0x11, 0xD4, 0xAD, \
                                   0x51, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61)
#define kIOCFPlugInInterfaceID                                                                 \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4, 0x91, \
                                   0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F)
#define kIOUSBInterfaceInterfaceID190                                                          \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x8F, 0xDB, 0x84, 0x55, 0x74, 0xA6, 0x11, 0xD6, 0x97, \
                                   0xB1, 0x00, 0x30, 0x65, 0xD3, 0x60, 0x8E)

// ---- USB interface -------------------------------------------------------
typedef struct {
    UInt8 bmRequestType;
    UInt8 bRequest;
    UInt16 wValue;
    UInt16 wIndex;
    UInt16 wLength;
    void* pData;
    UInt32 wLenDone;
} IOUSBDevRequest;

// Only the members the device code calls; callers reach them by name.
typedef struct IOUSBInterfaceStruct190 {
    VMAC_IUNKNOWN_C_GUTS;
    IOReturn (*GetDeviceReleaseNumber)(void* self, UInt16* devRelNum);
    IOReturn (*GetNumEndpoints)(void* self, UInt8* intfNumEndpoints);
    IOReturn (*ControlRequest)(void* self, UInt8 pipeRef, IOUSBDevRequest* req);
    IOReturn (*AbortPipe)(void* self, UInt8 pipeRef);
    IOReturn (*ClearPipeStallBothEnds)(void* self, UInt8 pipeRef);
} IOUSBInterfaceInterface190;

// ---- HID -----------------------------------------------------------------
typedef void (*IOHIDCallback)(void* context, IOReturn result, void* sender);
typedef void (*IOHIDReportCallback)(void* context, IOReturn result, void* sender,
                                    IOHIDReportType type, uint32_t reportID, uint8_t* report,
                                    CFIndex reportLength);

VMAC_API IOHIDDeviceRef IOHIDDeviceCreate(CFAllocatorRef allocator, io_service_t service);
VMAC_API IOReturn IOHIDDeviceOpen(IOHIDDeviceRef device, IOOptionBits options);
VMAC_API IOReturn IOHIDDeviceClose(IOHIDDeviceRef device, IOOptionBits options);
VMAC_API CFTypeRef IOHIDDeviceGetProperty(IOHIDDeviceRef device, CFStringRef key);
VMAC_API CFArrayRef IOHIDDeviceCopyMatchingElements(IOHIDDeviceRef device, CFDictionaryRef matching,
                                                    IOOptionBits options);
VMAC_API void IOHIDDeviceScheduleWithRunLoop(IOHIDDeviceRef device, CFRunLoopRef runLoop,
                                             CFStringRef runLoopMode);
VMAC_API void IOHIDDeviceUnscheduleFromRunLoop(IOHIDDeviceRef device, CFRunLoopRef runLoop,
                                               CFStringRef runLoopMode);
VMAC_API void IOHIDDeviceRegisterRemovalCallback(IOHIDDeviceRef device, IOHIDCallback callback,
                                                 void* context);
VMAC_API void IOHIDDeviceRegisterInputReportCallback(IOHIDDeviceRef device, uint8_t* report,
                                                     CFIndex reportLength,
                                                     IOHIDReportCallback callback, void* context);
VMAC_API IOReturn IOHIDDeviceSetReport(IOHIDDeviceRef device, IOHIDReportType reportType,
                                       CFIndex reportID, const uint8_t* report,
                                       CFIndex reportLength);
VMAC_API IOReturn IOHIDDeviceGetReport(IOHIDDeviceRef device, IOHIDReportType reportType,
                                       CFIndex reportID, uint8_t* report, CFIndex* pReportLength);
VMAC_API uint32_t IOHIDElementGetReportID(IOHIDElementRef element);

// ---- HID access (Input Monitoring, macOS 10.15+) ---------------------------
// IOKit/hidsystem/IOHIDLib.h. Opening a device that conforms to Generic Desktop
// Keyboard (1,6) or Mouse (1,2) or Digitizer Touch Pad (0x0D,0x05) in any of its
// usage pairs needs the ListenEvent access: IOHIDDeviceOpen asks for it (as
// IOHIDRequestAccess does) and answers kIOReturnNotPermitted unless it is granted.
typedef enum {
    kIOHIDRequestTypePostEvent,
    kIOHIDRequestTypeListenEvent,
} IOHIDRequestType;
typedef enum {
    kIOHIDAccessTypeGranted,
    kIOHIDAccessTypeDenied,
    kIOHIDAccessTypeUnknown,
} IOHIDAccessType;
// The user's choice as it stands, without asking.
VMAC_API IOHIDAccessType IOHIDCheckAccess(IOHIDRequestType requestType);
// Asks the user when they have not chosen yet (a prompt on a Mac, which answers
// false at once; the user may grant it later in System Settings); true when granted.
VMAC_API bool IOHIDRequestAccess(IOHIDRequestType requestType);

}  // extern "C"

// ==== I/O Registry matching, iteration and notifications ===================
// Finding HID devices without opening them, and hearing when they come and go.
// Matching dictionaries are consumed by IOServiceGetMatchingServices and
// IOServiceAddMatchingNotification (one reference, on every path). An
// io_iterator_t is an io_object_t: IOObjectRelease drops it. A notification
// fires only while armed; it is armed by reading its iterator until
// IOIteratorNext returns 0, and it is not armed when created.

// The default main port on every macOS version.
#define MACH_PORT_NULL 0

#define kIOProviderClassKey "IOProviderClass"
#define kIOPublishNotification "IOServicePublish"
#define kIOFirstPublishNotification "IOServiceFirstPublish"
#define kIOMatchedNotification "IOServiceMatched"
#define kIOFirstMatchNotification "IOServiceFirstMatch"
#define kIOTerminatedNotification "IOServiceTerminate"

#define kIOHIDDeviceKey "IOHIDDevice"
#define kIOHIDTransportKey "Transport"
#define kIOHIDVendorIDKey "VendorID"
#define kIOHIDProductIDKey "ProductID"
#define kIOHIDVersionNumberKey "VersionNumber"
#define kIOHIDManufacturerKey "Manufacturer"
#define kIOHIDProductKey "Product"
#define kIOHIDSerialNumberKey "SerialNumber"
#define kIOHIDLocationIDKey "LocationID"
#define kIOHIDDeviceUsageKey "DeviceUsage"
#define kIOHIDDeviceUsagePageKey "DeviceUsagePage"
#define kIOHIDDeviceUsagePairsKey "DeviceUsagePairs"
#define kIOHIDPrimaryUsageKey "PrimaryUsage"
#define kIOHIDPrimaryUsagePageKey "PrimaryUsagePage"
#define kIOHIDMaxInputReportSizeKey "MaxInputReportSize"
#define kIOHIDMaxOutputReportSizeKey "MaxOutputReportSize"
#define kIOHIDMaxFeatureReportSizeKey "MaxFeatureReportSize"

extern "C" {

typedef struct IONotificationPort* IONotificationPortRef;
typedef void (*IOServiceMatchingCallback)(void* refcon, io_iterator_t iterator);

VMAC_API CFMutableDictionaryRef IOServiceMatching(const char* name);
VMAC_API kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort, CFDictionaryRef matching,
                                                    io_iterator_t* existing);
VMAC_API io_object_t IOIteratorNext(io_iterator_t iterator);

VMAC_API kern_return_t IORegistryEntryGetPath(io_registry_entry_t entry, const io_name_t plane,
                                              io_string_t path);
VMAC_API kern_return_t IORegistryEntryGetRegistryEntryID(io_registry_entry_t entry,
                                                         uint64_t* entryID);
VMAC_API CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                                   CFAllocatorRef allocator, IOOptionBits options);

VMAC_API IONotificationPortRef IONotificationPortCreate(mach_port_t mainPort);
VMAC_API void IONotificationPortDestroy(IONotificationPortRef notify);
VMAC_API CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify);
VMAC_API kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort,
                                                        const io_name_t notificationType,
                                                        CFDictionaryRef matching,
                                                        IOServiceMatchingCallback callback,
                                                        void* refCon, io_iterator_t* notification);

}  // extern "C"
// ==== end of matching, iteration and notifications ==========================
