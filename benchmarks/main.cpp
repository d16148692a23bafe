// The benchmark program's entry. Without a --benchmark_filter it runs every
// row except the long soak ("Soak"), which runs when a filter names it:
//   quenor-bench --benchmark_filter=Soak
// With the framework's console output (the default) it ends with a summary: one
// line per row of docs/performance.md's table, with plain numbers.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// Shows the framework's console output and keeps each row's counters for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    explicit SummaryReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With --benchmark_repetitions the median stands for the row.
            const bool plain = run.run_type == Run::RT_Iteration;
            if (run.error_occurred || (!plain && run.aggregate_name != "median")) {
                continue;
            }
            std::map<std::string, double>& counters = m_rows[rowName(run.benchmark_name())];
            if (!plain || counters.empty()) {
                counters.clear();
                for (const auto& counter : run.counters) {
                    counters[counter.first] = counter.second.value;
                }
            }
        }
    }

    // The counters of a row ("RequestChannel/one_cpu"), or null when it did not run.
    const std::map<std::string, double>* row(const std::string& name) const {
        const auto found = m_rows.find(name);
        return found == m_rows.end() ? nullptr : &found->second;
    }

private:
    // "RequestChannel/one_cpu/iterations:200/real_time_median" -> "RequestChannel/one_cpu".
    static std::string rowName(const std::string& name) {
        std::string out;
        size_t start = 0;
        while (start < name.size()) {
            const size_t slash = std::min(name.find('/', start), name.size());
            const std::string part = name.substr(start, slash - start);
            if (part.find(':') != std::string::npos || part.rfind("real_time", 0) == 0 ||
                part.rfind("manual_time", 0) == 0) {
                break;
            }
            out += (out.empty() ? "" : "/") + part;
            start = slash + 1;
        }
        return out;
    }

    std::map<std::string, std::map<std::string, double>> m_rows;
};

// One line of the summary: which benchmark row, what it measures, how its figures read.
struct SummaryRow {
    const char* row;
    const char* what;
    enum Kind { Time, Throughput, Soak, Alone } kind;
    const char* target;
};

const SummaryRow kSummary[] = {
    {"RequestChannel/one_cpu", "request channel, one CPU", SummaryRow::Time, "<= 1.0"},
    {"RequestChannel/free", "request channel, placed freely", SummaryRow::Time, "<= 1.0"},
    {"ReadyRequest", "ready-made request", SummaryRow::Time, "-"},
    {"QueueRoundTrip", "queue round trip, pushNewOperation", SummaryRow::Time, "-"},
    {"QueueRoundTripHeldCallable", "queue round trip, pushOperation", SummaryRow::Time, "-"},
    {"GetFeatureRoundTrip", "getFeature round trip", SummaryRow::Time, "<= 1.0"},
    {"UsbStringRoundTrip", "usbString round trip", SummaryRow::Time, "<= 1.0"},
    {"SetReportRoundTrip", "set transfer round trip", SummaryRow::Time, "<= 1.3"},
    {"InputReportLatency", "input report to a pending read", SummaryRow::Time, "<= 1.2"},
    {"InputPeakThroughput", "input peak, reports/s", SummaryRow::Throughput, ">= 100000/s"},
    {"Soak8000PerSecond", "8000 reports/s for 10 s, dropped", SummaryRow::Soak, "0"},
    {"CloseIdleDevice", "close of an open idle device", SummaryRow::Alone, "<= 1000 us"},
    {"AllocateReportWarm/1", "allocateReport, warm, 1 buffer", SummaryRow::Alone, "-"},
    {"AllocateReportWarm/8", "allocateReport, warm, 8 buffers", SummaryRow::Alone, "-"},
    {"AllocateReportWarm/64", "allocateReport, warm, 64 buffers", SummaryRow::Alone, "-"},
};

double counter(const std::map<std::string, double>& counters, const char* name) {
    const auto found = counters.find(name);
    return found == counters.end() ? 0 : found->second;
}

std::string format(const char* pattern, double value) {
    char text[32];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// The table of docs/performance.md for the rows that ran: fixed-width columns, plain numbers.
void printSummary(const SummaryReporter& reporter) {
    std::printf(
        "\nSummary (medians over rounds; ratio = library / floor; better: which way is better)\n"
        "%-36s %14s %14s %8s %7s %12s\n",
        "row", "library", "floor", "ratio", "better", "target");
    for (const SummaryRow& line : kSummary) {
        const std::map<std::string, double>* row = reporter.row(line.row);
        if (row == nullptr) {
            continue;
        }
        std::string library;
        std::string floor = "-";
        std::string ratio = "-";
        const char* better = "lower";
        switch (line.kind) {
            case SummaryRow::Time:
                library = format("%.3f us", counter(*row, "lib_us"));
                floor = format("%.3f us", counter(*row, "base_us"));
                ratio = format("%.2f", counter(*row, "ratio"));
                break;
            case SummaryRow::Throughput:
                library = format("%.0f/s", counter(*row, "lib_per_s"));
                floor = format("%.0f/s", counter(*row, "base_per_s"));
                ratio = format("%.2f", counter(*row, "ratio"));
                better = "higher";
                break;
            case SummaryRow::Soak:
                library = format("%.0f", counter(*row, "dropped"));
                floor = format("%.0f", counter(*row, "base_dropped")) + " / " +
                        format("%.0f", counter(*row, "chain_dropped"));
                break;
            case SummaryRow::Alone:
                library = format("%.3f us", counter(*row, "lib_us"));
                break;
        }
        std::printf("%-36s %14s %14s %8s %7s %12s\n", line.what, library.c_str(), floor.c_str(),
                    ratio.c_str(), better, line.target);
    }
    if (reporter.row("Soak8000PerSecond") != nullptr) {
        std::printf("(the soak's floor: the two-hop path / the bare thread chain, same run)\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool filtered = false;
    bool console = true;
    for (int i = 1; i < argc; ++i) {
        filtered = filtered || std::strncmp(argv[i], "--benchmark_filter", 18) == 0;
        if (std::strncmp(argv[i], "--benchmark_format=", 19) == 0) {
            console = std::strcmp(argv[i] + 19, "console") == 0;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const std::string filter = filtered ? benchmark::GetBenchmarkFilter() : std::string("-Soak");
    if (console) {
        SummaryReporter reporter(isatty(STDOUT_FILENO) ? SummaryReporter::OO_Color
                                                       : SummaryReporter::OO_None);
        benchmark::RunSpecifiedBenchmarks(&reporter, filter);
        printSummary(reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks(filter);
    }
    benchmark::Shutdown();
    return 0;
}
