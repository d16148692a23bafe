// Time-outs are signed 64-bit counts of milliseconds (-1, meaning no limit, is
// handled by the callers). A deadline is taken on the steady clock; 0 and other
// negative values give one that has already passed.
#pragma once

#include <chrono>
#include <cstdint>

namespace quenor::mac {

inline std::chrono::steady_clock::time_point deadlineAfter(long timeoutMs) {
    return std::chrono::steady_clock::now() +
           std::chrono::nanoseconds(static_cast<int64_t>(timeoutMs) * 1000000);
}

}  // namespace quenor::mac
