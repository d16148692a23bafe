// CallFaults: armed failures of platform calls (see "Fail calls" in control.h).
// One set per device (DeviceState) and one process-wide (Platform).
#pragma once

#include <vmac/control.h>

#include <string>
#include <vector>

namespace vmac::detail {

// Every member: the caller holds Platform::mutex.
class CallFaults {
public:
    // Keeps the fault's value with a reference of its own.
    void arm(const CallFault& fault);
    // Consumes one failure of `call` (for GetProperty, one that covers `key`).
    // True when the call is to fail; `taken` is then its fault. A value to
    // answer comes with one reference, which the caller keeps alive for as
    // long as the answer may be used.
    bool take(Call call, const std::string& key, CallFault& taken);
    int pending(Call call) const;  // -1: unlimited
    // Drops every fault; their references go to `released`, to be released
    // once the mutex is let go.
    void clear(std::vector<CFTypeRef>& released);

private:
    std::vector<CallFault> faults_;  // in arming order; exhausted ones are removed
};

bool isProcessWide(Call call);

// Consumes a process-wide failure of `call`. Never fails a call made by the
// control API's own builders (see BuilderScope). Takes Platform::mutex.
bool processCallFails(Call call);

// While alive, the calling thread's creation calls are the control API's own
// and are never failed.
class BuilderScope {
public:
    BuilderScope();
    ~BuilderScope();
    BuilderScope(const BuilderScope&) = delete;
    BuilderScope& operator=(const BuilderScope&) = delete;
};

}  // namespace vmac::detail
