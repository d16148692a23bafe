// The --simulate switch: a few virtual gadgets for hosts without real devices.
// Built only where the virtual platform is; elsewhere start() answers false.
#pragma once

#include <memory>

class Simulation {
public:
    virtual ~Simulation() = default;
    // Unplugs one gadget a moment later and plugs it back after another moment,
    // from a thread of its own, so that --watch has something to show.
    virtual void replugLater() = 0;
};

// Plugs the gadgets; null (with a message on standard error) where it cannot.
std::unique_ptr<Simulation> startSimulation();

// Added to "no HID device found": where the virtual platform is, a pointer to --simulate.
const char* noDeviceHint();
