// Transfers through an open device on the virtual platform, each against the
// floor an application could build itself around the same platform call.
#include <benchmark/benchmark.h>

#include <quenor/abstracthiddevice.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>
#include <quenor/mac/machiddevice.h>
#include <vmac/control.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jobthread.h"
#include "pairedrun.h"
#include "spawnfloor.h"
#include "threadchain.h"
#include "twohopinput.h"

namespace {

using Result = AbstractHidDevice::AsyncOpResult;
using StrResult = AbstractHidDevice::AsyncStrReqResult;
using Clock = std::chrono::steady_clock;

constexpr const char* kLibraryPath = "IOService:/bench/Gadget@1/Interface@0/HIDDevice";
constexpr const char* kBaselinePath = "IOService:/bench/Gadget@2/Interface@0/HIDDevice";
constexpr int kRounds = 11;
constexpr size_t kReportSize = 64;

vmac::VirtualDevice plugGadget(const char* path) {
    vmac::VirtualDevice gadget = vmac::plugDevice(path);
    gadget.setNumberProperty("MaxInputReportSize", kReportSize);
    gadget.setNumberProperty("MaxOutputReportSize", kReportSize);
    gadget.setNumberProperty("MaxFeatureReportSize", kReportSize);
    gadget.setStringDescriptorText(1, u"Quenor Bench Works");
    return gadget;
}

std::unique_ptr<AbstractHidDevice> makeDevice(const char* path) {
    const std::string text(path);
    return std::unique_ptr<AbstractHidDevice>(AbstractHidDevice::create(HidDeviceDescriptor(
        new MacDeviceDescriptorHandle(std::wstring(text.begin(), text.end()), 0))));
}

// The library's device, open on one gadget; the baselines use a second gadget
// where they need their own device object.
struct Bench {
    Bench() : gadget(plugGadget(kLibraryPath)), device(makeDevice(kLibraryPath)) {
        opened = device->open(0, 1);
    }
    ~Bench() {
        device.reset();
        vmac::reset();
    }
    IOHIDDeviceRef handle() const { return static_cast<IOHIDDeviceRef>(device->nativeHandle()); }

    vmac::VirtualDevice gadget;
    std::unique_ptr<AbstractHidDevice> device;
    bool opened = false;
};

#define REQUIRE_OPEN(bench)                                     \
    if (!(bench).opened) {                                      \
        state.SkipWithError("the virtual gadget did not open"); \
        return;                                                 \
    }

// The USB interface object above `path`, as an application would obtain it.
IOUSBInterfaceStruct190** openUsbInterface(const char* path) {
    io_string_t registryPath = {};
    std::strncpy(registryPath, path, sizeof registryPath - 1);
    io_registry_entry_t entry = IORegistryEntryFromPath(MACH_PORT_NULL, registryPath);
    io_registry_entry_t parent = 0;
    IORegistryEntryGetParentEntry(entry, kIOServicePlane, &parent);
    IOObjectRelease(entry);
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    IOCreatePlugInInterfaceForService(parent, kIOUSBInterfaceUserClientTypeID,
                                      kIOCFPlugInInterfaceID, &plugIn, &score);
    IOObjectRelease(parent);
    IOUSBInterfaceStruct190** usbInterface = nullptr;
    if (plugIn != nullptr) {
        (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID190),
                                  reinterpret_cast<LPVOID*>(&usbInterface));
        (*plugIn)->Release(plugIn);
    }
    return usbInterface;
}

