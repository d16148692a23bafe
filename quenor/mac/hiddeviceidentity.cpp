#include "quenor/mac/hiddeviceidentity.h"

#include <memory>
#include <tuple>

#include "quenor/mac/macdevicedescriptorhandle.h"
#include "quenor/mac/registrydevice.h"

using quenor::mac::ScopedIOObject;

namespace {

auto fields(const HidDeviceIdentity& i) {
    return std::tie(i.vendorId, i.productId, i.releaseNumber, i.manufacturer, i.product,
                    i.serialNumber, i.usagePage, i.usage, i.primaryUsagePage, i.primaryUsage,
                    i.maxInputReportSize, i.maxOutputReportSize, i.maxFeatureReportSize,
                    i.transport, i.locationId, i.usbStringsAvailable);
}

}  // namespace

bool HidDeviceIdentity::operator==(const HidDeviceIdentity& other) const {
    return fields(*this) == fields(other);
}

std::optional<HidDeviceIdentity> readHidDeviceIdentity(const HidDeviceDescriptor& descriptor) {
    auto handle = std::dynamic_pointer_cast<MacDeviceDescriptorHandle>(descriptor.handle());
    if (!handle) {
        return std::nullopt;
    }
    int64_t status = 0;
    ScopedIOObject entry = quenor::mac::findEntry(*handle, status);
    if (!entry) {
        return std::nullopt;
    }
    return quenor::mac::readIdentity(entry.get(), handle->getUsagePairIndex());
}
