// RegistryTest: a DeviceTest that plugs devices with their registry properties in
// place (as a real device is published), for the enumerator and monitor suites.
// It also ends with no notification port left.
#pragma once

#include <quenor/mac/hiddeviceentry.h>
#include <vmac/control.h>

#include "devicefixture.h"
#include "tests/vmac/propertylist.h"

#include <string>
#include <utility>
#include <vector>

namespace devicetest {

using vmactest::PropertyList;

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
        DeviceTest::TearDown();
        EXPECT_EQ(0, vmac::liveNotificationPortCount()) << "notification port left";
    }

    // A USB HID device with an identity of its own; `pairs` empty leaves
    // "DeviceUsagePairs" out, and the primary pair is the first pair (or 1/1).
    static vmac::VirtualDevice plugHid(const std::string& path, long long vendor, long long product,
                                       const Pairs& pairs) {
        PropertyList properties;
        properties.number("VendorID", vendor)
            .number("ProductID", product)
            .number("VersionNumber", 0x0100)
            .text("Manufacturer", "Maker " + std::to_string(vendor))
            .text("Product", "Product " + std::to_string(product))
            .text("SerialNumber", "SN-" + path.substr(path.rfind('/') + 1))
            .number("PrimaryUsagePage", pairs.empty() ? 1 : pairs.front().first)
            .number("PrimaryUsage", pairs.empty() ? 1 : pairs.front().second)
            .number("MaxInputReportSize", 64)
            .number("MaxOutputReportSize", 64)
            .number("MaxFeatureReportSize", 8)
            .text("Transport", "USB");
        if (!pairs.empty())
            properties.pairs(pairs);
        return properties.plug(path);
    }
};

}  // namespace devicetest
