// One file built against the installed package with nothing but
//   c++ -std=c++17 pkgconfig_app.cpp $(pkg-config --cflags --libs quenor)
// It checks that the headers and the library it runs with are the same version and, in a build
// for the virtual platform, opens a virtual device and sends it a report (the consumer example
// drives a gadget further, through the CMake package).
#include <quenor/abstracthiddevice.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>
#include <quenor/version.h>

#if defined(APP_DRIVES_VIRTUAL_GADGET)
#include <vmac/gadget.h>
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
    vmac::Gadget echo;  // at the default path
    echo.primaryUsagePage = 0xFF00, echo.primaryUsage = 1;
    echo.maxInputReportSize = echo.maxOutputReportSize = 4;
    vmac::VirtualDevice gadget = echo.plug();
    std::unique_ptr<AbstractHidDevice> device(AbstractHidDevice::create(HidDeviceDescriptor(
        new MacDeviceDescriptorHandle(std::wstring(echo.path.begin(), echo.path.end()), 0))));
    bool delivered = device->open(0, 1);
    if (delivered) {
        ReportBuffer out = device->allocateReport(AbstractHidDevice::Output);
        *out = {5, 'p', 'k', 'g'};
        auto sent = device->setReport(5, out, 1000);
        delivered =
            sent.wait_for(5000) && sent.value().success && gadget.reportCalls().at(0).bytes == *out;
    }
    device.reset();
    vmac::reset();
    if (!delivered) {
        std::fprintf(stderr, "the report did not reach the virtual device\n");
        return 1;
    }
    std::printf("sent a report to a virtual device\n");
#endif
    return 0;
}
