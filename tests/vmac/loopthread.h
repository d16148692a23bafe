// LoopThread: a thread that runs its CFRunLoop in one mode until told to end,
// the way a device worker does. Tests schedule device objects on it and check
// where callbacks run. Construction returns once the loop exists and a source
// keeps the mode from finishing; destruction stops and joins the thread.
#pragma once

#include <vmac/platform.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vmactest {

class LoopThread {
public:
    explicit LoopThread(CFStringRef mode) : mode_(mode) {
        CFRunLoopSourceContext context{};
        context.info = this;
        context.perform = [](void* info) {
            auto* self = static_cast<LoopThread*>(info);
            CFRunLoopStop(self->loop_);
        };
        stopSource_ = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
        thread_ = std::thread([this] { run(); });
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return loop_ != nullptr; });
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

    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    CFRunLoopRef loop() const { return loop_; }
    std::thread::id id() const { return thread_.get_id(); }

private:
    void run() {
        CFRunLoopRef loop = CFRunLoopGetCurrent();
        CFRunLoopAddSource(loop, stopSource_, mode_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            loop_ = static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(loop)));
        }
        ready_.notify_all();
        while (!ending_)
            CFRunLoopRunInMode(mode_, 1000.0, false);
    }

    CFStringRef mode_;
    CFRunLoopSourceRef stopSource_ = nullptr;
    std::mutex mutex_;
    std::condition_variable ready_;
    CFRunLoopRef loop_ = nullptr;  // guarded by mutex_ until ready_, then immutable
    std::atomic<bool> ending_{false};
    std::thread thread_;
};

}  // namespace vmactest
