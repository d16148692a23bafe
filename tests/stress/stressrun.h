// The stress run: application threads making random mixed calls on the devices
// of a few slots while lifecycle threads open, close, reopen, destroy, create,
// switch filtering, unplug and replug, an injector sends input reports, a
// scripter queues blocking and failing answers and a releaser lets blocked
// calls go. Every record is judged as it is seen; at the end every device is
// closed, every handle that may not stay pending must become ready, and every
// device object is destroyed.
//
// The caller measures the platform's live objects and the thread count before
// and after; the run itself leaves nothing behind but its figures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace stress {

struct Figures {
    uint64_t calls = 0;    // device calls made by application threads
    uint64_t handles = 0;  // request handles judged
    uint64_t readsWithReport = 0;
    uint64_t injected = 0;
    uint64_t lifecycleSteps = 0;
    uint64_t opens = 0, closes = 0, reopens = 0, destroys = 0, creates = 0;
    uint64_t switches = 0, unplugs = 0, replugs = 0;
    uint64_t blockingAnswers = 0, failingAnswers = 0;
    uint64_t discardedByDestruction = 0;  // handles the contract lets stay pending
    uint64_t lostHandles = 0;             // handles pending past the bound
    uint64_t faults = 0;
    std::vector<std::string> faultMessages;  // the first few
};

Figures runStress(const Options& options);

std::string summary(const Options& options, const Figures& figures);

}  // namespace stress
