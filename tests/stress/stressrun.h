// The stress run: application threads making random mixed calls on the devices
// of a few slots while lifecycle threads open, close, reopen, destroy, create,
// switch filtering, unplug and replug, an injector sends input reports, a
// scripter queues blocking and failing answers and a releaser lets blocked
// calls go. Every record is judged as it is seen; a device object's deletion
// must answer every handle it gave out and return within its bound; at the end
// every device is closed, every handle must become ready, and every device
// object is destroyed.
//
// The caller measures the platform's live objects and the thread count before
// and after; the run itself leaves nothing behind but its figures.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace stress {

// The run's counters, in the order of the summary.
// clang-format off
enum Count : size_t {
    kCalls,            // device calls made by application threads
    kHandles,          // request handles judged
    kReadsWithReport, kInjected,
    kLifecycleSteps, kOpens, kReopens, kCloses, kDestroys, kCreates, kSwitches, kUnplugs, kReplugs,
    kBlockingAnswers, kFailingAnswers,
    kAnsweredByDelete, // handles judged after their device object was deleted
    kSlowestDeleteMs,  // the longest a deletion took
    kLost,             // handles pending past the bound, or after their device's deletion
    kCounts
};
// clang-format on

struct Figures {
    std::array<uint64_t, kCounts> counts{};
    uint64_t faults = 0;
    std::vector<std::string> faultMessages;  // the first few
    uint64_t operator[](Count c) const { return counts[c]; }
};

Figures runStress(const Options& options);

std::string summary(const Options& options, const Figures& figures);

}  // namespace stress
