// The benchmark program's entry. Without a --benchmark_filter it runs every
// row except the long soak ("Soak"), which runs when a filter names it:
//   quenor-bench --benchmark_filter=Soak
#include <benchmark/benchmark.h>

#include <cstring>

int main(int argc, char** argv) {
    bool filtered = false;
    for (int i = 1; i < argc; ++i) {
        filtered = filtered || std::strncmp(argv[i], "--benchmark_filter", 18) == 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    if (filtered) {
        benchmark::RunSpecifiedBenchmarks();
    } else {
        benchmark::RunSpecifiedBenchmarks("-Soak");
    }
    benchmark::Shutdown();
    return 0;
}