// getFeature against a persistent thread that makes the same platform call and
// fulfils a standard promise.
void GetFeatureRoundTrip(benchmark::State& state) {
    Bench bench;
    REQUIRE_OPEN(bench);
    ReportBuffer buffer = bench.device->allocateReport(AbstractHidDevice::Feature);
    IOHIDDeviceRef handle = bench.handle();
    bench::JobThread worker;
    struct Job {
        std::promise<Result> promise;
        IOHIDDeviceRef device;
        const ReportBuffer* buffer;
        void operator()() {
            std::promise<Result> owned = std::move(promise);
            CFIndex length = static_cast<CFIndex>((*buffer)->size());
            const IOReturn r = IOHIDDeviceGetReport(device, kIOHIDReportTypeFeature, 2,
                                                    (*buffer)->data(), &length);
            const bool ok = r == kIOReturnSuccess;
            owned.set_value({ok, ok ? static_cast<int32_t>((*buffer)->size()) : -1, *buffer, 2, r});
        }
    };
    auto baseline = [&] {
        Job job{{}, handle, &buffer};
        auto future = job.promise.get_future();
        worker.post(&job);
        benchmark::DoNotOptimize(future.get().success);
    };
    auto library = [&] {
        auto request = bench.device->getFeature(2, buffer);
        request.wait();
        benchmark::DoNotOptimize(request.value().success);
    };
    bench::comparePaired(state, 500, baseline, library);
}
BENCHMARK(GetFeatureRoundTrip)->Iterations(kRounds)->UseRealTime();

// usbString against a persistent thread making the same control request.
void UsbStringRoundTrip(benchmark::State& state) {
    Bench bench;
    REQUIRE_OPEN(bench);
    IOUSBInterfaceStruct190** usbInterface = openUsbInterface(kLibraryPath);
    if (usbInterface == nullptr) {
        state.SkipWithError("no USB interface");
        return;
    }
    bench::JobThread worker;
    struct Job {
        std::promise<StrResult> promise;
        IOUSBInterfaceStruct190** usbInterface;
        void operator()() {
            std::promise<StrResult> owned = std::move(promise);
            uint8_t descriptor[130] = {};
            IOUSBDevRequest request = {};
            request.bmRequestType = 0x80;
            request.bRequest = 6;
            request.wValue = 0x0301;
            request.wIndex = 0x0409;
            request.wLength = sizeof descriptor;
            request.pData = descriptor;
            const IOReturn r = (*usbInterface)->ControlRequest(usbInterface, 0, &request);
            std::wstring text;
            for (size_t i = 2; i + 1 < descriptor[0]; i += 2) {
                text.push_back(static_cast<wchar_t>(descriptor[i] | (descriptor[i + 1] << 8)));
            }
            owned.set_value({r == kIOReturnSuccess, text, r});
        }
    };
    auto baseline = [&] {
        Job job{{}, usbInterface};
        auto future = job.promise.get_future();
        worker.post(&job);
        benchmark::DoNotOptimize(future.get().success);
    };
    auto library = [&] {
        auto request = bench.device->usbString(1);
        request.wait();
        benchmark::DoNotOptimize(request.value().success);
    };
    bench::comparePaired(state, 500, baseline, library);
    (*usbInterface)->Release(usbInterface);
}
BENCHMARK(UsbStringRoundTrip)->Iterations(kRounds)->UseRealTime();

// setReport against the floor of a timed blocking call: spawn a thread for the
// same platform call, wait on a condition variable with the same time-out, join.
void SetReportRoundTrip(benchmark::State& state) {
    Bench bench;
    REQUIRE_OPEN(bench);
    ReportBuffer buffer = bench.device->allocateReport(AbstractHidDevice::Output);
    IOHIDDeviceRef handle = bench.handle();
    auto baseline = [&] {
        benchmark::DoNotOptimize(::bench::spawnedSetReport(handle, buffer).success);
    };
    auto library = [&] {
        auto request = bench.device->setReport(1, buffer, 1000);
        request.wait();
        benchmark::DoNotOptimize(request.value().success);
    };
    bench::comparePaired(state, 300, baseline, library);
}
BENCHMARK(SetReportRoundTrip)->Iterations(kRounds)->UseRealTime();

