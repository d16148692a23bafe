// The request channel and the operations queue against the standard library's
// promise and future, and the report pool, each on its own (no device).
#include <benchmark/benchmark.h>

#include <quenor/abstracthiddevice.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/operationsqueue.h>
#include <quenor/async_request>

#include <future>
#include <memory>
#include <utility>
#include <vector>

#include "jobthread.h"
#include "pairedrun.h"

namespace {

using Result = AbstractHidDevice::AsyncOpResult;

constexpr int kRounds = 15;
constexpr int kBatch = 2000;

// What every channel carries: a transfer record holding a buffer reference.
const Result& sampleRecord() {
    static const Result record{true, 64, std::make_shared<std::vector<uint8_t>>(64), 1, 0};
    return record;
}

// The producer owns the promise while it fulfils it, as a queue thread does, so
// that the consumer's wake-up cannot free a promise still in use.
template <class Promise>
struct FulfilJob {
    Promise promise;
    void operator()() {
        Promise owned = std::move(promise);
        owned.set_value(sampleRecord());
    }
};

// A producer thread fulfils, the calling thread waits: the request handed over
// by the same job thread on both sides, so that only the channel differs.
void RequestChannel(benchmark::State& state, bool oneCpu) {
    const int cpu = oneCpu ? bench::firstAllowedCpu() : -1;
    bench::PinThisThread pin(cpu);
    bench::JobThread producer(cpu);
    auto baseline = [&producer] {
        FulfilJob<std::promise<Result>> job;
        std::future<Result> future = job.promise.get_future();
        producer.post(&job);
        future.wait();
        benchmark::DoNotOptimize(future.get().success);
    };
    auto library = [&producer] {
        FulfilJob<hidutil::promise<Result>> job;
        hidutil::async_request<Result> request = job.promise.get_request();
        producer.post(&job);
        request.wait();
        benchmark::DoNotOptimize(request.value().success);
    };
    bench::comparePaired(state, kBatch, baseline, library);
}
BENCHMARK_CAPTURE(RequestChannel, one_cpu, true)->Iterations(kRounds)->UseRealTime();
BENCHMARK_CAPTURE(RequestChannel, free, false)->Iterations(kRounds)->UseRealTime();

// A result known at once: ready before the caller sees it.
void ReadyRequest(benchmark::State& state) {
    auto baseline = [] {
        std::promise<Result> promise;
        std::future<Result> future = promise.get_future();
        promise.set_value(sampleRecord());
        benchmark::DoNotOptimize(future.get().success);
    };
    auto library = [] {
        auto request = hidutil::make_ready_request(sampleRecord());
        benchmark::DoNotOptimize(request.value().success);
    };
    bench::comparePaired(state, kBatch * 10, baseline, library);
}
BENCHMARK(ReadyRequest)->Iterations(kRounds)->UseRealTime();

// One operation through the queue to its thread and its result back, against a
// persistent thread fulfilling a standard promise.
void QueueRoundTrip(benchmark::State& state) {
    bench::JobThread worker;
    hidutil::OperationsQueue queue;
    auto baseline = [&worker] {
        FulfilJob<std::promise<Result>> job;
        std::future<Result> future = job.promise.get_future();
        worker.post(&job);
        future.wait();
        benchmark::DoNotOptimize(future.get().success);
    };
    auto library = [&queue] {
        hidutil::promise<Result> promise;
        auto request = promise.get_request();
        queue.pushNewOperation(new hidutil::DeviceOperation<hidutil::promise<Result>>(
            std::move(promise), [](hidutil::promise<Result>& p) { p.set_value(sampleRecord()); }));
        request.wait();
        benchmark::DoNotOptimize(request.value().success);
    };
    bench::comparePaired(state, kBatch, baseline, library);
}
BENCHMARK(QueueRoundTrip)->Iterations(kRounds)->UseRealTime();

// The same through pushOperation, whose operation holds its callable itself.
void QueueRoundTripHeldCallable(benchmark::State& state) {
    bench::JobThread worker;
    hidutil::OperationsQueue queue;
    auto baseline = [&worker] {
        FulfilJob<std::promise<Result>> job;
        std::future<Result> future = job.promise.get_future();
        worker.post(&job);
        future.wait();
        benchmark::DoNotOptimize(future.get().success);
    };
    auto library = [&queue] {
        hidutil::promise<Result> promise;
        auto request = promise.get_request();
        queue.pushOperation(std::move(promise),
                            [](hidutil::promise<Result>& p) { p.set_value(sampleRecord()); });
        request.wait();
        benchmark::DoNotOptimize(request.value().success);
    };
    bench::comparePaired(state, kBatch, baseline, library);
}
BENCHMARK(QueueRoundTripHeldCallable)->Iterations(kRounds)->UseRealTime();

// allocateReport with a steady working set of `range` buffers: after warm-up
// every call reuses a pooled buffer.
void AllocateReportWarm(benchmark::State& state) {
    std::unique_ptr<AbstractHidDevice> device(AbstractHidDevice::create(HidDeviceDescriptor()));
    std::vector<ReportBuffer> held(static_cast<size_t>(state.range(0)));
    for (auto& buffer : held) {
        buffer = device->allocateReport(AbstractHidDevice::Output);
    }
    size_t next = 0;
    auto library = [&] {
        held[next].reset();
        held[next] = device->allocateReport(AbstractHidDevice::Output);
        next = (next + 1) % held.size();
    };
    bench::measureAlone(state, kBatch * 10, library);
}
BENCHMARK(AllocateReportWarm)->Arg(1)->Arg(8)->Arg(64)->Iterations(kRounds);

}  // namespace
