// Which HID devices an application wants: any subset of vendor ID, product ID, usage
// page and usage. An empty match takes every device.
//
// The usage page and usage apply to each usage pair on its own, so a device with a
// keyboard pair and a vendor-defined pair yields only the pair that matches. A usage
// without a page matches pairs with that usage on any page.
#pragma once

#include <quenor/export.h>
#include <quenor/mac/hiddeviceidentity.h>

#include <cstdint>
#include <optional>

struct QUENOR_EXPORT HidDeviceMatch {
    std::optional<uint16_t> vendorId;
    std::optional<uint16_t> productId;
    std::optional<uint16_t> usagePage;
    std::optional<uint16_t> usage;

    // Whether an entry with this identity (its own usage pair) is wanted.
    bool matches(const HidDeviceIdentity& identity) const;
};
