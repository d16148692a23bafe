// The knobs of one stress run, from the command line or the environment.
//
// Command line: --seed=N --seconds=S --threads=T --devices=D (the command line
// wins); environment: QUENOR_STRESS_SEED, QUENOR_STRESS_SECONDS,
// QUENOR_STRESS_THREADS. Without a seed one is drawn from the clock; the run
// prints it so that a failing run can be repeated with the same choices (the
// interleaving of threads still differs from run to run).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stress {

struct Options {
    uint64_t seed = 0;
    double seconds = 30.0;
    int appThreads = 12;
    int lifecycleThreads = 2;
    int devices = 4;
};

// Throws std::invalid_argument naming the first argument it cannot read.
Options parseOptions(const std::vector<std::string>& args);

// How many times slower than a plain build this build runs: every time bound
// of the harness is stretched by it, so that a sanitizer build never reports a
// slow step as a hang.
int slowdown();

}  // namespace stress
