// Time-outs are signed counts of milliseconds; -1 (no limit) is handled by the
// callers. Every deadline of the device comes from here, so that no time-out
// can overflow the clock: a count beyond about a century is taken as a
// century, which is practically no limit (as hidutil::async_request::wait_for
// does). 0 and other negative values give a deadline that has already passed.
#pragma once

#include <chrono>

namespace quenor::mac {

inline constexpr long kMaxTimeoutMs = 100L * 366 * 24 * 3600 * 1000;

inline std::chrono::steady_clock::time_point deadlineAfter(long timeoutMs) {
    const long bounded = timeoutMs > kMaxTimeoutMs ? kMaxTimeoutMs : timeoutMs;
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(bounded);
}

}  // namespace quenor::mac
