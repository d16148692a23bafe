// The simulated gadgets on the virtual macOS HID platform.
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <vmac/control.h>

#include "simulation.h"

namespace {

// Properties of one gadget; values owned here, retained by the platform.
class Properties {
public:
    ~Properties() {
        for (auto& value : m_values) {
            CFRelease(value.second);
        }
    }
    Properties& number(const std::string& key, long long value) {
        m_values[key] = vmac::makeNumber(value);
        return *this;
    }
    Properties& text(const std::string& key, const std::string& value) {
        m_values[key] = vmac::makeString(value);
        return *this;
    }
    Properties& pairs(const std::vector<std::pair<long long, long long>>& pairs) {
        m_values["DeviceUsagePairs"] = vmac::makeUsagePairs(pairs);
        return *this;
    }
    const std::map<std::string, CFTypeRef>& values() const { return m_values; }

private:
    std::map<std::string, CFTypeRef> m_values;
};

struct Gadget {
    std::string path;
    long long vendor, product, location;
    std::string manufacturer, productName, serial, transport;
    std::vector<std::pair<long long, long long>> pairs;
    vmac::ParentKind parent;
};

const std::vector<Gadget>& gadgets() {
    static const std::vector<Gadget> all = {
        {"IOService:/vmac/XHC@14000000/Keypad@14100000/IOUSBHostInterface@0/Keypad",
         0x1209,
         0x4B50,
         0x14100000,
         "Quenor Labs",
         "Macro Keypad K8",
         "K8-0001",
         "USB",
         {{0x0001, 0x0006}, {0x000C, 0x0001}},
         vmac::ParentKind::UsbInterface},
        {"IOService:/vmac/XHC@14000000/EchoGadget@14200000/IOUSBHostInterface@0/EchoGadget",
         0x1209,
         0xE1E1,
         0x14200000,
         "Quenor Labs",
         "Echo Gadget E1",
         "E1-000042",
         "USB",
         {{0xFF00, 0x0001}},
         vmac::ParentKind::UsbInterface},
        {"IOService:/vmac/BT/Pointer@5a/Pointer",
         0x1209,
         0x5052,
         0x5A,
         "Quenor Labs",
         "Wireless Pointer",
         "",
         "Bluetooth",
         {{0x0001, 0x0002}},
         vmac::ParentKind::Other},
    };
    return all;
}

vmac::VirtualDevice plug(const Gadget& gadget) {
    Properties properties;
    properties.number("VendorID", gadget.vendor)
        .number("ProductID", gadget.product)
        .number("VersionNumber", 0x0100)
        .number("LocationID", gadget.location)
        .text("Manufacturer", gadget.manufacturer)
        .text("Product", gadget.productName)
        .text("SerialNumber", gadget.serial)
        .text("Transport", gadget.transport)
        .number("PrimaryUsagePage", gadget.pairs.front().first)
        .number("PrimaryUsage", gadget.pairs.front().second)
        .number("MaxInputReportSize", 9)
        .number("MaxOutputReportSize", 9)
        .number("MaxFeatureReportSize", 5)
        .pairs(gadget.pairs);
    return vmac::plugDeviceWithProperties(gadget.path, properties.values(), gadget.parent);
}

class VirtualSimulation : public Simulation {
public:
    VirtualSimulation() {
        for (const Gadget& gadget : gadgets()) {
            m_devices.push_back(plug(gadget));
        }
    }
    ~VirtualSimulation() override {
        if (m_replugger.joinable()) {
            m_replugger.join();
        }
    }

    // The echo gadget goes after a second and comes back a second later.
    void replugLater() override {
        m_replugger = std::thread([device = m_devices[1]]() mutable {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            device.unplug();
            std::this_thread::sleep_for(std::chrono::seconds(1));
            plug(gadgets()[1]);
        });
    }

private:
    std::vector<vmac::VirtualDevice> m_devices;
    std::thread m_replugger;
};

}  // namespace

std::unique_ptr<Simulation> startSimulation() {
    return std::make_unique<VirtualSimulation>();
}

const char* noDeviceHint() {
    return " (this build lists the virtual platform, where nothing is plugged in until a "
           "program plugs it: try --simulate)";
}
