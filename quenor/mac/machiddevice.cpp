#include "quenor/mac/machiddevice.h"

#include <chrono>
#include <cstring>

#include "quenor/mac/deviceproperties.h"
#include "quenor/mac/iostatus.h"
#include "quenor/mac/macdevicedescriptorhandle.h"
#include "quenor/mac/machiddeviceprivate.h"
#include "quenor/mac/registrydevice.h"
#include "quenor/mac/runningcall.h"
#include "quenor/mac/setsender.h"

using quenor::mac::ScopedCFRef;
using quenor::mac::ScopedCOMInterface;
using quenor::mac::ScopedIOObject;
using quenor::mac::SharedUsbInterface;
using quenor::mac::widenStatus;

AbstractHidDevice* AbstractHidDevice::create(const HidDeviceDescriptor& descriptor) {
    auto* device = new MacHidDevice();
    device->m_descriptor = descriptor;
    return device;
}

AbstractHidDevice* AbstractHidDevice::create(void* /*context*/,
                                             const HidDeviceDescriptor& descriptor) {
    return create(descriptor);
}

MacHidDevice::MacHidDevice() : sender(std::make_shared<quenor::mac::SetSender>()) {}

MacHidDevice::~MacHidDevice() {
    const auto deadline = std::chrono::steady_clock::now() + quenor::mac::kCallGrace;
    MacHidDevicePrivate* open = nullptr;
    std::shared_ptr<quenor::mac::RunningCall> running;
    {
        std::lock_guard<std::mutex> lock(privMutex);
        destroying = true;  // no operation enters a platform call from now on
        open = priv.get();
        running = runningCall.lock();
    }
    if (open) {
        open->beginStopping(true);  // pending input reads: aborted
    }
    if (running) {
        running->cancel();
    }
    // Operations still queued run here and answer aborted without a platform call;
    // one the queue thread takes meanwhile does the same.
    while (std::unique_ptr<hidutil::DeviceOperationBase> queued = requestQueue.peekOperation()) {
        queued->exec();
    }
    if (!requestQueue.stopBy(deadline)) {
        if (running && !running->finished) {
            // The queue thread is inside the call, past the last use of this object.
            requestQueue.detachWorker();
            running->abort();
        } else {
            // Not in a platform call: an operation that found destruction begun, or
            // one finishing. It ends in a few steps.
            requestQueue.stopBy(std::chrono::steady_clock::time_point::max());
        }
    }
    // The members go now: requestQueue, info, then priv (full shutdown).
}

MacHidDevice::CallEntry MacHidDevice::enterCall(
    const std::shared_ptr<quenor::mac::RunningCall>& call, IOHIDDeviceRef resolved) const {
    std::lock_guard<std::mutex> lock(privMutex);
    if (destroying) {
        return CallEntry::Destroying;
    }
    if (resolved && (!priv || priv->handle() != resolved)) {
        return CallEntry::NotOpen;
    }
    runningCall = call;
    return CallEntry::Entered;
}

MacHidDevice::CallEntry MacHidDevice::enterCall(
    const std::shared_ptr<quenor::mac::RunningCall>& call, SharedDevice& device) const {
    std::lock_guard<std::mutex> lock(privMutex);
    if (destroying) {
        return CallEntry::Destroying;
    }
    runningCall = call;
    device = priv ? priv->share() : nullptr;
    return CallEntry::Entered;
}

namespace {

// The USB interface object of the registry entry `service`, through its plug-in,
// or the status of the step that failed.
ScopedCOMInterface<IOUSBInterfaceStruct190> queryUsbInterface(io_service_t service,
                                                              int64_t& status) {
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    const kern_return_t created = IOCreatePlugInInterfaceForService(
        service, kIOUSBInterfaceUserClientTypeID, kIOCFPlugInInterfaceID, &plugIn, &score);
    if (created != kIOReturnSuccess || !plugIn) {
        status = widenStatus(created != kIOReturnSuccess ? created : kIOReturnError);
        return {};
    }
    auto plugInOwner = ScopedCOMInterface<IOCFPlugInInterface>::adopt(plugIn);
    IOUSBInterfaceStruct190** usbInterface = nullptr;
    const HRESULT queried =
        (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID190),
                                  reinterpret_cast<LPVOID*>(&usbInterface));
    plugInOwner.reset();  // not kept, whatever the query answered
    if (queried < 0 || !usbInterface) {
        status = queried < 0 ? static_cast<int64_t>(queried) : widenStatus(kIOReturnError);
        return {};
    }
    return ScopedCOMInterface<IOUSBInterfaceStruct190>::adopt(usbInterface);
}

}  // namespace

