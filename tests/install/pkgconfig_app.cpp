// One file built against the installed package with nothing but
//   c++ -std=c++17 pkgconfig_app.cpp $(pkg-config --cflags --libs quenor)
// It checks that the headers and the library it runs with are the same version and, in a build
// for the virtual platform, sends a report to a virtual device and reads the device's answer.
#include <quenor/abstracthiddevice.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>
#include <quenor/version.h>

#if defined(APP_DRIVES_VIRTUAL_GADGET)
#include <vmac/control.h>
#endif

#include <cstdio>
#include <cstring>
#include <memory>

int main() {
    if (quenor::versionNumber() != QUENOR_VERSION ||
        std::strcmp(quenor::versionString(), QUENOR_VERSION_STRING) != 0) {
        std::fprintf(stderr, "headers are quenor %s, the library is %s\n", QUENOR_VERSION_STRING,
                     quenor::versionString());
        return 1;
    }
    std::printf("quenor %s\n", quenor::versionString());
#if defined(APP_DRIVES_VIRTUAL_GADGET)
    // An echo device: every output report comes back as an input report.
    vmac::VirtualDevice gadget = vmac::plugDevice("IOService:/pkgconfig/Echo@1/Interface@0/HID");
    gadget.setNumberProperty("PrimaryUsagePage", 0xFF00);
    gadget.setNumberProperty("PrimaryUsage", 1);
    gadget.setNumberProperty("MaxInputReportSize", 4);
    gadget.setNumberProperty("MaxOutputReportSize", 4);
    // The firmware runs on the thread of the platform call; `gadget` outlives the device.
    gadget.setReportResponder([&gadget](const vmac::ReportCall& call) {
        gadget.injectInputReport(static_cast<uint32_t>(call.reportId), call.bytes);
        return vmac::ReportAnswer{};
    });

    std::unique_ptr<AbstractHidDevice> device(AbstractHidDevice::create(HidDeviceDescriptor(
        new MacDeviceDescriptorHandle(L"IOService:/pkgconfig/Echo@1/Interface@0/HID", 0))));
    if (!device->open(0, 1)) {
        std::fprintf(stderr, "cannot open the virtual device\n");
        return 1;
    }
    ReportBuffer out = device->allocateReport(AbstractHidDevice::Output);
    *out = {5, 'p', 'k', 'g'};
    ReportBuffer in = device->allocateReport(AbstractHidDevice::Input);
    auto sent = device->setReport(5, out, 1000);
    auto read = device->getReport(in, 1000);
    const bool echoed = sent.wait_for(5000) && sent.value().success && read.wait_for(5000) &&
                        read.value().success && *in == *out;
    device.reset();
    vmac::reset();
    if (!echoed) {
        std::fprintf(stderr, "the virtual device's echo did not come back\n");
        return 1;
    }
    std::printf("echoed a report through a virtual device\n");
#endif
    return 0;
}
