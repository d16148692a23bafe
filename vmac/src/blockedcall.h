// BlockedCall: a report call that a test scripted to block.
//
// The blocked thread owns the record (on its stack) and waits in poll() on a
// pipe. releaseBlocked() and unplug write to the pipe; both run under the
// platform mutex and only touch records still listed in DeviceState::blocked,
// so the record and its pipe outlive every write. waitWhileBlocked() lists
// the record, waits, and unlists it again on every way out, including a forced
// unwind by pthread_cancel.
#pragma once

#include "devicestate.h"
#include "nocancel.h"

#include <memory>

namespace vmac::detail {

struct BlockedCall {
    int readEnd = -1;
    int writeEnd = -1;
    bool unplugged = false;  // guarded by Platform::mutex

    // Wakes the blocked thread. Caller holds Platform::mutex.
    void wake();
};

enum class BlockEnd { Released, Unplugged };

// Blocks the calling thread as `kind` says; the caller does not hold the
// platform mutex. Cancellable blocks end by unwinding on pthread_cancel.
BlockEnd waitWhileBlocked(const std::shared_ptr<DeviceState>& device, Block kind,
                          const NoCancel& noCancel);

}  // namespace vmac::detail
