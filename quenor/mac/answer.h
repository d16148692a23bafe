// Answering requests from queued work without letting an exception out.
//
// An operation runs on a queue thread (or a sender thread) that must never see
// an exception: one escaping an operation ends the process. The only thing such
// work can run out of is memory, set_value's own copy of the record included.
// These helpers turn that into an answer, so that a request never stays pending
// because memory ran out once.
#pragma once

#include <atomic>
#include <new>
#include <thread>
#include <utility>

#include <quenor/async_request>

namespace quenor::mac {

// Settles which of the threads that may answer one request does (a call and the device's
// destruction race for it), and holds the others back until that answer is in, or given up for
// want of memory: whoever returns from answering may count on the request being ready. The
// destruction does, when it returns to the application.
class AnswerOnce {
public:
    // Runs `publish`, which answers the request and must not throw, on the first thread that
    // calls this; every other caller returns once it has run. It takes a few steps that block
    // on nothing, so the others only ever yield briefly.
    template <typename Publish>
    void settle(Publish&& publish) noexcept {
        int state = kOpen;
        if (m_state.compare_exchange_strong(state, kClaimed)) {
            publish();
            m_state.store(kFinished);
            return;
        }
        while (m_state.load() != kFinished) {
            std::this_thread::yield();
        }
    }

private:
    static constexpr int kOpen = 0;
    static constexpr int kClaimed = 1;
    static constexpr int kFinished = 2;
    std::atomic<int> m_state{kOpen};
};

// Fulfils `promise` with `value` (copied, or moved from an rvalue). If no memory
// can be had for it, tries once more with `fallback` (a failure record that needs
// no memory beyond the copy itself); if that fails too, the request stays pending
// (which is why callers that cannot rule out exhausted memory wait with a
// time-out).
template <typename T, typename U>
void answer(hidutil::promise<T>& promise, U&& value, const T& fallback) noexcept {
    try {
        promise.set_value(std::forward<U>(value));
        return;
    } catch (const std::bad_alloc&) {
    }
    try {
        promise.set_value(fallback);
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace quenor::mac
