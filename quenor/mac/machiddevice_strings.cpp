// Device strings of MacHidDevice: the cached HID strings, answered at once, and
// USB string descriptors, fetched by a control request on the request queue.
#include <algorithm>
#include <array>

#include "quenor/mac/answer.h"
#include "quenor/mac/iostatus.h"
#include "quenor/mac/machiddevice.h"
#include "quenor/mac/machiddeviceprivate.h"
#include "quenor/mac/runningcall.h"
#include "quenor/mac/utf8.h"

using quenor::mac::SharedUsbInterface;
using StrResult = AbstractHidDevice::AsyncStrReqResult;

namespace {

struct StringRecords {
    static StrResult record(IOReturn status) {
        return {false, {}, quenor::mac::widenStatus(status)};
    }
    StrResult aborted() const { return record(kIOReturnAborted); }
    StrResult noMemory() const { return record(kIOReturnNoMemory); }
};
using StringRequest = quenor::mac::QueuedCall<StrResult, StringRecords>;

// USB standard GET_DESCRIPTOR for a string descriptor, English (United States).
constexpr UInt8 kDeviceToHostStandardDevice = 0x80;
constexpr UInt8 kGetDescriptor = 6;
constexpr UInt16 kStringDescriptorType = 0x0300;
constexpr UInt16 kLanguageEnglishUS = 0x0409;
constexpr size_t kDescriptorBufferSize = 130;  // 2-byte header + 64 UTF-16 units
constexpr size_t kMaxUnits = (kDescriptorBufferSize - 2) / 2;

// Code units are passed on one by one; surrogate pairs stay two characters.
std::wstring descriptorText(const std::array<uint8_t, kDescriptorBufferSize>& descriptor) {
    std::wstring text;
    const size_t length = descriptor[0];
    if (length < 4) {
        return text;
    }
    const size_t units = std::min((length - 2) / 2, kMaxUnits);
    for (size_t i = 0; i < units; ++i) {
        text.push_back(static_cast<wchar_t>(descriptor[2 + 2 * i] | (descriptor[3 + 2 * i] << 8)));
    }
    return text;
}

StrResult fetchUsbString(IOUSBInterfaceStruct190** usbInterface, int index) {
    std::array<uint8_t, kDescriptorBufferSize> descriptor = {};
    IOUSBDevRequest request = {};
    request.bmRequestType = kDeviceToHostStandardDevice;
    request.bRequest = kGetDescriptor;
    // An index past 255 spills into the type byte, as the request has always done.
    request.wValue = static_cast<UInt16>(kStringDescriptorType | index);
    request.wIndex = kLanguageEnglishUS;
    request.wLength = kDescriptorBufferSize;
    request.pData = descriptor.data();
    const IOReturn result = (*usbInterface)->ControlRequest(usbInterface, 0, &request);
    if (result != kIOReturnSuccess) {
        return {false, {}, quenor::mac::widenStatus(result)};
    }
    return {true, descriptorText(descriptor), 0};
}

}  // namespace

hidutil::async_request<StrResult> MacHidDevice::cachedString(std::string DeviceInfo::*field) const {
    if (!info) {
        return hidutil::make_ready_request<StrResult>({false, {}, 0});  // nothing was ever read
    }
    return hidutil::make_ready_request<StrResult>(
        {true, quenor::mac::decodeUtf8(info.get()->*field), 0});
}

hidutil::async_request<StrResult> MacHidDevice::manufacturerName() const {
    return cachedString(&DeviceInfo::manufacturer);
}

hidutil::async_request<StrResult> MacHidDevice::productName() const {
    return cachedString(&DeviceInfo::product);
}

hidutil::async_request<StrResult> MacHidDevice::serialNumber() const {
    return cachedString(&DeviceInfo::serialNumber);
}

hidutil::async_request<StrResult> MacHidDevice::usbString(int index) const {
    if (!isOpened()) {
        return hidutil::make_ready_request<StrResult>({false, {}, 0});
    }
    // A share of the interface: a close while the request waits in the queue or
    // runs cannot release it under the request.
    SharedUsbInterface usbInterface = retainInterface();
    if (!usbInterface) {
        return productName();
    }
    auto call = StringRequest::make(StringRecords{});
    auto request = StringRequest::request(call);
    requestQueue.pushOperation(std::move(call), [this, usbInterface = std::move(usbInterface),
                                                 index](std::shared_ptr<StringRequest>& fetch) {
        if (enterCall(fetch) != CallEntry::Entered) {
            fetch->abort();
            return;
        }
        // From here on this device may be gone: only `fetch` and `usbInterface`.
        fetch->run([&] { fetch->answer(fetchUsbString(usbInterface->get(), index)); });
    });
    return request;
}
