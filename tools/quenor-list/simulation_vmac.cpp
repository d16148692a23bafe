// The simulated gadgets on the virtual macOS HID platform.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <vmac/gadget.h>

#include "simulation.h"

namespace {

vmac::Gadget gadget(std::string path, long long product, long long location,
                    std::string productName, std::string serial, std::string transport,
                    std::vector<vmac::UsagePair> pairs) {
    vmac::Gadget g;
    g.path = std::move(path);
    g.parent = transport == "USB" ? vmac::ParentKind::UsbInterface : vmac::ParentKind::Other;
    g.vendorId = 0x1209;
    g.productId = product;
    g.versionNumber = 0x0100;
    g.locationId = location;
    g.manufacturer = "Quenor Labs";
    g.product = std::move(productName);
    g.serialNumber = std::move(serial);
    g.transport = std::move(transport);
    g.primaryUsagePage = pairs.front().usagePage;
    g.primaryUsage = pairs.front().usage;
    g.usagePairs = std::move(pairs);
    g.maxInputReportSize = g.maxOutputReportSize = 9;
    g.maxFeatureReportSize = 5;
    return g;
}

// The keypad, the echo gadget and a Bluetooth pointer (the mouse and its physical collection).
std::vector<vmac::Gadget> gadgets() {
    std::vector<vmac::Gadget> all = {
        gadget("IOService:/vmac/XHC@14000000/Keypad@14100000/IOUSBHostInterface@0/Keypad", 0x4B50,
               0x14100000, "Macro Keypad K8", "K8-0001", "USB",
               {{0x0001, 0x0006}, {0x000C, 0x0001}}),
        gadget("IOService:/vmac/XHC@14000000/EchoGadget@14200000/IOUSBHostInterface@0/EchoGadget",
               0xE1E1, 0x14200000, "Echo Gadget E1", "E1-000042", "USB", {{0xFF00, 0x0001}}),
        gadget("IOService:/vmac/BT/Pointer@5a/Pointer", 0x5052, 0x5A, "Wireless Pointer", "",
               "Bluetooth", {{0x0001, 0x0002}, {0x0001, 0x0001}})};
    // Tests give the echo gadget strings of their own (quotes, control characters,
    // any UTF-8) to see them through the output.
    for (auto [name, field] : {std::pair{"QUENOR_LIST_ECHO_MANUFACTURER", &all[1].manufacturer},
                               std::pair{"QUENOR_LIST_ECHO_PRODUCT", &all[1].product},
                               std::pair{"QUENOR_LIST_ECHO_SERIAL", &all[1].serialNumber}}) {
        if (const char* text = std::getenv(name)) {
            *field = text;
        }
    }
    return all;
}

class VirtualSimulation : public Simulation {
public:
    VirtualSimulation() {
        for (const vmac::Gadget& gadget : m_gadgets) {
            m_devices.push_back(gadget.plug());
        }
    }
    ~VirtualSimulation() override {
        if (m_replugger.joinable()) {
            m_replugger.join();
        }
    }

    // The echo gadget goes after a second and comes back a second later.
    void replugLater() override {
        m_replugger = std::thread([this] {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            m_devices[1].unplug();
            std::this_thread::sleep_for(std::chrono::seconds(1));
            m_gadgets[1].plug();
        });
    }

private:
    const std::vector<vmac::Gadget> m_gadgets = gadgets();
    std::vector<vmac::VirtualDevice> m_devices;
    std::thread m_replugger;
};

}  // namespace

std::unique_ptr<Simulation> startSimulation() {
    // As on a Mac whose user has not yet granted Input Monitoring: the keypad and
    // the pointer then do not open, and --open says why.
    vmac::setInputMonitoring(vmac::InputMonitoring::Unknown);
    return std::make_unique<VirtualSimulation>();
}

const char* noDeviceHint() {
    return " (this build lists the virtual platform, where nothing is plugged in until a "
           "program plugs it: try --simulate)";
}
