// DeviceState: one plugged virtual HID device, its registry entries (the HID
// entry and its parent) and everything a test scripts or observes on it.
//
// Shared by the VirtualDevice handles, the device objects, the USB interface
// objects and the port table. Every mutable field is guarded by the platform
// mutex (Platform::mutex). Immutable after plugDevice: path, parentKind, the
// two ports.
#pragma once

#include <vmac/control.h>

#include "callfaults.h"

#include <deque>
#include <map>
#include <string>
#include <vector>

struct __IOHIDDevice;
struct __IOHIDElement;

namespace vmac::detail {

struct BlockedCall;

struct DeviceState {
    std::string path;
    ParentKind parentKind = ParentKind::UsbInterface;
    io_object_t hidPort = 0;
    io_object_t parentPort = 0;

    // All below: guarded by Platform::mutex.
    // Registered and active. Unplugging terminates the device (attached false):
    // it leaves matching at once, but its entry stays in the registry (path and
    // properties readable) until it is detached, which happens once no device
    // object has it open and the test does not hold the detach.
    bool attached = true;
    bool detached = false;
    bool detachHeld = false;
    // What calls on the device, its objects and its interface answer once it is
    // unplugged (macOS gives kIOReturnNotAttached, kIOReturnExclusiveAccess or a
    // dead-port error; the test chooses).
    IOReturn detachedResult = kIOReturnNotAttached;
    long hidRefs = 0;     // io_object_t references clients hold on the HID entry
    long parentRefs = 0;  // ... on the parent entry
    std::map<std::string, CFTypeRef> properties;  // retained; released at detach
    std::vector<__IOHIDElement*> elements;        // retained; released at detach
    // Input reports declared by the test (declareInputReport): ID -> length.
    std::map<uint32_t, size_t> inputReports;
    OpenFaults faults;
    CallFaults callFaults;
    // Values answered by GetProperty faults, one reference each; released at unplug.
    std::vector<CFTypeRef> faultAnswers;
    std::vector<__IOHIDDevice*> deviceObjects;  // not retained; each removes itself
    __IOHIDDevice* seizedBy = nullptr;

    std::deque<ReportAnswer> setAnswers;
    std::deque<ReportAnswer> getAnswers;
    ReportAnswer defaultSetAnswer;
    ReportAnswer defaultGetAnswer;
    ReportResponder responder;  // answers what no queued answer covers, when set
    std::vector<ReportCall> reportCalls;
    std::vector<BlockedCall*> blocked;  // owned by the blocked threads' frames
    size_t cancelledCalls = 0;
    std::vector<IOOptionBits> closeCalls;

    UInt16 releaseNumber = 0x0100;
    IOReturn releaseNumberResult = kIOReturnSuccess;
    UInt8 numEndpoints = 1;
    IOReturn numEndpointsResult = kIOReturnSuccess;
    std::map<UInt8, std::vector<uint8_t>> stringDescriptors;
    IOReturn controlRequestResult = kIOReturnSuccess;
    std::vector<PipeCall> pipeCalls;
};

}  // namespace vmac::detail
