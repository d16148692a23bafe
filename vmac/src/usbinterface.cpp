// IOCreatePlugInInterfaceForService, the plug-in, and the USB interface
// (IOUSBInterfaceStruct190) of a virtual device's parent.
#include "cfuuid.h"
#include "comobject.h"
#include "nocancel.h"
#include "platformstate.h"

#include <algorithm>
#include <cstring>

using vmac::PipeCall;
using vmac::PipeCallKind;
using vmac::detail::ComKind;
using vmac::detail::ComObject;
using vmac::detail::ComState;
using vmac::detail::DeviceState;
using vmac::detail::NoCancel;
using vmac::detail::platform;

namespace {

const char* comName(ComKind kind) {
    return kind == ComKind::PlugIn ? "IOCFPlugInInterface" : "IOUSBInterfaceStruct190";
}

ComState* stateOf(void* self, const char* function) {
    if (self == nullptr)
        vmac::detail::fatal("%s called with NULL", function);
    return static_cast<ComObject*>(self)->state;
}

ULONG comAddRef(void* self) {
    NoCancel noCancel;
    ComState* state = stateOf(self, "AddRef");
    const long before = state->refs++;
    if (before <= 0)
        vmac::detail::fatal("AddRef of an already released %s", comName(state->kind));
    platform().comReferences.fetch_add(1);
    return static_cast<ULONG>(before + 1);
}

ULONG comRelease(void* self) {
    NoCancel noCancel;
    ComState* state = stateOf(self, "Release");
    const long before = state->refs--;
    if (before <= 0)
        vmac::detail::fatal("Release of an already released %s", comName(state->kind));
    platform().comReferences.fetch_sub(1);
    if (before == 1) {
        state->device.reset();
        vmac::detail::buryZombie(state);
    }
    return static_cast<ULONG>(before - 1);
}

bool isUUID(const REFIID& iid, CFUUIDRef uuid) {
    return vmac::detail::sameUUID(iid, CFUUIDGetUUIDBytes(uuid));
}

CFUUIDRef iUnknownID() {
    return CFUUIDGetConstantUUIDWithBytes(nullptr, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
}

HRESULT plugInQueryInterface(void* self, REFIID iid, LPVOID* ppv) {
    NoCancel noCancel;
    ComState* state = stateOf(self, "QueryInterface");
    if (ppv == nullptr)
        return E_NOINTERFACE;
    *ppv = nullptr;
    if (isUUID(iid, iUnknownID()) || isUUID(iid, kIOCFPlugInInterfaceID)) {
        comAddRef(self);
        *ppv = self;
        return S_OK;
    }
    if (!isUUID(iid, kIOUSBInterfaceInterfaceID190))
        return E_NOINTERFACE;
    std::shared_ptr<DeviceState> device = state->device;
    vmac::OpenFaults faults;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        faults = device->faults;
    }
    if (faults.queryResult < 0)
        return faults.queryResult;
    if (faults.queryReturnsNull)
        return S_OK;
    *ppv = vmac::detail::newComObject(ComKind::UsbInterface, device);
    return S_OK;
}

// Interface calls on an unplugged device fail with the code the test chose.
DeviceState* interfaceDevice(void* self, const char* function) {
    DeviceState* device = stateOf(self, function)->device.get();
    if (device == nullptr)
        vmac::detail::fatal("%s on a released IOUSBInterfaceStruct190", function);
    return device;
}

// What an attached device's interface call answers first: an armed fault's
// result, else success (go on). Caller holds the platform mutex.
IOReturn injected(DeviceState* device, vmac::Call call) {
    vmac::CallFault fault;
    return device->callFaults.take(call, std::string(), fault) ? fault.result : kIOReturnSuccess;
}

IOReturn getDeviceReleaseNumber(void* self, UInt16* devRelNum) {
    NoCancel noCancel;
    std::lock_guard<std::mutex> lock(platform().mutex);
    DeviceState* device = interfaceDevice(self, "GetDeviceReleaseNumber");
    if (!device->attached)
        return device->detachedResult;
    if (devRelNum == nullptr)
        return kIOReturnBadArgument;
    if (IOReturn fault = injected(device, vmac::Call::GetDeviceReleaseNumber))
        return fault;
    if (device->releaseNumberResult != kIOReturnSuccess)
        return device->releaseNumberResult;
    *devRelNum = device->releaseNumber;
    return kIOReturnSuccess;
}

IOReturn getNumEndpoints(void* self, UInt8* intfNumEndpoints) {
    NoCancel noCancel;
    std::lock_guard<std::mutex> lock(platform().mutex);
    DeviceState* device = interfaceDevice(self, "GetNumEndpoints");
    if (!device->attached)
        return device->detachedResult;
    if (intfNumEndpoints == nullptr)
        return kIOReturnBadArgument;
    if (IOReturn fault = injected(device, vmac::Call::GetNumEndpoints))
        return fault;
    if (device->numEndpointsResult != kIOReturnSuccess)
        return device->numEndpointsResult;
    *intfNumEndpoints = device->numEndpoints;
    return kIOReturnSuccess;
}

IOReturn pipeCall(void* self, UInt8 pipeRef, PipeCallKind kind, vmac::Call call,
                  const char* function) {
    NoCancel noCancel;
    std::lock_guard<std::mutex> lock(platform().mutex);
    DeviceState* device = interfaceDevice(self, function);
    if (!device->attached)
        return device->detachedResult;
    if (IOReturn fault = injected(device, call))
        return fault;
    device->pipeCalls.push_back(PipeCall{kind, pipeRef});
    platform().changed.notify_all();
    // These need the interface opened (USBInterfaceOpen), and the HID driver
    // holds a HID device's interface open: a client never gets to.
    return kIOReturnNotOpen;
}

IOReturn abortPipe(void* self, UInt8 pipeRef) {
    return pipeCall(self, pipeRef, PipeCallKind::AbortPipe, vmac::Call::AbortPipe, "AbortPipe");
}

IOReturn clearPipeStallBothEnds(void* self, UInt8 pipeRef) {
    return pipeCall(self, pipeRef, PipeCallKind::ClearPipeStallBothEnds,
                    vmac::Call::ClearPipeStallBothEnds, "ClearPipeStallBothEnds");
}

// Answers GET_DESCRIPTOR for string descriptors, whatever the language ID;
// any other request stalls the pipe, as a device without it would.
IOReturn controlRequest(void* self, UInt8 pipeRef, IOUSBDevRequest* req) {
    NoCancel noCancel;
    std::lock_guard<std::mutex> lock(platform().mutex);
    DeviceState* device = interfaceDevice(self, "ControlRequest");
    if (!device->attached)
        return device->detachedResult;
    if (req == nullptr)
        return kIOReturnBadArgument;
    if (IOReturn fault = injected(device, vmac::Call::ControlRequest)) {
        req->wLenDone = 0;
        return fault;
    }
    device->pipeCalls.push_back(PipeCall{PipeCallKind::ControlRequest, pipeRef, req->bmRequestType,
                                         req->bRequest, req->wValue, req->wIndex, req->wLength});
    platform().changed.notify_all();
    req->wLenDone = 0;
    if (pipeRef != 0)
        return kIOReturnBadArgument;
    if (device->controlRequestResult != kIOReturnSuccess)
        return device->controlRequestResult;
    if (req->bmRequestType != 0x80 || req->bRequest != 6 || (req->wValue >> 8) != 3)
        return vmac::kPipeStalled;
    auto it = device->stringDescriptors.find(static_cast<UInt8>(req->wValue & 0xFF));
    if (it == device->stringDescriptors.end())
        return vmac::kPipeStalled;
    if (req->pData == nullptr && req->wLength > 0)
        return kIOReturnBadArgument;
    const size_t length = std::min<size_t>(req->wLength, it->second.size());
    if (length > 0)
        std::memcpy(req->pData, it->second.data(), length);
    req->wLenDone = static_cast<UInt32>(length);
    return kIOReturnSuccess;
}

HRESULT interfaceQueryInterface(void* self, REFIID iid, LPVOID* ppv) {
    NoCancel noCancel;
    stateOf(self, "QueryInterface");
    if (ppv == nullptr)
        return E_NOINTERFACE;
    *ppv = nullptr;
    if (isUUID(iid, iUnknownID()) || isUUID(iid, kIOUSBInterfaceInterfaceID190)) {
        comAddRef(self);
        *ppv = self;
        return S_OK;
    }
    return E_NOINTERFACE;
}

IOCFPlugInInterface g_plugInTable = {nullptr, plugInQueryInterface, comAddRef, comRelease};

IOUSBInterfaceInterface190 g_interfaceTable = {nullptr,
                                               interfaceQueryInterface,
                                               comAddRef,
                                               comRelease,
                                               getDeviceReleaseNumber,
                                               getNumEndpoints,
                                               controlRequest,
                                               abortPipe,
                                               clearPipeStallBothEnds};

}  // namespace

