// Names the calling thread where the platform allows it, so the device's worker
// is recognisable in a debugger or a crash report.
#pragma once

#include <pthread.h>

namespace quenor::mac {
namespace detail {
// macOS names only the calling thread: pthread_setname_np(const char*).
template <typename F>
auto setThreadName(F setName, const char* name, int) -> decltype(setName(name), void()) {
    setName(name);
}
// Other POSIX hosts take the thread: pthread_setname_np(pthread_t, const char*).
template <typename F>
auto setThreadName(F setName, const char* name, long)
    -> decltype(setName(pthread_self(), name), void()) {
    setName(pthread_self(), name);
}
}  // namespace detail

// `name` must fit the platform's limit (15 characters on some hosts).
inline void nameCurrentThread(const char* name) {
    detail::setThreadName(&pthread_setname_np, name, 0);
}

}  // namespace quenor::mac
