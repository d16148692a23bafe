// CFRunLoopSource: a version-0 source. Signalling marks it; the run loop that
// next passes over a mode containing it calls perform() on the loop's own
// thread with no platform lock held. The platform's own sources (device event
// delivery) derive from it and override perform().
#pragma once

#include "object.h"

#include <atomic>

struct __CFRunLoopSource : vmac::detail::Object {
    // Takes a copy of `context` and calls its retain on `info`.
    explicit __CFRunLoopSource(const CFRunLoopSourceContext& context);
    // A platform-internal source without a client context.
    __CFRunLoopSource();

    virtual void perform();

    void scheduled(CFRunLoopRef loop, CFRunLoopMode mode);
    void cancelled(CFRunLoopRef loop, CFRunLoopMode mode);

    std::atomic<bool> signalled{false};

protected:
    void finalize() override;

private:
    CFRunLoopSourceContext context_{};  // immutable
};
