#include "runloopsource.h"

#include "callfaults.h"
#include "nocancel.h"
#include "runloop.h"

using vmac::detail::checked;
using vmac::detail::kRunLoopSourceType;
using vmac::detail::Lifetime;
using vmac::detail::NoCancel;

__CFRunLoopSource::__CFRunLoopSource(const CFRunLoopSourceContext& context)
    : Object(kRunLoopSourceType, Lifetime::Counted), context_(context) {
    if (context_.retain != nullptr)
        context_.info = const_cast<void*>(context_.retain(context_.info));
}

__CFRunLoopSource::__CFRunLoopSource() : Object(kRunLoopSourceType, Lifetime::Counted) {}

void __CFRunLoopSource::perform() {
    if (context_.perform != nullptr)
        context_.perform(context_.info);
}

void __CFRunLoopSource::scheduled(CFRunLoopRef loop, CFRunLoopMode mode) {
    if (context_.schedule != nullptr)
        context_.schedule(context_.info, loop, mode);
}

void __CFRunLoopSource::cancelled(CFRunLoopRef loop, CFRunLoopMode mode) {
    if (context_.cancel != nullptr)
        context_.cancel(context_.info, loop, mode);
}

void __CFRunLoopSource::finalize() {
    if (context_.release != nullptr)
        context_.release(context_.info);
    context_ = CFRunLoopSourceContext{};
}

extern "C" {

// Only version-0 contexts exist here; `order` is ignored: signalled sources
// are performed in the order they were added to the mode.
CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef, CFIndex, CFRunLoopSourceContext* context) {
    NoCancel noCancel;
    if (context == nullptr || context->version != 0 ||
        vmac::detail::processCallFails(vmac::Call::RunLoopSourceCreate))
        return nullptr;
    return new __CFRunLoopSource(*context);
}

void CFRunLoopSourceSignal(CFRunLoopSourceRef source) {
    NoCancel noCancel;
    // Like a version-0 source on macOS, this does not wake a sleeping loop.
    checked<__CFRunLoopSource>(source, kRunLoopSourceType, "CFRunLoopSourceSignal")
        ->signalled.store(true);
}

}  // extern "C"
