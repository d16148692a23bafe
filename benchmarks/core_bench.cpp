// The costs every transfer pays before any platform call: a request state, a
// queued operation, a hop to the queue thread, and a buffer from the pool.
#include <benchmark/benchmark.h>

#include <quenor/abstracthiddevice.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/operationsqueue.h>
#include <quenor/async_request>

#include <memory>

namespace {

void RequestFulfilledAtOnce(benchmark::State& state) {
    for (auto _ : state) {
        hidutil::promise<int> promise;
        auto request = promise.get_request();
        promise.set_value(42);
        request.wait();
        benchmark::DoNotOptimize(request.value());
    }
}
BENCHMARK(RequestFulfilledAtOnce);

// Push one operation and wait for its result on the calling thread.
void QueueRoundTrip(benchmark::State& state) {
    hidutil::OperationsQueue queue;
    for (auto _ : state) {
        hidutil::promise<int> promise;
        auto request = promise.get_request();
        queue.pushNewOperation(new hidutil::DeviceOperation<hidutil::promise<int>>(
            std::move(promise), [](hidutil::promise<int>& p) { p.set_value(1); }));
        request.wait();
    }
}
BENCHMARK(QueueRoundTrip)->UseRealTime();

// A steady working set of `range` buffers: after warm-up every call reuses one.
void AllocateReportFromPool(benchmark::State& state) {
    std::unique_ptr<AbstractHidDevice> device(AbstractHidDevice::create(HidDeviceDescriptor()));
    std::vector<ReportBuffer> held(static_cast<size_t>(state.range(0)));
    for (auto& buffer : held) {
        buffer = device->allocateReport(AbstractHidDevice::Output);
    }
    size_t next = 0;
    for (auto _ : state) {
        held[next].reset();
        held[next] = device->allocateReport(AbstractHidDevice::Output);
        next = (next + 1) % held.size();
    }
}
BENCHMARK(AllocateReportFromPool)->Arg(1)->Arg(8)->Arg(64);

}  // namespace
