// Run loops: the four result codes, stop, wake-up, version-0 sources, and the
// loop's life with its thread.
#include "vmacfixture.h"

#include <thread>

namespace vmactest {
namespace {

// A version-0 source run on the test's own thread: counts its performs, then
// may stop its loop or remove itself from `mode`.
struct CountingSource {
    enum class Then { Nothing, Stop, Remove };
    explicit CountingSource(CFStringRef sourceMode) : mode(sourceMode) {
        CFRunLoopSourceContext context{};
        context.info = this;
        context.perform = [](void* info) {
            auto* self = static_cast<CountingSource*>(info);
            ++self->performed;
            if (self->then == Then::Stop)
                CFRunLoopStop(CFRunLoopGetCurrent());
            else if (self->then == Then::Remove)
                CFRunLoopRemoveSource(CFRunLoopGetCurrent(), self->source, self->mode);
        };
        source = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
    }
    ~CountingSource() { CFRelease(source); }

    CFStringRef mode;
    CFRunLoopSourceRef source;
    Then then = Then::Nothing;
    int performed = 0;
};

using RunLoopTest = VmacTest;

TEST_F(RunLoopTest, ResultCodesStopAndSignal) {
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFStringRef mode = CFSTR("vmac.test");
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(mode, 1000.0, false));
    CountingSource other(CFSTR("vmac.other"));
    CFRunLoopAddSource(loop, other.source, other.mode);
    CFRunLoopSourceSignal(other.source);
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(mode, 1000.0, false))
        << "a source in another mode does not count";

    CountingSource counter(mode);
    CFRunLoopAddSource(loop, counter.source, mode);
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(mode, 0.0, false));
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(mode, 0.01, true));
    CFRunLoopStop(loop);
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(mode, 0.0, false))
        << "a stop of an idle loop is not remembered";
    CFRunLoopSourceSignal(counter.source);
    EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(mode, 1000.0, true));
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(mode, 0.0, true))
        << "performing clears the signal";
    counter.then = CountingSource::Then::Stop;
    CFRunLoopSourceSignal(counter.source);
    EXPECT_EQ(kCFRunLoopRunStopped, CFRunLoopRunInMode(mode, 1000.0, false));
    counter.then = CountingSource::Then::Remove;
    CFRunLoopSourceSignal(counter.source);
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(mode, 1000.0, false))
        << "the last source removed itself";
    EXPECT_EQ(3, counter.performed);

    EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(other.mode, 0.0, true))
        << "the other signal waited for its own mode";
    CFRunLoopRemoveSource(loop, other.source, other.mode);
}

// One loop per thread, released when the thread ends; the loop's sources are removed (and
// cancelled) then, even if someone keeps the loop itself alive.
TEST_F(RunLoopTest, AThreadsEndReleasesItsLoopAndRemovesItsSources) {
    CFStringRef mode = CFSTR("vmac.ended");
    static int cancels = 0;
    cancels = 0;
    CFRunLoopSourceContext context{};
    context.cancel = [](void*, CFRunLoopRef, CFRunLoopMode) { ++cancels; };
    auto kept = ScopedCFRef<CFRunLoopSourceRef>::adopt(
        CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context));
    const long before = vmac::liveRunLoopCount();
    CFRunLoopRef first = nullptr;
    CFRunLoopRef ended = nullptr;
    std::thread([&] {
        first = CFRunLoopGetCurrent();
        ended = static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(CFRunLoopGetCurrent())));
        EXPECT_EQ(before + 1, vmac::liveRunLoopCount());
        CFRunLoopAddSource(ended, kept.get(), mode);
    }).join();
    EXPECT_EQ(first, ended);
    EXPECT_EQ(1, cancels) << "removed when the thread ended";
    CFRunLoopRemoveSource(ended, kept.get(), mode);  // no longer there: nothing happens
    EXPECT_EQ(1, cancels);
    CFRelease(ended);
    EXPECT_EQ(before, vmac::liveRunLoopCount()) << "the thread's own reference went with it";
}

}  // namespace
}  // namespace vmactest
