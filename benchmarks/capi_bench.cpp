// The C interface's cost over the C++ call it wraps, on the virtual platform: the same
// blocking feature read and input read, once through quenor.h and once through the C++
// device, each on a gadget of its own in the same process.
#include <benchmark/benchmark.h>

#include <quenor/abstracthiddevice.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>
#include <quenor/quenor.h>
#include <vmac/control.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pairedrun.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kCppPath = "IOService:/bench/CGadget@1/Interface@0/HIDDevice";
constexpr const char* kCPath = "IOService:/bench/CGadget@2/Interface@0/HIDDevice";
constexpr int kRounds = 11;
constexpr size_t kReportSize = 64;

// Published with its properties, so that the C side can list it like an application.
vmac::VirtualDevice plugGadget(const char* path, long long productId) {
    const std::map<std::string, CFTypeRef> properties = {
        {"ProductID", vmac::makeNumber(productId)},
        {"MaxInputReportSize", vmac::makeNumber(kReportSize)},
        {"MaxFeatureReportSize", vmac::makeNumber(kReportSize)}};
    vmac::VirtualDevice gadget = vmac::plugDeviceWithProperties(path, properties);
    for (const auto& property : properties) {
        CFRelease(property.second);
    }
    return gadget;
}

// One gadget opened through C++ (the baseline) and one through C (the row).
struct Pair {
    Pair() : cppGadget(plugGadget(kCppPath, 0xBE01)), cGadget(plugGadget(kCPath, 0xBE02)) {
        const std::string path(kCppPath);
        cpp.reset(AbstractHidDevice::create(HidDeviceDescriptor(
            new MacDeviceDescriptorHandle(std::wstring(path.begin(), path.end()), 0))));
        const quenor_match match{QUENOR_MATCH_PRODUCT_ID, 0, 0xBE02, 0, 0};
        quenor_entry* entries = nullptr;
        size_t count = 0;
        opened = cpp->open(0, 1) &&
                 quenor_devices_list(&match, &entries, &count) == QUENOR_STATUS_OK && count == 1 &&
                 quenor_device_open(entries, QUENOR_OPEN_SHARED, &c) == QUENOR_STATUS_OK;
        quenor_entries_free(entries);
    }
    ~Pair() {
        quenor_device_destroy(c);
        cpp.reset();
        vmac::reset();
    }

    vmac::VirtualDevice cppGadget, cGadget;
    std::unique_ptr<AbstractHidDevice> cpp;
    quenor_device* c = nullptr;
    bool opened = false;
};

#define REQUIRE_OPEN(pair)                                       \
    if (!(pair).opened) {                                        \
        state.SkipWithError("the virtual gadgets did not open"); \
        return;                                                  \
    }

// quenor_get_feature (blocking) against getFeature(2, buffer) and wait.
void CApiGetFeature(benchmark::State& state) {
    Pair pair;
    REQUIRE_OPEN(pair);
    ReportBuffer buffer = pair.cpp->allocateReport(AbstractHidDevice::Feature);
    std::vector<uint8_t> bytes(kReportSize);
    auto baseline = [&] {
        auto request = pair.cpp->getFeature(2, buffer);
        request.wait();
        benchmark::DoNotOptimize(request.value().success);
    };
    auto library = [&] {
        size_t length = 0;
        benchmark::DoNotOptimize(
            quenor_get_feature(pair.c, 2, bytes.data(), bytes.size(), &length, -1));
    };
    bench::comparePaired(state, 500, baseline, library);
}
BENCHMARK(CApiGetFeature)->Iterations(kRounds)->UseRealTime();

// quenor_read (blocking) against getReport(buffer, 1000) and wait, each taking a report
// already queued; the injection before it is not timed.
void CApiInputRead(benchmark::State& state) {
    Pair pair;
    REQUIRE_OPEN(pair);
    const std::vector<uint8_t> report(kReportSize, 0x5A);
    ReportBuffer buffer = pair.cpp->allocateReport(AbstractHidDevice::Input);
    std::vector<uint8_t> bytes(kReportSize);
    auto baseline = [&] {
        pair.cppGadget.injectInputReport(1, report).wait();
        const auto start = Clock::now();
        auto request = pair.cpp->getReport(buffer, 1000);
        request.wait();
        const auto elapsed = Clock::now() - start;
        benchmark::DoNotOptimize(request.value().success);
        return elapsed;
    };
    auto library = [&] {
        pair.cGadget.injectInputReport(1, report).wait();
        const auto start = Clock::now();
        size_t length = 0;
        benchmark::DoNotOptimize(quenor_read(pair.c, bytes.data(), bytes.size(), &length, 1000));
        return Clock::now() - start;
    };
    bench::comparePaired(state, 500, baseline, library);
}
BENCHMARK(CApiInputRead)->Iterations(kRounds)->UseRealTime();

}  // namespace
