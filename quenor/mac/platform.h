// The platform seam of the macOS device: the only place device sources get
// CoreFoundation and IOKit from. On Apple hosts these are the system
// frameworks; elsewhere, and in Apple builds for the virtual platform (the
// build defines QUENOR_VIRTUAL_PLATFORM), the virtual macOS HID platform
// (libvmac) declares the same names, types, signatures and values. Device
// sources contain no #ifdef.
//
// Every platform call the device code may make, what it passes, what it relies
// on, and who owns what comes back. "Owned" means the Create/Copy rule: the
// caller releases it exactly once (CFRelease, IOObjectRelease or the COM
// Release, as named). "Borrowed" means valid while its container lives; never
// released. A call succeeds only when it returns 0 (kIOReturnSuccess / S_OK
// for COM: "not negative").
//
// I/O Registry and USB interface (opening):
//   IORegistryEntryFromPath(kIOMasterPortDefault, path) -> io_registry_entry_t,
//     0 when no entry has that path. Owned: IOObjectRelease (ScopedIOObject).
//   IORegistryEntryGetParentEntry(entry, "IOService", &parent) -> kern_return_t;
//     on success `parent` is owned: IOObjectRelease.
//   IOCreatePlugInInterfaceForService(parent, kIOUSBInterfaceUserClientTypeID,
//     kIOCFPlugInInterfaceID, &plugIn, &score) -> kern_return_t; on success
//     `plugIn` (IOCFPlugInInterface**, may still be NULL) is owned: (*plugIn)->
//     Release(plugIn). `score` is not used. Fails for a parent that is not a
//     USB interface.
//   (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID190),
//     (LPVOID*)&intf) -> HRESULT; when not negative and `intf` is non-null,
//     `intf` (IOUSBInterfaceStruct190**) is owned: (*intf)->Release(intf).
//     The plug-in is released right after, whatever the query returned.
//   IOObjectRelease(object) -> kern_return_t; drops one owned registry reference.
//   The three UUID constants are CFUUIDRefs made by CFUUIDGetConstantUUIDWithBytes:
//     immortal, never released.
//
// USB interface (IOUSBInterfaceStruct190**, called as (*intf)->F(intf, ...)):
//   GetDeviceReleaseNumber(intf, &bcd16) -> IOReturn; the BCD release number.
//   GetNumEndpoints(intf, &count8) -> IOReturn; endpoint pipes are 1..count.
//   AbortPipe(intf, pipe), ClearPipeStallBothEnds(intf, pipe) -> IOReturn.
//   ControlRequest(intf, 0, &request) -> IOReturn; pipe 0 is the default
//     control pipe; blocks until done; fills request.pData (at most wLength
//     bytes) and request.wLenDone. The caller owns pData.
//   AddRef(intf) / Release(intf) -> ULONG; one reference each.
//
// HID device:
//   IOHIDDeviceCreate(kCFAllocatorDefault, entry) -> IOHIDDeviceRef, NULL on
//     failure. Owned: CFRelease. Does not consume the entry's reference.
//   IOHIDDeviceOpen(device, kIOHIDOptionsTypeNone | kIOHIDOptionsTypeSeizeDevice)
//     -> IOReturn; kIOReturnExclusiveAccess when another client seized it, or
//     when seizing a device that another client has open.
//   IOHIDDeviceClose(device, sameOptions) -> IOReturn; result not relied on.
//   IOHIDDeviceGetProperty(device, key) -> CFTypeRef or NULL; borrowed from the
//     device object. The value may be of any CF type: check CFGetTypeID.
//   IOHIDDeviceRegisterInputReportCallback(device, buffer, size, callback, context):
//     each input report is copied into `buffer` (at most `size` bytes) and
//     `callback(context, result, sender, type, reportID, buffer, length)` runs
//     on the run loop the device is scheduled on. A NULL callback unregisters.
//     `buffer` must live until unregistered or the device is released.
//   IOHIDDeviceRegisterRemovalCallback(device, callback, context): the callback
//     runs once on that run loop when the device goes away. NULL unregisters.
//   IOHIDDeviceScheduleWithRunLoop(device, runLoop, mode),
//   IOHIDDeviceUnscheduleFromRunLoop(device, runLoop, mode): callbacks are
//     delivered only while the loop runs in `mode`; neither retains for the caller.
//   IOHIDDeviceSetReport(device, type, reportID, bytes, length) -> IOReturn;
//     blocks until the device answers; not a cancellation point.
//   IOHIDDeviceGetReport(device, type, reportID, bytes, &length) -> IOReturn;
//     blocks likewise; `length` in: buffer size, out: bytes received.
//   IOHIDDeviceCopyMatchingElements(device, matching, kIOHIDOptionsTypeNone)
//     -> CFArrayRef of IOHIDElementRef or NULL. Owned: CFRelease. A matching
//     dictionary {"UsagePage": number} selects the elements on that page.
//   IOHIDElementGetReportID(element) -> uint32_t.
//
// CoreFoundation:
//   CFGetTypeID(cf) compared with CFNumberGetTypeID(), CFStringGetTypeID(),
//     CFArrayGetTypeID(), CFDictionaryGetTypeID().
//   CFNumberGetValue(number, kCFNumberSInt32Type, &int32) -> Boolean; false when
//     lossy, yet the best attempt is stored.
//   CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &value) -> owned.
//   CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingASCII)
//     -> owned CFStringRef, NULL on failure.
//   CFStringGetCString(string, buffer, size, kCFStringEncodingUTF8) -> Boolean;
//     false when the buffer cannot hold the text and its terminating zero.
//   CFSTR("...") -> immortal CFStringRef; never released.
//   CFArrayGetCount(array); CFArrayGetValueAtIndex(array, i) -> borrowed.
//   CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
//     &kCFTypeDictionaryValueCallBacks) -> owned; CFDictionarySetValue(dict, key,
//     value) retains both; CFDictionaryGetValue(dict, key) -> borrowed or NULL.
//   CFUUIDGetUUIDBytes(uuid) -> CFUUIDBytes (by value).
//   CFRetain(cf) adds a reference; CFRelease(cf) drops one. Neither takes NULL.
//
// Run loops:
//   CFRunLoopGetCurrent() -> the calling thread's loop; borrowed (the thread
//     keeps it until it ends).
//   CFRunLoopRunInMode(mode, seconds, returnAfterSourceHandled) -> 1 finished
//     (no source in the mode), 2 stopped (CFRunLoopStop while it ran), 3 timed
//     out, 4 handled a source (only when returnAfterSourceHandled).
//   CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context) with a version-0
//     context -> owned CFRunLoopSourceRef. Its perform(info) runs on the thread
//     of a loop it was added to, at that loop's next pass after
//     CFRunLoopSourceSignal(source); CFRunLoopWakeUp(loop) makes that prompt
//     (signalling alone does not wake a sleeping loop).
//   CFRunLoopAddSource / CFRunLoopRemoveSource(loop, source, mode): the loop
//     holds its own reference while the source is added.
//   CFRunLoopStop(loop): acts only on a running loop (its innermost run
//     returns 2); a stop of an idle loop is not remembered.
//
// Finding devices (enumerator, identity, monitor). MACH_PORT_NULL is the
// default main port on every macOS version:
//   IOServiceMatching(kIOHIDDeviceKey) -> owned CFMutableDictionaryRef, NULL on
//     failure; further keys are added with CFDictionarySetValue.
//   IOServiceGetMatchingServices(MACH_PORT_NULL, matching, &iterator) ->
//     kern_return_t. Consumes one reference of `matching` on every path (the
//     caller hands it over: ScopedCFRef::release() at the call). On success
//     `iterator` is owned (IOObjectRelease), and IO_OBJECT_NULL when nothing
//     matched. Services come in no promised order.
//   IOIteratorNext(iterator) -> io_object_t, owned (IOObjectRelease); 0 at the
//     end. Reading a notification's iterator until 0 arms the notification.
//   IORegistryEntryGetPath(entry, kIOServicePlane, path) -> kern_return_t; the
//     path (at most 511 bytes and a zero) that IORegistryEntryFromPath takes.
//     Fails for an entry that has left the registry.
//   IORegistryEntryGetRegistryEntryID(entry, &id) -> kern_return_t; the
//     entry's unique 64-bit ID, also after it has left the registry.
//   IORegistryEntryCreateCFProperty(entry, key, kCFAllocatorDefault, 0) ->
//     CFTypeRef or NULL; owned: CFRelease. Any CF type: check CFGetTypeID.
//   CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value) -> owned.
//   CFNumberGetValue(number, kCFNumberSInt64Type, &int64) for 32-bit unsigned
//     properties (LocationID).
//   IONotificationPortCreate(MACH_PORT_NULL) -> owned IONotificationPortRef,
//     NULL on failure: IONotificationPortDestroy, which also drops messages not
//     yet delivered and disposes of the port's run-loop source.
//   IONotificationPortGetRunLoopSource(port) -> CFRunLoopSourceRef, borrowed
//     from the port; the thread whose loop it is added to runs the callbacks.
//   IOServiceAddMatchingNotification(port, kIOFirstMatchNotification or
//     kIOTerminatedNotification, matching, callback, refCon, &iterator) ->
//     kern_return_t. Consumes `matching` on every path. On success `iterator`
//     is owned (IOObjectRelease ends the notification); it holds the services
//     that match now (first match) or none (terminated), and the notification
//     is not armed until the iterator has been read to its end. A message
//     already queued still reaches `callback(refCon, iterator)` after the
//     iterator is released, so `refCon` must live until the port is destroyed.
//
// Input Monitoring (macOS 10.15+; IOKit/hidsystem/IOHIDLib.h):
//   IOHIDCheckAccess(kIOHIDRequestTypeListenEvent) -> IOHIDAccessType:
//     kIOHIDAccessTypeGranted, kIOHIDAccessTypeDenied or kIOHIDAccessTypeUnknown
//     (not asked yet); never prompts.
//   IOHIDRequestAccess(kIOHIDRequestTypeListenEvent) -> bool, true when granted;
//     prompts the user when they have not chosen yet (answering false then).
//   IOHIDDeviceOpen of a keyboard, mouse or touch pad calls it itself and answers
//     kIOReturnNotPermitted unless granted.
//
// RAII owners (namespace quenor::mac): ScopedCFRef<T> for CF objects,
// ScopedIOObject for registry references, ScopedCOMInterface<T> for plug-in and
// USB interface objects; each makes the adopt/retain choice explicit.
#pragma once

#if defined(__APPLE__) && !defined(QUENOR_VIRTUAL_PLATFORM)
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitKeys.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/hid/IOHIDDevice.h>
#include <IOKit/hid/IOHIDKeys.h>
#include <IOKit/hid/IOHIDLib.h>
#include <IOKit/hidsystem/IOHIDLib.h>
#include <IOKit/usb/IOUSBLib.h>
// Internals declared inside an exported class (MacHidDevice::MacHidDevicePrivate) would share
// its default visibility; on the system platform they stay out of libquenor's exports.
#define QUENOR_DEVICE_INTERNAL __attribute__((visibility("hidden")))
#else
#include <vmac/platform.h>
// A build for the virtual platform keeps them visible: its tests drive them directly.
#define QUENOR_DEVICE_INTERNAL
#endif

#include "quenor/mac/scopedowners.h"
