// The stress run as a test: twelve or more application threads over four
// virtual devices while lifecycle threads open, close, reopen, destroy,
// create, unplug and replug them. Passes when no record broke the device
// contract, no handle was lost, nothing hung, and the platform's live objects
// and the process's threads are back where they were.
//
// Usage: quenor-stress [--seed=N] [--seconds=S] [--threads=T] [--devices=D]
// (or QUENOR_STRESS_SEED / _SECONDS / _THREADS), plus any GoogleTest flag.
#include <gtest/gtest.h>
#include <vmac/control.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "stressrun.h"

namespace {

stress::Options gOptions;

long threadCount() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                         std::filesystem::directory_iterator());
}

// Threads end a moment after they are joined on some hosts, and a call that a
// deletion left to finish on its own (the last blocked calls end with the final
// unplug) lets its platform objects go a moment after it returns: give them that.
template <typename Count>
long settled(Count count, long expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    long now = count();
    while (now != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        now = count();
    }
    return now;
}

TEST(Stress, MixedCallsAndLifecycleKeepTheContract) {
    vmac::reset();
    // Some runtimes (ThreadSanitizer's) start a helper thread with the first
    // thread of the process; let that happen before counting.
    std::thread([] {}).join();
    const long objects = vmac::liveObjectCount();
    const long ioReferences = vmac::liveIOObjectReferences();
    const long comReferences = vmac::liveCOMReferences();
    const long threads = threadCount();

    const stress::Figures figures = stress::runStress(gOptions);
    std::printf("%s\n", stress::summary(gOptions, figures).c_str());

    for (const std::string& fault : figures.faultMessages) {
        ADD_FAILURE() << fault;
    }
    EXPECT_EQ(0u, figures.faults) << "rerun with --seed=" << gOptions.seed;
    EXPECT_EQ(0u, figures[stress::kLost]);
    EXPECT_GT(figures[stress::kHandles], 0u) << "the run judged nothing";
    EXPECT_GT(figures[stress::kReadsWithReport], 0u) << "no input report reached a reader";
    EXPECT_GT(figures[stress::kOpens], 0u);
    EXPECT_EQ(objects, settled(vmac::liveObjectCount, objects))
        << "CF objects leaked or over-released";
    EXPECT_EQ(ioReferences, settled(vmac::liveIOObjectReferences, ioReferences))
        << "registry references leaked";
    EXPECT_EQ(comReferences, settled(vmac::liveCOMReferences, comReferences))
        << "COM references leaked";
    EXPECT_EQ(threads, settled(threadCount, threads)) << "threads left running";
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    try {
        gOptions = stress::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
    return RUN_ALL_TESTS();
}
