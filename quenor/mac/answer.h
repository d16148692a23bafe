// Answering requests from queued work without letting an exception out.
//
// An operation runs on a queue thread (or a sender thread) that must never see
// an exception: one escaping an operation ends the process. The only thing such
// work can run out of is memory, set_value's own copy of the record included.
// These helpers turn that into an answer, so that a request never stays pending
// because memory ran out once.
#pragma once

#include <new>
#include <utility>

#include <quenor/async_request>

namespace quenor::mac {

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