// Latency of one input report, from the injection to the ready read: the
// library's getReport is issued first and left time to become pending; the
// baseline's reader waits on the two-hop ring. Only the injection onwards is
// timed.
void InputReportLatency(benchmark::State& state) {
    Bench bench;
    REQUIRE_OPEN(bench);
    vmac::VirtualDevice baselineGadget = plugGadget(kBaselinePath);
    bench::TwoHopInput twoHop(kBaselinePath);
    if (!twoHop.opened()) {
        state.SkipWithError("the baseline device did not open");
        return;
    }
    const std::vector<uint8_t> report(kReportSize, 0x5A);
    ReportBuffer buffer = bench.device->allocateReport(AbstractHidDevice::Input);
    std::vector<uint8_t> baselineBuffer(kReportSize);
    constexpr auto kSettle = std::chrono::microseconds(200);
    auto baseline = [&] {
        std::this_thread::sleep_for(kSettle);
        const auto start = Clock::now();
        baselineGadget.injectInputReport(1, report);
        benchmark::DoNotOptimize(twoHop.pop(baselineBuffer, std::chrono::seconds(10)));
        return Clock::now() - start;
    };
    auto library = [&] {
        auto request = bench.device->getReport(buffer, -1);
        std::this_thread::sleep_for(kSettle);  // the read is pending by now
        const auto start = Clock::now();
        bench.gadget.injectInputReport(1, report);
        request.wait();
        const auto elapsed = Clock::now() - start;
        benchmark::DoNotOptimize(request.value().success);
        return elapsed;
    };
    bench::comparePaired(state, 200, baseline, library);
}
BENCHMARK(InputReportLatency)->Iterations(kRounds)->UseRealTime();

// A reader thread that reads one report after the other, and an injector that
// keeps at most kWindow reports in flight so that no queue overflows: the
// pipeline's own rate.
class KeepingUpReader {
public:
    template <class ReadOne>
    explicit KeepingUpReader(ReadOne readOne)
        : m_thread([this, readOne]() mutable {
              while (!m_quit.load(std::memory_order_relaxed)) {
                  if (readOne()) {
                      m_received.fetch_add(1, std::memory_order_release);
                  }
              }
          }) {}
    ~KeepingUpReader() {
        m_quit = true;
        m_thread.join();
    }
    long received() const { return m_received.load(std::memory_order_acquire); }

private:
    std::atomic<bool> m_quit{false};
    std::atomic<long> m_received{0};
    std::thread m_thread;
};

template <class Inject>
void injectKeepingUp(const KeepingUpReader& reader, long& injected, Inject inject) {
    constexpr long kWindow = 8;
    while (injected - reader.received() >= kWindow) {
        std::this_thread::yield();
    }
    inject();
    ++injected;
}

void drain(const KeepingUpReader& reader, long injected) {
    const auto giveUp = Clock::now() + std::chrono::seconds(5);
    while (reader.received() < injected && Clock::now() < giveUp) {
        std::this_thread::yield();
    }
}

void InputPeakThroughput(benchmark::State& state) {
    Bench bench;
    REQUIRE_OPEN(bench);
    vmac::VirtualDevice baselineGadget = plugGadget(kBaselinePath);
    bench::TwoHopInput twoHop(kBaselinePath);
    if (!twoHop.opened()) {
        state.SkipWithError("the baseline device did not open");
        return;
    }
    const std::vector<uint8_t> report(kReportSize, 0x5A);
    ReportBuffer buffer = bench.device->allocateReport(AbstractHidDevice::Input);
    std::vector<uint8_t> baselineBuffer(kReportSize);
    KeepingUpReader libraryReader([&] {
        auto request = bench.device->getReport(buffer, 100);
        request.wait();
        return request.value().success;
    });
    KeepingUpReader baselineReader(
        [&] { return twoHop.pop(baselineBuffer, std::chrono::milliseconds(100)) > 0; });
    long libraryInjected = 0;
    long baselineInjected = 0;
    auto baseline = [&] {
        injectKeepingUp(baselineReader, baselineInjected,
                        [&] { baselineGadget.injectInputReport(1, report); });
    };
    auto library = [&] {
        injectKeepingUp(libraryReader, libraryInjected,
                        [&] { bench.gadget.injectInputReport(1, report); });
    };
    bench::comparePaired(state, 2000, baseline, library, bench::Ratio::Throughput);
    drain(libraryReader, libraryInjected);
    drain(baselineReader, baselineInjected);
    state.counters["lib_lost"] = static_cast<double>(libraryInjected - libraryReader.received());
    state.counters["base_lost"] = static_cast<double>(baselineInjected - baselineReader.received());
}
BENCHMARK(InputPeakThroughput)->Iterations(kRounds)->UseRealTime();

