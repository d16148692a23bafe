#include "runloop.h"

#include <utility>

#include "cfstring.h"
#include "nocancel.h"

#include <algorithm>
#include <chrono>
#include <cmath>

using vmac::detail::checked;
using vmac::detail::kRunLoopSourceType;
using vmac::detail::kRunLoopType;
using vmac::detail::Lifetime;
using vmac::detail::NoCancel;

namespace {

// Holds the calling thread's loop; the thread's reference goes when it ends.
struct CurrentLoop {
    __CFRunLoop* loop = nullptr;
    ~CurrentLoop() {
        if (loop != nullptr) {
            NoCancel noCancel;
            loop->removeAllSources();  // as when a thread ends on macOS
            std::exchange(loop, nullptr)->release();
        }
    }
};

thread_local CurrentLoop t_current;

std::chrono::steady_clock::time_point deadlineAfter(CFTimeInterval seconds) {
    const auto now = std::chrono::steady_clock::now();
    if (!(seconds > 0))
        return now;  // also NaN
    // A loop asked to run for longer than ~30 years runs for ~30 years.
    const double capped = std::min(seconds, 1.0e9);
    return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(capped));
}

__CFRunLoop* loopOf(CFRunLoopRef rl, const char* function) {
    return checked<__CFRunLoop>(rl, kRunLoopType, function);
}

}  // namespace

__CFRunLoop::__CFRunLoop()
    : Object(kRunLoopType, Lifetime::RunLoop), thread(std::this_thread::get_id()) {}

bool __CFRunLoop::modeIsEmpty(const std::string& mode) const {
    auto it = modes_.find(mode);
    return it == modes_.end() || it->second.empty();
}

CFRunLoopRunResult __CFRunLoop::run(const std::string& mode, CFTimeInterval seconds,
                                    bool returnAfterSourceHandled) {
    const auto deadline = deadlineAfter(seconds);
    std::unique_lock<std::mutex> lock(mutex_);
    if (modeIsEmpty(mode))
        return kCFRunLoopRunFinished;
    Activation activation{mode};
    activations_.push_back(&activation);
    CFRunLoopRunResult result;
    for (;;) {
        std::vector<__CFRunLoopSource*> ready;
        for (__CFRunLoopSource* source : modes_[mode]) {
            if (source->signalled.exchange(false)) {
                source->retain();
                ready.push_back(source);
            }
        }
        if (!ready.empty()) {
            lock.unlock();
            for (__CFRunLoopSource* source : ready) {
                source->perform();
                source->release();
            }
            lock.lock();
        }
        // The order of these checks is the one macOS applies after each pass.
        if (!ready.empty() && returnAfterSourceHandled) {
            result = kCFRunLoopRunHandledSource;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            result = kCFRunLoopRunTimedOut;
            break;
        }
        if (activation.stopped) {
            result = kCFRunLoopRunStopped;
            break;
        }
        if (modeIsEmpty(mode)) {
            result = kCFRunLoopRunFinished;
            break;
        }
        if (!ready.empty())
            continue;  // performing may have signalled more
        if (wakePending_) {
            wakePending_ = false;
            continue;
        }
        wake_.wait_until(lock, deadline);
        wakePending_ = false;
    }
    activations_.pop_back();
    return result;
}

bool __CFRunLoop::addSource(__CFRunLoopSource* source, const std::string& mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& sources = modes_[mode];
    if (std::find(sources.begin(), sources.end(), source) != sources.end())
        return false;
    source->retain();
    sources.push_back(source);
    return true;
}

bool __CFRunLoop::removeSource(__CFRunLoopSource* source, const std::string& mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = modes_.find(mode);
    if (it == modes_.end())
        return false;
    auto& sources = it->second;
    auto found = std::find(sources.begin(), sources.end(), source);
    if (found == sources.end())
        return false;
    sources.erase(found);
    return true;
}

void __CFRunLoop::wakeUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (activations_.empty())
        return;  // not remembered for a later run, as on macOS
    wakePending_ = true;
    wake_.notify_all();
}

bool __CFRunLoop::isRunning() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !activations_.empty();
}

void __CFRunLoop::removeAllSources() {
    std::map<std::string, std::vector<__CFRunLoopSource*>> held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held.swap(modes_);
    }
    for (auto& mode : held) {
        for (__CFRunLoopSource* source : mode.second) {
            source->cancelled(this, vmacConstantString(mode.first.c_str()));
            source->release();
        }
    }
}

void __CFRunLoop::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (activations_.empty())
        return;  // not remembered for a later run
    activations_.back()->stopped = true;
    wake_.notify_all();
}

void __CFRunLoop::finalize() {
    std::map<std::string, std::vector<__CFRunLoopSource*>> held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held.swap(modes_);
    }
    for (auto& mode : held)
        for (__CFRunLoopSource* source : mode.second)
            source->release();
}

extern "C" {

CFRunLoopRef CFRunLoopGetCurrent(void) {
    NoCancel noCancel;
    if (t_current.loop == nullptr)
        t_current.loop = new __CFRunLoop;
    return t_current.loop;
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled) {
    NoCancel noCancel;
    const std::string& name = vmac::detail::stringText(mode, "CFRunLoopRunInMode");
    __CFRunLoop* loop = CFRunLoopGetCurrent();
    return loop->run(name, seconds, returnAfterSourceHandled != 0);
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode) {
    NoCancel noCancel;
    __CFRunLoop* loop = loopOf(rl, "CFRunLoopAddSource");
    auto* s = checked<__CFRunLoopSource>(source, kRunLoopSourceType, "CFRunLoopAddSource");
    if (loop->addSource(s, vmac::detail::stringText(mode, "CFRunLoopAddSource")))
        s->scheduled(rl, mode);
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode) {
    NoCancel noCancel;
    __CFRunLoop* loop = loopOf(rl, "CFRunLoopRemoveSource");
    auto* s = checked<__CFRunLoopSource>(source, kRunLoopSourceType, "CFRunLoopRemoveSource");
    if (loop->removeSource(s, vmac::detail::stringText(mode, "CFRunLoopRemoveSource"))) {
        s->cancelled(rl, mode);
        s->release();
    }
}

void CFRunLoopWakeUp(CFRunLoopRef rl) {
    NoCancel noCancel;
    loopOf(rl, "CFRunLoopWakeUp")->wakeUp();
}

void CFRunLoopStop(CFRunLoopRef rl) {
    NoCancel noCancel;
    loopOf(rl, "CFRunLoopStop")->stop();
}

}  // extern "C"
