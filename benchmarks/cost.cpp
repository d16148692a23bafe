// quenor-cost: one path, or its hand-made floor, run N times in one process, so
// that callgrind can count what an operation costs the whole process (every
// thread, the virtual platform's side included). benchmarks/cost.sh runs it for
// N = 0 and N = 1000 and prints instructions per operation, floor and ratio.
//
//   quenor-cost <input|set|feature> <library|floor> <N>
//   quenor-cost fleet <devices> <reports per device> <rate Hz>
//
// Both sides are set up, and warmed up by kWarmUp operations, before the N
// counted ones, so the difference of two runs is the operations alone.
//
// `fleet` opens many devices at once, injects reports into each at the given
// rate while one reader per device reads them, and prints the process's
// threads, the reports read and the reports the devices dropped.
#include <quenor/abstracthiddevice.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>
#include <quenor/mac/machiddevice.h>
#include <vmac/control.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jobthread.h"
#include "spawnfloor.h"
#include "twohopinput.h"

namespace {

using Result = AbstractHidDevice::AsyncOpResult;
constexpr size_t kReportSize = 64;
constexpr long kWarmUp = 10;

std::string gadgetPath(int index) {
    return "IOService:/cost/Gadget@" + std::to_string(index) + "/Interface@0/HIDDevice";
}

vmac::VirtualDevice plugGadget(const std::string& path) {
    vmac::VirtualDevice gadget = vmac::plugDevice(path);
    gadget.setNumberProperty("MaxInputReportSize", kReportSize);
    gadget.setNumberProperty("MaxOutputReportSize", kReportSize);
    gadget.setNumberProperty("MaxFeatureReportSize", kReportSize);
    return gadget;
}

std::unique_ptr<AbstractHidDevice> openDevice(const std::string& path) {
    std::unique_ptr<AbstractHidDevice> device(AbstractHidDevice::create(HidDeviceDescriptor(
        new MacDeviceDescriptorHandle(std::wstring(path.begin(), path.end()), 0))));
    if (!device->open(0, 1)) {
        std::fprintf(stderr, "quenor-cost: %s did not open\n", path.c_str());
        std::exit(2);
    }
    return device;
}

void repeat(long n, const std::function<void()>& operation) {
    for (long i = 0; i < n; ++i) {
        operation();
    }
}

// The library's path: a read made pending, then the report that answers it.
void inputLibrary(long n) {
    vmac::VirtualDevice gadget = plugGadget(gadgetPath(1));
    auto device = openDevice(gadgetPath(1));
    ReportBuffer buffer = device->allocateReport(AbstractHidDevice::Input);
    const std::vector<uint8_t> report(kReportSize, 0x5A);
    auto once = [&] {
        auto request = device->getReport(buffer, -1);
        gadget.injectInputReport(1, report);
        request.wait();
    };
    repeat(kWarmUp, once);
    repeat(n, once);
}

// Floor: the run-loop callback copies into a 30-slot ring, a reader takes it out.
void inputFloor(long n) {
    vmac::VirtualDevice gadget = plugGadget(gadgetPath(1));
    bench::TwoHopInput twoHop(gadgetPath(1));
    const std::vector<uint8_t> report(kReportSize, 0x5A);
    std::vector<uint8_t> out(kReportSize);
    auto once = [&] {
        gadget.injectInputReport(1, report);
        twoHop.pop(out, std::chrono::seconds(10));
    };
    repeat(kWarmUp, once);
    repeat(n, once);
}

void setLibrary(long n) {
    vmac::VirtualDevice gadget = plugGadget(gadgetPath(1));
    auto device = openDevice(gadgetPath(1));
    ReportBuffer buffer = device->allocateReport(AbstractHidDevice::Output);
    auto once = [&] { device->setReport(1, buffer, 1000).wait(); };
    repeat(kWarmUp, once);
    repeat(n, once);
}

// Floor: spawn a thread for the platform call, wait for it with the same
// time-out, join it.
void setFloor(long n) {
    vmac::VirtualDevice gadget = plugGadget(gadgetPath(1));
    auto device = openDevice(gadgetPath(1));
    ReportBuffer buffer = device->allocateReport(AbstractHidDevice::Output);
    IOHIDDeviceRef handle = static_cast<IOHIDDeviceRef>(device->nativeHandle());
    auto once = [&] { bench::spawnedSetReport(handle, buffer); };
    repeat(kWarmUp, once);
    repeat(n, once);
}

void featureLibrary(long n) {
    vmac::VirtualDevice gadget = plugGadget(gadgetPath(1));
    auto device = openDevice(gadgetPath(1));
    ReportBuffer buffer = device->allocateReport(AbstractHidDevice::Feature);
    auto once = [&] { device->getFeature(2, buffer).wait(); };
    repeat(kWarmUp, once);
    repeat(n, once);
}

// Floor: one persistent worker makes the call and fulfils a standard promise.
void featureFloor(long n) {
    vmac::VirtualDevice gadget = plugGadget(gadgetPath(1));
    auto device = openDevice(gadgetPath(1));
    ReportBuffer buffer = device->allocateReport(AbstractHidDevice::Feature);
    IOHIDDeviceRef handle = static_cast<IOHIDDeviceRef>(device->nativeHandle());
    bench::JobThread worker;
    struct Job {
        std::promise<Result> promise;
        IOHIDDeviceRef device;
        const ReportBuffer* buffer;
        void operator()() {
            std::promise<Result> owned = std::move(promise);
            CFIndex length = CFIndex((*buffer)->size());
            const IOReturn r = IOHIDDeviceGetReport(device, kIOHIDReportTypeFeature, 2,
                                                    (*buffer)->data(), &length);
            const bool ok = r == kIOReturnSuccess;
            owned.set_value({ok, ok ? int32_t(length) : -1, *buffer, 2, r});
        }
    };
    auto once = [&] {
        Job job{{}, handle, &buffer};
        auto future = job.promise.get_future();
        worker.post(&job);
        future.get();
    };
    repeat(kWarmUp, once);
    repeat(n, once);
}

long processThreads() {
    long count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        count += entry.is_directory() ? 1 : 0;
    }
    return count;
}