// 8000 reports/s for 10 s, paced, with a reader that reads one report after the
// other. Not run by default (see main.cpp): --benchmark_filter=Soak.
// Calls `injectOne` every 125 µs for 10 s while `reader` reads; returns how many
// reports it injected, with the time that took in `elapsed`.
template <class InjectOne>
long paceReports(InjectOne injectOne, const KeepingUpReader& reader, Clock::duration& elapsed) {
    constexpr auto kPeriod = std::chrono::microseconds(125);
    constexpr auto kLength = std::chrono::seconds(10);
    long injected = 0;
    const auto start = Clock::now();
    auto next = start;
    while (next - start < kLength) {
        std::this_thread::sleep_until(next);
        injectOne();
        ++injected;
        // Like a device polled every 125 µs, a late injector does not catch up in a
        // burst faster than that: the next report goes out a period after this one.
        next = std::max(next + kPeriod, Clock::now());
    }
    elapsed = Clock::now() - start;
    drain(reader, injected);
    return injected;
}

// The library's input path, then the two-hop floor, then the bare thread chain,
// each on its own for 10 s.
void Soak8000PerSecond(benchmark::State& state) {
    Bench bench;
    REQUIRE_OPEN(bench);
    vmac::VirtualDevice baselineGadget = plugGadget(kBaselinePath);
    bench::TwoHopInput twoHop(kBaselinePath);
    if (!twoHop.opened()) {
        state.SkipWithError("the baseline device did not open");
        return;
    }
    const std::vector<uint8_t> report(kReportSize, 0x5A);
    ReportBuffer buffer = bench.device->allocateReport(AbstractHidDevice::Input);
    std::vector<uint8_t> baselineBuffer(kReportSize);
    // Paces `injectOne` against a reader running `readOne`; returns the reports lost.
    auto soak = [&state](const char* prefix, auto injectOne, auto readOne) {
        Clock::duration elapsed{};
        long injected = 0;
        long received = 0;
        {
            KeepingUpReader reader(readOne);
            injected = paceReports(injectOne, reader, elapsed);
            received = reader.received();
        }
        // Below 8000 when the injecting thread itself fell behind (a loaded machine).
        state.counters[std::string(prefix) + "rate_per_s"] =
            static_cast<double>(injected) / std::chrono::duration<double>(elapsed).count();
        state.counters[std::string(prefix) + "injected"] = static_cast<double>(injected);
        state.counters[std::string(prefix) + "lost"] = static_cast<double>(injected - received);
    };
    for (auto _ : state) {
        soak(
            "", [&] { bench.gadget.injectInputReport(1, report); },
            [&] {
                auto request = bench.device->getReport(buffer, 100);
                request.wait();
                return request.value().success;
            });
        // The device's own count (pushed out of its full queue, or no memory).
        state.counters["dropped"] = static_cast<double>(
            static_cast<const MacHidDevice&>(*bench.device).droppedInputReports());

        soak(
            "base_", [&] { baselineGadget.injectInputReport(1, report); },
            [&] { return twoHop.pop(baselineBuffer, std::chrono::milliseconds(100)) > 0; });
        state.counters["base_dropped"] = static_cast<double>(twoHop.dropped());

        bench::ThreadChain chain;
        soak(
            "chain_", [&] { chain.inject(); },
            [&] { return chain.pop(std::chrono::milliseconds(100)); });
        state.counters["chain_dropped"] = static_cast<double>(chain.dropped());
    }
}
BENCHMARK(Soak8000PerSecond)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// close() of an open, idle device; the open before it is not timed.
void CloseIdleDevice(benchmark::State& state) {
    vmac::reset();
    vmac::VirtualDevice gadget = plugGadget(kLibraryPath);
    auto device = makeDevice(kLibraryPath);
    bool opened = true;
    auto library = [&] {
        opened = device->open(0, 1) && opened;
        const auto start = Clock::now();
        device->close();
        return Clock::now() - start;
    };
    bench::measureAlone(state, 3, library);
    device.reset();
    vmac::reset();
    if (!opened) {
        state.SkipWithError("the virtual gadget did not open");
    }
}
BENCHMARK(CloseIdleDevice)->Iterations(5)->UseRealTime();

}  // namespace
