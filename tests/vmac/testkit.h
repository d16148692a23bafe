// Helpers that the vmac and device suites share: a call fault in one
// expression, and polling for a condition with the patience of vmac's waits.
#pragma once

#include <vmac/control.h>

#include <chrono>
#include <thread>

namespace vmactest {

// `count` calls of `call` fail with `result` (count -1: every call).
inline vmac::CallFault fault(vmac::Call call, int count = 1, IOReturn result = kIOReturnError) {
    vmac::CallFault f;
    f.call = call;
    f.count = count;
    f.result = result;
    return f;
}

// Polls `done` until it holds or vmac's default time-out (long enough never to
// pass on a loaded machine) runs out; whether it came to hold.
template <typename Done>
bool eventually(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + vmac::kDefaultTimeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace vmactest