// Many devices open at once, each fed at `rate` Hz and read by a thread of its own.
int fleet(int devices, long reports, long rate) {
    std::vector<vmac::VirtualDevice> gadgets;
    std::vector<std::unique_ptr<AbstractHidDevice>> opened;
    const long before = processThreads();
    for (int i = 0; i < devices; ++i) {
        const std::string path = gadgetPath(100 + i);
        gadgets.push_back(plugGadget(path));
        opened.push_back(
            std::unique_ptr<AbstractHidDevice>(AbstractHidDevice::create(HidDeviceDescriptor(
                new MacDeviceDescriptorHandle(std::wstring(path.begin(), path.end()), 0)))));
    }
    const long made = processThreads() - before;
    for (auto& device : opened) {
        if (!device->open(0, 1)) {
            std::fprintf(stderr, "quenor-cost: a fleet device did not open\n");
            return 2;
        }
    }
    const long open = processThreads() - before;
    std::atomic<long> read{0};
    std::atomic<bool> quit{false};
    std::vector<std::thread> readers;
    for (auto& device : opened) {
        readers.emplace_back([&, d = device.get()] {
            ReportBuffer buffer = d->allocateReport(AbstractHidDevice::Input);
            while (!quit.load(std::memory_order_relaxed)) {
                auto request = d->getReport(buffer, 100);
                if (request.wait(), request.value().success) {
                    read.fetch_add(1, std::memory_order_relaxed);
                }
            }
        });
    }
    const std::vector<uint8_t> report(kReportSize, 0x5A);
    const auto period = std::chrono::nanoseconds(1000000000L / rate);
    auto next = std::chrono::steady_clock::now();
    for (long r = 0; r < reports; ++r) {
        for (auto& gadget : gadgets) {
            gadget.injectInputReport(1, report);
        }
        next += period;
        std::this_thread::sleep_until(next);
    }
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    uint64_t dropped = 0;
    for (;;) {
        dropped = 0;
        for (auto& device : opened) {
            dropped += static_cast<MacHidDevice*>(device.get())->droppedInputReports();
        }
        if (read.load() + long(dropped) >= long(devices) * reports ||
            std::chrono::steady_clock::now() > giveUp) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    quit = true;
    for (auto& reader : readers) {
        reader.join();
    }
    const long injected = long(devices) * reports;
    std::printf("devices %d, threads: %ld made, %ld open (%.2f per device), readers %d\n", devices,
                made, open, double(open) / devices, devices);
    std::printf("reports: %ld injected, %ld read, %llu dropped, %ld lost\n", injected, read.load(),
                static_cast<unsigned long long>(dropped), injected - read.load() - long(dropped));
    opened.clear();
    vmac::reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "fleet") == 0) {
        return fleet(std::atoi(argv[2]), std::atol(argv[3]), std::atol(argv[4]));
    }
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: quenor-cost <input|set|feature> <library|floor> <N>\n"
                     "       quenor-cost fleet <devices> <reports per device> <rate Hz>\n");
        return 2;
    }
    const std::string path = argv[1];
    const bool floor = std::strcmp(argv[2], "floor") == 0;
    const long n = std::atol(argv[3]);
    if (path == "input") {
        floor ? inputFloor(n) : inputLibrary(n);
    } else if (path == "set") {
        floor ? setFloor(n) : setLibrary(n);
    } else if (path == "feature") {
        floor ? featureFloor(n) : featureLibrary(n);
    } else {
        std::fprintf(stderr, "quenor-cost: unknown path %s\n", path.c_str());
        return 2;
    }
    vmac::reset();
    return 0;
}
