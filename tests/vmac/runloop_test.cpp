// Run loops: the four result codes, stop, wake-up, version-0 sources, and the
// loop's life with its thread.
#include "vmacfixture.h"

#include "loopthread.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vmactest {
namespace {

struct Counter {
    std::atomic<int> performed{0};
    std::atomic<bool> stopLoop{false};
    std::thread::id thread;  // written by perform before `performed` goes up
    std::mutex mutex;
    std::condition_variable changed;

    bool waitFor(int count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, vmac::kDefaultTimeout,
                                [&] { return performed.load() >= count; });
    }
};

CFRunLoopSourceRef makeSource(Counter& counter) {
    CFRunLoopSourceContext context{};
    context.info = &counter;
    context.perform = [](void* info) {
        auto* c = static_cast<Counter*>(info);
        c->thread = std::this_thread::get_id();
        {
            std::lock_guard<std::mutex> lock(c->mutex);
            ++c->performed;
        }
        c->changed.notify_all();
        if (c->stopLoop)
            CFRunLoopStop(CFRunLoopGetCurrent());
    };
    return CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
}

class RunLoopTest : public VmacTest {
protected:
    void SetUp() override {
        VmacTest::SetUp();
        loop_ = CFRunLoopGetCurrent();
        source_ = makeSource(counter_);
    }

    void TearDown() override {
        CFRunLoopRemoveSource(loop_, source_, mode_);
        CFRelease(source_);
        VmacTest::TearDown();
    }

    CFStringRef mode_ = CFSTR("vmac.test");
    CFRunLoopRef loop_ = nullptr;
    Counter counter_;
    CFRunLoopSourceRef source_ = nullptr;
};

TEST_F(RunLoopTest, ModeWithoutSourcesFinishesAtOnce) {
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(mode_, 1000.0, false));
    // A source in another mode does not count.
    CFRunLoopAddSource(loop_, source_, CFSTR("vmac.other"));
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(mode_, 1000.0, false));
    CFRunLoopRemoveSource(loop_, source_, CFSTR("vmac.other"));
}

TEST_F(RunLoopTest, IdleModeTimesOut) {
    CFRunLoopAddSource(loop_, source_, mode_);
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(mode_, 0.0, false));
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(mode_, 0.01, true));
    EXPECT_EQ(0, counter_.performed.load());
}

TEST_F(RunLoopTest, SignalledSourceIsHandledOnThisThread) {
    CFRunLoopAddSource(loop_, source_, mode_);
    CFRunLoopSourceSignal(source_);
    EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(mode_, 1000.0, true));
    EXPECT_EQ(1, counter_.performed.load());
    EXPECT_EQ(std::this_thread::get_id(), counter_.thread);
    // Performing clears the signal.
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(mode_, 0.0, true));
    EXPECT_EQ(1, counter_.performed.load());
}

TEST_F(RunLoopTest, SignalWaitsForTheSourcesMode) {
    CFRunLoopAddSource(loop_, source_, mode_);
    Counter otherCounter;
    CFRunLoopSourceRef other = makeSource(otherCounter);
    CFRunLoopAddSource(loop_, other, CFSTR("vmac.other"));
    CFRunLoopSourceSignal(source_);
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(CFSTR("vmac.other"), 0.0, true));
    EXPECT_EQ(0, counter_.performed.load());
    EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(mode_, 0.0, true));
    EXPECT_EQ(1, counter_.performed.load());
    CFRunLoopRemoveSource(loop_, other, CFSTR("vmac.other"));
    CFRelease(other);
}

TEST_F(RunLoopTest, StopFromAPerformEndsTheRunAsStopped) {
    CFRunLoopAddSource(loop_, source_, mode_);
    counter_.stopLoop = true;
    CFRunLoopSourceSignal(source_);
    EXPECT_EQ(kCFRunLoopRunStopped, CFRunLoopRunInMode(mode_, 1000.0, false));
}

TEST_F(RunLoopTest, StopOfAnIdleLoopIsNotRemembered) {
    CFRunLoopAddSource(loop_, source_, mode_);
    CFRunLoopStop(loop_);
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(mode_, 0.0, false));
}

TEST_F(RunLoopTest, RemovingTheLastSourceFinishesTheRun) {
    struct Removal {
        CFRunLoopRef loop;
        CFStringRef mode;
        CFRunLoopSourceRef sources[2];
    } removal{loop_, mode_, {source_, nullptr}};
    CFRunLoopSourceContext context{};
    context.info = &removal;
    context.perform = [](void* info) {
        auto* r = static_cast<Removal*>(info);
        for (CFRunLoopSourceRef source : r->sources)
            CFRunLoopRemoveSource(r->loop, source, r->mode);
    };
    CFRunLoopSourceRef remover = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
    removal.sources[1] = remover;
    CFRunLoopAddSource(loop_, source_, mode_);
    CFRunLoopAddSource(loop_, remover, mode_);
    CFRunLoopSourceSignal(remover);
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(mode_, 1000.0, false));
    CFRunLoopRemoveSource(loop_, remover, mode_);
    CFRelease(remover);
}

TEST_F(RunLoopTest, SignalPlusWakeUpFromAnotherThreadRunsPerformOnTheLoopThread) {
    LoopThread thread(mode_);
    CFRunLoopAddSource(thread.loop(), source_, mode_);
    counter_.stopLoop = false;
    CFRunLoopSourceSignal(source_);
    CFRunLoopWakeUp(thread.loop());
    ASSERT_TRUE(counter_.waitFor(1));
    EXPECT_EQ(thread.id(), counter_.thread);
    EXPECT_EQ(thread.id(), vmac::runLoopThread(thread.loop()));
    CFRunLoopRemoveSource(thread.loop(), source_, mode_);
}

TEST_F(RunLoopTest, ContextRetainAndReleaseFrameTheSourcesLife) {
    struct Info {
        int retained = 0;
        int released = 0;
    } info;
    CFRunLoopSourceContext context{};
    context.info = &info;
    context.retain = [](const void* p) {
        ++static_cast<Info*>(const_cast<void*>(p))->retained;
        return p;
    };
    context.release = [](const void* p) { ++static_cast<Info*>(const_cast<void*>(p))->released; };
    CFRunLoopSourceRef source = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
    EXPECT_EQ(1, info.retained);
    CFRunLoopAddSource(loop_, source, mode_);
    CFRelease(source);  // the loop still holds it
    EXPECT_EQ(0, info.released);
    CFRunLoopRemoveSource(loop_, source, mode_);
    EXPECT_EQ(1, info.released);
}

TEST(RunLoopLifeTest, OneLoopPerThreadReleasedWhenTheThreadEnds) {
    const long before = vmac::liveRunLoopCount();
    CFRunLoopRef first = nullptr;
    CFRunLoopRef second = nullptr;
    std::thread([&] {
        first = CFRunLoopGetCurrent();
        second = CFRunLoopGetCurrent();
        EXPECT_EQ(before + 1, vmac::liveRunLoopCount());
    }).join();
    EXPECT_EQ(first, second);
    EXPECT_EQ(before, vmac::liveRunLoopCount());
}

}  // namespace
}  // namespace vmactest