bool MacHidDevice::open_impl(int /*accessMode*/, int shareMode,
                             const HidDeviceDescriptor& descriptor) {
    // A failed step leaves its status for lastOpenStatus(); the steps without a
    // platform status of their own name the closest one. (An open that throws
    // leaves the status as it was.)
    const auto fail = [this](int64_t status) {
        openStatus.store(status, std::memory_order_relaxed);
        return false;
    };
    auto macHandle = std::dynamic_pointer_cast<MacDeviceDescriptorHandle>(descriptor.handle());
    if (!macHandle) {
        return fail(widenStatus(kIOReturnBadArgument));
    }
    int64_t lookupStatus = 0;
    ScopedIOObject entry = quenor::mac::findEntry(*macHandle, lookupStatus);
    if (!entry) {
        return fail(lookupStatus);
    }
    auto device =
        ScopedCFRef<IOHIDDeviceRef>::adopt(IOHIDDeviceCreate(kCFAllocatorDefault, entry.get()));
    if (!device) {
        return fail(widenStatus(kIOReturnNoDevice));
    }
    ScopedIOObject parent;
    const kern_return_t parentFound =
        IORegistryEntryGetParentEntry(entry.get(), kIOServicePlane, parent.initializeInto());
    if (parentFound != kIOReturnSuccess) {
        return fail(widenStatus(parentFound));
    }
    // A device on another transport (Bluetooth, SPI, user space) has no USB
    // interface and opens without one; a USB device must give us its interface.
    ScopedCOMInterface<IOUSBInterfaceStruct190> usbInterface;
    if (IOObjectConformsTo(parent.get(), "IOUSBHostInterface") ||
        IOObjectConformsTo(parent.get(), "IOUSBInterface")) {
        int64_t interfaceStatus = 0;
        usbInterface = queryUsbInterface(parent.get(), interfaceStatus);
        if (!usbInterface) {
            return fail(interfaceStatus);
        }
    }
    entry.reset();
    parent.reset();

    const IOOptionBits options =
        shareMode == 0 ? kIOHIDOptionsTypeSeizeDevice : kIOHIDOptionsTypeNone;
    const IOReturn openResult = IOHIDDeviceOpen(device.get(), options);
    if (openResult != kIOReturnSuccess) {
        return fail(widenStatus(openResult));
    }
    std::unique_ptr<MacHidDevicePrivate> opened;
    try {
        SharedUsbInterface shared;  // none without a USB interface
        if (usbInterface) {
            shared = std::make_shared<const ScopedCOMInterface<IOUSBInterfaceStruct190>>(
                std::move(usbInterface));
        }
        opened = std::make_unique<MacHidDevicePrivate>(std::move(device), options,
                                                       std::move(shared), droppedReports);
    } catch (...) {
        // The private object closes the device itself if its constructor fails; if
        // even its memory could not be had, the device is still ours to close.
        if (device) {
            IOHIDDeviceClose(device.get(), options);
        }
        throw;
    }

    // Read before the new object goes into service: if no memory can be had for
    // them, `opened` shuts down and the previous open stays.
    std::unique_ptr<DeviceInfo> fresh = readInfo(opened->openedDevice());

    std::unique_ptr<MacHidDevicePrivate> previous;
    {
        std::lock_guard<std::mutex> lock(privMutex);
        previous = std::move(priv);
        priv = std::move(opened);
        livePriv.store(priv.get());
    }
    droppedReports.store(0, std::memory_order_relaxed);
    if (previous) {
        retire(std::move(previous));
    }
    openStatus.store(0, std::memory_order_relaxed);
    if (fresh) {
        info = std::move(fresh);
        if (reportFilteringEnabled) {
            priv->collectEnabledReportIds(info->usage, info->usagePage);
        }
    }
    return true;
}

bool MacHidDevice::close_impl() {
    std::unique_ptr<MacHidDevicePrivate> closing;
    {
        std::lock_guard<std::mutex> lock(privMutex);
        closing = std::move(priv);
        livePriv.store(nullptr);
    }
    if (!closing) {
        return false;
    }
    retire(std::move(closing));
    return true;
}

void MacHidDevice::retire(std::unique_ptr<MacHidDevicePrivate> old) {
    old->beginStopping();
    {
        std::unique_lock<std::mutex> lock(privMutex);
        retiring = true;
        // Every stay, on `old` or (after a reopen) on its successor: all are short.
        privIdle.wait(lock, [&] { return stays.load() == 0; });
        retiring = false;
    }
    old.reset();
}

