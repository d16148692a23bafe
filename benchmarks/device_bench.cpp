// Transfers through an open device on the virtual platform: what the library
// adds around the platform calls (queue hops, the sender thread of a set
// transfer, the input queue and the worker's run loop).
#include <benchmark/benchmark.h>

#include <quenor/abstracthiddevice.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>
#include <vmac/control.h>

#include <memory>

namespace {

constexpr const char* kPath = "IOService:/bench/Gadget@1/Interface@0/HIDDevice";

struct OpenGadget {
    OpenGadget() : gadget(vmac::plugDevice(kPath)) {
        gadget.setNumberProperty("MaxInputReportSize", 64);
        gadget.setNumberProperty("MaxOutputReportSize", 64);
        gadget.setNumberProperty("MaxFeatureReportSize", 64);
        const std::string path(kPath);
        device.reset(AbstractHidDevice::create(HidDeviceDescriptor(
            new MacDeviceDescriptorHandle(std::wstring(path.begin(), path.end()), 0))));
        opened = device->open(0, 1);
    }
    ~OpenGadget() {
        device.reset();
        vmac::reset();
    }
    vmac::VirtualDevice gadget;
    std::unique_ptr<AbstractHidDevice> device;
    bool opened = false;
};

void SetReportRoundTrip(benchmark::State& state) {
    OpenGadget g;
    if (!g.opened) {
        state.SkipWithError("the virtual gadget did not open");
        return;
    }
    for (auto _ : state) {
        ReportBuffer out = g.device->allocateReport(AbstractHidDevice::Output);
        g.device->setReport(1, out, 1000).wait();
    }
}
BENCHMARK(SetReportRoundTrip)->UseRealTime();

void GetFeatureRoundTrip(benchmark::State& state) {
    OpenGadget g;
    if (!g.opened) {
        state.SkipWithError("the virtual gadget did not open");
        return;
    }
    for (auto _ : state) {
        ReportBuffer feature = g.device->allocateReport(AbstractHidDevice::Feature);
        g.device->getFeature(2, feature).wait();
    }
}
BENCHMARK(GetFeatureRoundTrip)->UseRealTime();

// An input report from the device's side to the application's buffer.
void InputReportRoundTrip(benchmark::State& state) {
    OpenGadget g;
    if (!g.opened) {
        state.SkipWithError("the virtual gadget did not open");
        return;
    }
    const std::vector<uint8_t> report(64, 0x5A);
    for (auto _ : state) {
        ReportBuffer in = g.device->allocateReport(AbstractHidDevice::Input);
        auto read = g.device->getReport(in, -1);
        g.gadget.injectInputReport(1, report);
        read.wait();
    }
}
BENCHMARK(InputReportRoundTrip)->UseRealTime();

}  // namespace
