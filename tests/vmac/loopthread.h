// LoopThread: a thread that runs its CFRunLoop in one mode until told to end,
// the way a device worker does. Construction returns once the loop exists and a
// source keeps the mode from finishing; destruction stops and joins the thread.
#pragma once

#include <vmac/platform.h>

#include <atomic>
#include <future>
#include <thread>

namespace vmactest {

class LoopThread {
public:
    explicit LoopThread(CFStringRef mode) : mode_(mode) {
        CFRunLoopSourceContext context{};
        context.perform = [](void*) { CFRunLoopStop(CFRunLoopGetCurrent()); };
        stopSource_ = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
        thread_ = std::thread([this] {
            CFRunLoopRef loop = CFRunLoopGetCurrent();
            CFRunLoopAddSource(loop, stopSource_, mode_);
            started_.set_value(static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(loop))));
            while (!ending_)
                CFRunLoopRunInMode(mode_, 1000.0, false);
        });
        loop_ = started_.get_future().get();
    }

    ~LoopThread() {
        ending_ = true;
        CFRunLoopSourceSignal(stopSource_);
        CFRunLoopWakeUp(loop_);
        thread_.join();
        CFRunLoopRemoveSource(loop_, stopSource_, mode_);
        CFRelease(loop_);
        CFRelease(stopSource_);
    }

    CFRunLoopRef loop() const { return loop_; }
    std::thread::id id() const { return thread_.get_id(); }

private:
    CFStringRef mode_;
    CFRunLoopSourceRef stopSource_ = nullptr;
    std::promise<CFRunLoopRef> started_;  // outlives the thread's set_value
    CFRunLoopRef loop_ = nullptr;         // set before the constructor returns, then immutable
    std::atomic<bool> ending_{false};
    std::thread thread_;
};

}  // namespace vmactest