MacHidDevice::SharedDevice MacHidDevice::retainDevice() const {
    std::lock_guard<std::mutex> lock(privMutex);
    return priv ? priv->share() : nullptr;
}

SharedUsbInterface MacHidDevice::retainInterface() const {
    std::lock_guard<std::mutex> lock(privMutex);
    return priv ? priv->interface() : nullptr;
}

std::unique_ptr<MacHidDevice::DeviceInfo> MacHidDevice::readInfo(IOHIDDeviceRef device) const {
    if (!device) {
        return nullptr;
    }
    auto macHandle = std::dynamic_pointer_cast<MacDeviceDescriptorHandle>(descriptor().handle());
    if (!macHandle) {
        return nullptr;
    }
    auto record = std::make_unique<DeviceInfo>();

    const quenor::mac::UsagePair pair =
        quenor::mac::usagePairAt(device, macHandle->getUsagePairIndex());
    int32_t usage = pair.usage;
    int32_t page = pair.usagePage;
    if (usage < 0 || page < 0) {
        usage = quenor::mac::numberProperty(device, CFSTR("PrimaryUsage"));
        page = quenor::mac::numberProperty(device, CFSTR("PrimaryUsagePage"));
    }
    record->usage = static_cast<uint16_t>(usage);
    record->usagePage = static_cast<uint16_t>(page);
    record->maxInputReportSize =
        static_cast<uint16_t>(quenor::mac::numberProperty(device, CFSTR("MaxInputReportSize")));
    record->maxOutputReportSize =
        static_cast<uint16_t>(quenor::mac::numberProperty(device, CFSTR("MaxOutputReportSize")));
    record->maxFeatureReportSize =
        static_cast<uint16_t>(quenor::mac::numberProperty(device, CFSTR("MaxFeatureReportSize")));
    record->manufacturer = quenor::mac::getStringProperty(device, CFSTR("Manufacturer"));
    record->product = quenor::mac::getStringProperty(device, CFSTR("Product"));
    record->serialNumber = quenor::mac::getStringProperty(device, CFSTR("SerialNumber"));
    return record;
}

bool MacHidDevice::isOpened() const {
    std::lock_guard<std::mutex> lock(privMutex);
    return priv && !priv->isDisconnected();
}

IOHIDDeviceRef MacHidDevice::handle() const {
    std::lock_guard<std::mutex> lock(privMutex);
    return priv ? priv->handle() : nullptr;
}

void* MacHidDevice::nativeHandle() const {
    return handle();
}

int MacHidDevice::usage() const {
    return info ? info->usage : 0;
}

int MacHidDevice::usagePage() const {
    return info ? info->usagePage : 0;
}

LinkCollectionNode* MacHidDevice::linkCollection() {
    return nullptr;
}

uint16_t MacHidDevice::usbDeviceVersion() const {
    const SharedUsbInterface usbInterface = retainInterface();
    if (!usbInterface) {
        // A device without a USB interface tells its version as a HID property.
        const SharedDevice device = retainDevice();
        return device ? static_cast<uint16_t>(quenor::mac::numberProperty(
                            device->get(), CFSTR(kIOHIDVersionNumberKey)))
                      : 0;
    }
    IOUSBInterfaceStruct190** intf = usbInterface->get();
    UInt16 release = 0;
    if ((*intf)->GetDeviceReleaseNumber(intf, &release) != kIOReturnSuccess) {
        return 0;
    }
    return release;
}

int MacHidDevice::reportSize(ReportType type) {
    if (!info) {
        return 0;  // sizes are known only after the first successful open
    }
    switch (type) {
        case ReportType::Input:
            return info->maxInputReportSize;
        case ReportType::Output:
            return info->maxOutputReportSize;
        case ReportType::Feature:
            return info->maxFeatureReportSize;
    }
    return 0;
}

ReportBuffer MacHidDevice::allocateReport_impl(ReportType type) {
    return std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(reportSize(type)));
}

void MacHidDevice::setReportFilteringEnabled(bool enabled) {
    if (enabled == reportFilteringEnabled) {
        return;
    }
    reportFilteringEnabled = enabled;
    if (!isOpened() || !info) {
        return;  // the next open builds the list
    }
    if (enabled) {
        priv->collectEnabledReportIds(info->usage, info->usagePage);
    } else {
        priv->clearEnabledReportIds();
    }
}

bool MacHidDevice::isReportFilteringEnabled() const {
    return reportFilteringEnabled;
}

int64_t MacHidDevice::lastOpenStatus() const {
    return openStatus.load(std::memory_order_relaxed);
}

uint64_t MacHidDevice::droppedInputReports() const {
    return droppedReports.load(std::memory_order_relaxed);
}
