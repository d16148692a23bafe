// Paired measurement: a row of the performance table runs its baseline and the
// library side by side in one process, in alternating batches, and reports the
// medians of both, the median of the per-round ratios, and per operation the
// heap allocations and context switches of the whole process (every thread).
//
// Each benchmark iteration is one round: a baseline batch and a library batch,
// in alternating order from round to round so that drift (a neighbour on the
// shared machine, frequency changes) falls on both sides alike.
//
// Counters (per operation unless named otherwise):
//   lib_us, base_us        median time of an operation, microseconds
//   ratio                  median over rounds of lib time / base time (below 1: library faster)
//   lib_allocs, base_allocs  median heap allocations (operator new) per operation
//   lib_csw, base_csw      median voluntary context switches (a thread blocked), all threads
//   lib_icsw, base_icsw    median involuntary ones (preempted, or yielded): these grow with
//                          the machine's load, from other processes too
// Throughput rows also give lib_per_s and base_per_s.
#pragma once

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <type_traits>
#include <utility>
#include <vector>

#include "allocationcounter.h"

namespace bench {

struct Sample {
    double ns = 0;           // per operation
    double allocations = 0;  // per operation
    double switches = 0;     // voluntary, per operation
    double preemptions = 0;  // involuntary, per operation
};

struct Switches {
    long voluntary;
    long involuntary;
};

inline Switches contextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {usage.ru_nvcsw, usage.ru_nivcsw};
}

// Runs `op` `count` times. An `op` returning void is timed whole; one returning
// std::chrono::nanoseconds times itself, leaving its set-up out.
template <class Op>
Sample measure(Op& op, int count) {
    const long long allocations = allocationCount();
    const Switches switches = contextSwitches();
    double ns = 0;
    if constexpr (std::is_void_v<std::invoke_result_t<Op&>>) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
            op();
        }
        ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                 .count();
    } else {
        for (int i = 0; i < count; ++i) {
            ns += static_cast<double>(op().count());
        }
    }
    Sample sample;
    sample.ns = ns / count;
    sample.allocations = static_cast<double>(allocationCount() - allocations) / count;
    const Switches after = contextSwitches();
    sample.switches = static_cast<double>(after.voluntary - switches.voluntary) / count;
    sample.preemptions = static_cast<double>(after.involuntary - switches.involuntary) / count;
    return sample;
}

inline double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Series {
    std::vector<double> ns, allocations, switches, preemptions;
    void add(const Sample& sample) {
        ns.push_back(sample.ns);
        allocations.push_back(sample.allocations);
        switches.push_back(sample.switches);
        preemptions.push_back(sample.preemptions);
    }
    void report(benchmark::State& state, const char* prefix, bool throughput) const {
        const std::string p(prefix);
        state.counters[p + "_us"] = median(ns) / 1000;
        state.counters[p + "_allocs"] = median(allocations);
        state.counters[p + "_csw"] = median(switches);
        state.counters[p + "_icsw"] = median(preemptions);
        if (throughput) {
            state.counters[p + "_per_s"] = 1e9 / median(ns);
        }
    }
};

enum class Ratio { Time, Throughput };

// One round per benchmark iteration; `batch` operations per side and round.
// With Ratio::Throughput the ratio is library throughput over baseline
// throughput (above 1: library faster), as throughput rows are read.
template <class Baseline, class Library>
void comparePaired(benchmark::State& state, int batch, Baseline& baseline, Library& library,
                   Ratio kind = Ratio::Time) {
    measure(baseline, batch);  // warm-up, not reported
    measure(library, batch);
    Series base;
    Series lib;
    std::vector<double> ratios;
    bool libraryFirst = false;
    for (auto _ : state) {
        Sample b;
        Sample l;
        if (libraryFirst) {
            l = measure(library, batch);
            b = measure(baseline, batch);
        } else {
            b = measure(baseline, batch);
            l = measure(library, batch);
        }
        libraryFirst = !libraryFirst;
        base.add(b);
        lib.add(l);
        ratios.push_back(kind == Ratio::Time ? l.ns / b.ns : b.ns / l.ns);
    }
    const bool throughput = kind == Ratio::Throughput;
    lib.report(state, "lib", throughput);
    base.report(state, "base", throughput);
    state.counters["ratio"] = median(ratios);
    state.SetLabel(throughput ? "ratio = lib/base throughput" : "ratio = lib/base time");
}

// A row without a baseline: the library's figures only.
template <class Library>
void measureAlone(benchmark::State& state, int batch, Library& library) {
    measure(library, batch);
    Series lib;
    for (auto _ : state) {
        lib.add(measure(library, batch));
    }
    lib.report(state, "lib", false);
}

// The first CPU this thread may run on.
inline int firstAllowedCpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    pthread_getaffinity_np(pthread_self(), sizeof set, &set);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            return cpu;
        }
    }
    return 0;
}

// Pins the calling thread to `cpu` (none when negative) for its own lifetime,
// then gives the thread its earlier CPUs back.
class PinThisThread {
public:
    explicit PinThisThread(int cpu) {
        pthread_getaffinity_np(pthread_self(), sizeof m_saved, &m_saved);
        if (cpu >= 0) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            m_pinned = pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
        }
    }
    ~PinThisThread() {
        if (m_pinned) {
            pthread_setaffinity_np(pthread_self(), sizeof m_saved, &m_saved);
        }
    }
    PinThisThread(const PinThisThread&) = delete;
    PinThisThread& operator=(const PinThisThread&) = delete;

private:
    cpu_set_t m_saved;
    bool m_pinned = false;
};

}  // namespace bench
