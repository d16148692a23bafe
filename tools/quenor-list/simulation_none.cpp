// Hosts with real devices (macOS) have no virtual platform to simulate on.
#include <cstdio>

#include "simulation.h"

std::unique_ptr<Simulation> startSimulation() {
    std::fputs(
        "quenor-list: --simulate needs the virtual platform; this build lists real devices\n",
        stderr);
    return nullptr;
}

const char* noDeviceHint() {
    return "";
}
