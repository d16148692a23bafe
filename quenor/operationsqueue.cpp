#include <quenor/operationsqueue.h>

namespace hidutil {

DeviceOperationBase::~DeviceOperationBase() = default;

OperationsQueue::OperationsQueue() : m_pending(kInitialRoom) {
    m_thread = std::thread(&OperationsQueue::ThreadFunction, this);
}

OperationsQueue::~OperationsQueue() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_wake = true;
    }
    m_wakeup.notify_one();
    m_thread.join();
    // The members go next; m_pending last, discarding whatever never ran.
}

void OperationsQueue::pushNewOperation(DeviceOperationBase* operation) {
    // Owned from here on, also if growing the ring throws.
    std::unique_ptr<DeviceOperationBase> owned(operation);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count == m_pending.size()) {
            // Full: unroll into a vector twice the size, oldest first.
            std::vector<std::unique_ptr<DeviceOperationBase>> grown(2 * m_pending.size());
            for (size_t i = 0; i < m_count; ++i) {
                grown[i] = std::move(m_pending[(m_head + i) % m_pending.size()]);
            }
            m_pending.swap(grown);
            m_head = 0;
        }
        m_pending[(m_head + m_count) % m_pending.size()] = std::move(owned);
        ++m_count;
        m_wake = true;
    }
    // Woken after the unlock, so that the worker does not run into the mutex still held here.
    m_wakeup.notify_one();
}

std::unique_ptr<DeviceOperationBase> OperationsQueue::peekOperation() {
    std::unique_ptr<DeviceOperationBase> first;
    takeNext(first);
    return first;
}

bool OperationsQueue::takeNext(std::unique_ptr<DeviceOperationBase>& operation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return takeNextLocked(operation);
}

bool OperationsQueue::takeNextLocked(std::unique_ptr<DeviceOperationBase>& operation) {
    if (m_count == 0) {
        return false;
    }
    operation = std::move(m_pending[m_head]);
    m_head = (m_head + 1) % m_pending.size();
    --m_count;
    return true;
}

void OperationsQueue::ThreadFunction(OperationsQueue* queue) {
    for (;;) {
        std::unique_ptr<DeviceOperationBase> operation;
        {
            // One lock per operation: the stop check and the take.
            std::unique_lock<std::mutex> lock(queue->m_mutex);
            if (queue->m_stop) {
                return;
            }
            if (!queue->takeNextLocked(operation)) {
                while (!queue->m_wake) {
                    queue->m_wakeup.wait(lock);
                }
                queue->m_wake = false;
                continue;
            }
        }
        // A null entry is dropped without waiting: its push and the pushes behind it may share
        // one wake-up, which waiting here would swallow, stranding the real operations.
        if (operation) {
            operation->exec();
        }
        // `operation` is destroyed here, before the next stop check.
    }
}

}  // namespace hidutil