namespace vmac::detail {

ComState::ComState(ComKind k, std::shared_ptr<DeviceState> d)
    : object{k == ComKind::PlugIn ? static_cast<void*>(&g_plugInTable)
                                  : static_cast<void*>(&g_interfaceTable),
             this},
      kind(k),
      device(std::move(d)) {}

void* newComObject(ComKind kind, std::shared_ptr<DeviceState> device) {
    auto* state = new ComState(kind, std::move(device));
    platform().comReferences.fetch_add(1);
    return &state->object;
}

}  // namespace vmac::detail

extern "C" {

// A service that is not a virtual USB interface, or other plug-in types, give
// kIOReturnUnsupported: no plug-in is registered for them.
kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType,
                                                IOCFPlugInInterface*** theInterface,
                                                SInt32* theScore) {
    NoCancel noCancel;
    if (theInterface == nullptr)
        return kIOReturnBadArgument;
    *theInterface = nullptr;
    if (theScore != nullptr)
        *theScore = 0;
    std::shared_ptr<DeviceState> device;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        const auto* found = vmac::detail::findPort(service);
        if (found == nullptr)
            return kIOReturnBadArgument;
        if (!found->isParent || found->device->parentKind != vmac::ParentKind::UsbInterface)
            return kIOReturnUnsupported;
        if (found->device->faults.plugInResult != kIOReturnSuccess)
            return found->device->faults.plugInResult;
        if (!found->device->attached)
            return found->device->detachedResult;
        if (found->device->faults.plugInNull)
            return kIOReturnSuccess;
        device = found->device;
    }
    if (pluginType != kIOUSBInterfaceUserClientTypeID || interfaceType != kIOCFPlugInInterfaceID)
        return kIOReturnUnsupported;
    *theInterface = static_cast<IOCFPlugInInterface**>(
        vmac::detail::newComObject(ComKind::PlugIn, std::move(device)));
    return kIOReturnSuccess;
}

}  // extern "C"
