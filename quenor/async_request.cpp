// The compiled half of the one-shot result channel: the signal object that handles wait on.
#include <quenor/async_request>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace hidutil {
namespace internal {

// Member order is the destruction order in reverse: the flag, then the mutex, then the condition
// variable go away.
struct notification_object::block {
    std::condition_variable condition;
    std::mutex mutex;
    bool signalled = false;  // guarded by mutex; only ever goes from false to true
};

notification_object::notification_object() : m_block(new block) {}

notification_object::~notification_object() {
    delete m_block;
}

void notification_object::notify_all() {
    std::lock_guard<std::mutex> lock(m_block->mutex);
    m_block->signalled = true;
    m_block->condition.notify_all();
}

void notification_object::wait() const {
    std::unique_lock<std::mutex> lock(m_block->mutex);
    while (!m_block->signalled) {
        m_block->condition.wait(lock);
    }
}

void notification_object::wait_for_impl(unsigned long ms, const std::function<bool()>& pred) const {
    std::unique_lock<std::mutex> lock(m_block->mutex);
    if (m_block->signalled) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::nanoseconds(static_cast<std::int64_t>(ms) * 1000000);
    for (;;) {
        if (m_block->signalled && pred()) {
            return;
        }
        if (m_block->condition.wait_until(lock, deadline) == std::cv_status::timeout) {
            // The predicate is consulted once more, as on every exit with the flag set, but its
            // answer changes nothing: the caller tests its own state after the wait.
            if (m_block->signalled) {
                (void)pred();
            }
            return;
        }
    }
}

}  // namespace internal
}  // namespace hidutil
