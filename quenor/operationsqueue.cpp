#include <quenor/operationsqueue.h>

namespace hidutil {

DeviceOperationBase::~DeviceOperationBase() = default;

OperationsQueue::OperationsQueue() {
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
    // Owned from here on, also if growing the array throws.
    std::unique_ptr<DeviceOperationBase> owned(operation);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.push_back(std::move(owned));
    m_wake = true;
    m_wakeup.notify_one();
}

std::unique_ptr<DeviceOperationBase> OperationsQueue::peekOperation() {
    std::unique_ptr<DeviceOperationBase> first;
    takeNext(first);
    return first;
}

bool OperationsQueue::takeNext(std::unique_ptr<DeviceOperationBase>& operation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pending.empty()) {
        return false;
    }
    operation = std::move(m_pending.front());
    m_pending.erase(m_pending.begin());
    return true;
}

bool OperationsQueue::stopRequested() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

void OperationsQueue::ThreadFunction(OperationsQueue* queue) {
    while (!queue->stopRequested()) {
        std::unique_ptr<DeviceOperationBase> operation;
        if (queue->takeNext(operation)) {
            // A null entry is dropped without waiting: its push and the pushes behind it may
            // share one wake-up, which waiting here would swallow, stranding the real operations.
            if (operation) {
                operation->exec();
            }
            continue;  // `operation` is destroyed here, before the stop check
        }
        std::unique_lock<std::mutex> lock(queue->m_mutex);
        while (!queue->m_wake) {
            queue->m_wakeup.wait(lock);
        }
        queue->m_wake = false;
    }
}

}  // namespace hidutil
