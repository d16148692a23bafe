// The demo's device off Apple hosts: a small vendor-defined HID gadget on the
// virtual platform. Its "firmware" echoes every output report back as an input
// report, remembers the last feature report written and answers reads with it.
#include <cstdio>
#include <mutex>

#include <vmac/gadget.h>

#include "demotarget.h"

namespace {

constexpr uint8_t kOutputId = 1;
constexpr uint8_t kFeatureId = 3;
constexpr uint8_t kForeignId = 9;  // a consumer-control report on another usage page
constexpr int kReportSize = 9;     // report ID + 8 payload bytes
constexpr int kFeatureSize = 5;

// Pair 0 is the vendor interface the demo opens; pair 1 the consumer controls.
vmac::Gadget echoGadget() {
    vmac::Gadget g;
    g.path = "IOService:/vmac/EchoGadget@14100000/IOUSBHostInterface@0/HIDDevice";
    g.vendorId = 0x1209;
    g.productId = 0xE1E1;
    g.primaryUsagePage = 0x000C;
    g.primaryUsage = 0x0001;
    g.usagePairs = {{{0xFF00, 0x0001}, {0x000C, 0x0001}}};
    g.maxInputReportSize = g.maxOutputReportSize = kReportSize;
    g.maxFeatureReportSize = kFeatureSize;
    g.manufacturer = "Quenor Labs";
    g.product = "Echo Gadget \xE2\x80\x94 model E1";
    g.serialNumber = "E1-000042";
    g.elements = {{0xFF00, 0x0001, 0},  // the application collection
                  {0xFF00, 0x0002, kOutputId},
                  {0xFF00, 0x0003, kFeatureId},
                  {0x000C, 0x00E9, kForeignId}};
    g.releaseNumber = 0x0102;
    g.numEndpoints = 2;
    g.stringDescriptors = {{0, vmac::stringDescriptor(u"\u0409")},
                           {1, vmac::stringDescriptor(u"Quenor Labs")},
                           {2, vmac::stringDescriptor(u"Echo Gadget E1")}};
    return g;
}

class VirtualGadget : public DemoTarget {
public:
    VirtualGadget() {
        vmac::Gadget gadget = echoGadget();
        gadget.responder = [this](const vmac::ReportCall& call) { return firmware(call); };
        m_device = gadget.plug();
    }

    // No path given: the demo finds the gadget through the enumerator.
    std::wstring path() const override { return std::wstring(); }
    int usagePairIndex() const override { return 0; }
    std::string describe() const override {
        return "a simulated vendor-defined HID gadget (usage page 0xFF00) on the virtual macOS "
               "HID platform";
    }
    uint8_t outputReportId() const override { return kOutputId; }
    uint8_t featureReportId() const override { return kFeatureId; }
    uint8_t foreignReportId() const override { return kForeignId; }

    bool sendInput(uint8_t reportId, const std::vector<uint8_t>& bytes) override {
        std::vector<uint8_t> report(bytes);
        report.resize(kReportSize);
        return m_device.injectInputReport(reportId, report).wait() != vmac::Outcome::Pending;
    }

    void unplug() override { m_device.unplug().wait(); }

private:
    // Runs on the thread that made the platform call.
    vmac::ReportAnswer firmware(const vmac::ReportCall& call) {
        vmac::ReportAnswer answer;
        if (call.kind == vmac::ReportCallKind::Set && call.type == kIOHIDReportTypeOutput) {
            m_device.injectInputReport(static_cast<uint32_t>(call.reportId), call.bytes);
        } else if (call.kind == vmac::ReportCallKind::Set) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_feature = call.bytes;
        } else {
            std::lock_guard<std::mutex> lock(m_mutex);
            answer.data = m_feature;
        }
        return answer;
    }

    vmac::VirtualDevice m_device;
    std::mutex m_mutex;
    std::vector<uint8_t> m_feature;  // guarded by m_mutex
};

}  // namespace

std::unique_ptr<DemoTarget> makeDemoTarget(int argc, char** /*argv*/) {
    if (argc > 1) {
        std::fprintf(stderr,
                     "quenor-demo: this build talks to a simulated gadget and takes no "
                     "arguments; on macOS pass a registry path and a usage-pair index\n");
        return nullptr;
    }
    return std::make_unique<VirtualGadget>();
}
