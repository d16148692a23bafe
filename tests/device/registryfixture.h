// RegistryTest: a DeviceTest that plugs devices with their registry properties in
// place (as a real device is published), for the enumerator and monitor suites.
#pragma once

#include <quenor/mac/hiddeviceentry.h>
#include <vmac/control.h>

#include "devicefixture.h"

#include <string>
#include <utility>
#include <vector>

namespace devicetest {

using Pairs = std::vector<std::pair<long long, long long>>;

// "path/index", the way a descriptor prints, narrowed.
inline std::string where(const HidDeviceEntry& entry) {
    return std::string(entry.path.begin(), entry.path.end()) + "/" +
           std::to_string(entry.usagePairIndex);
}

class RegistryTest : public DeviceTest {
protected:
    void TearDown() override {
        vmac::setNotificationFaults({});
        DeviceTest::TearDown();  // its live counts include the notification ports
    }

    // A USB HID device with an identity of its own; `pairs` empty leaves
    // "DeviceUsagePairs" out, and the primary pair is the first pair (or 1/1).
    static vmac::VirtualDevice plugHid(const std::string& path, long long vendor, long long product,
                                       const Pairs& pairs) {
        vmac::Gadget hid;
        hid.path = path, hid.vendorId = vendor, hid.productId = product, hid.versionNumber = 0x0100;
        hid.manufacturer = "Maker " + std::to_string(vendor);
        hid.product = "Product " + std::to_string(product);
        hid.serialNumber = "SN-" + path.substr(path.rfind('/') + 1);
        hid.primaryUsagePage = pairs.empty() ? 1 : pairs.front().first;
        hid.primaryUsage = pairs.empty() ? 1 : pairs.front().second;
        hid.maxInputReportSize = hid.maxOutputReportSize = 64;
        hid.maxFeatureReportSize = 8, hid.transport = "USB";
        if (!pairs.empty()) {
            hid.usagePairs.emplace();
            for (const auto& [page, usage] : pairs)
                hid.usagePairs->push_back({page, usage});
        }
        return hid.plug();
    }
};

}  // namespace devicetest
