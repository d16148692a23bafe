// Queued device work and the single-thread FIFO worker that runs it.
//
// Roles: device methods package blocking work as a DeviceOperation (a callable plus the promise it
// fulfils) and push it onto an OperationsQueue; the queue's own worker thread runs the operations
// one at a time, in push order, and each fulfils its promise.
//
// Threads: pushNewOperation(), pushOperation() and peekOperation() may be called from any thread,
// including from inside a running operation (what it pushes runs after it). The queue mutex
// guards the pending list and both flags and is never held while an operation runs, nor while
// the worker is woken. Destroy a queue from any thread but its own worker: destruction joins the
// worker.
//
// Ownership: the queue owns an operation from the moment it is pushed; the worker takes it out
// before running it and destroys it as soon as it has run. Destroying the queue waits for the
// running operation, then destroys every operation still queued without running it, which drops
// its promise unfulfilled: handles of such requests stay pending for good.
#pragma once

#include <quenor/export.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace hidutil {

class QUENOR_EXPORT DeviceOperationBase {
public:
    DeviceOperationBase() = default;
    DeviceOperationBase(const DeviceOperationBase&) = delete;
    DeviceOperationBase& operator=(const DeviceOperationBase&) = delete;
    virtual ~DeviceOperationBase();
    virtual void exec() = 0;
};

// `T` is the promise holder: a hidutil::promise itself, or a shared_ptr to one when the callable
// hands the promise on to another thread. `F` is the callable, called with the holder; by default
// a std::function, which may allocate for a large callable. Operations made by makeOperation() or
// pushed by OperationsQueue::pushOperation() hold the callable itself instead: holder and callable
// then share the operation's one allocation.
template <class T, class F = std::function<void(T&)>>
class DeviceOperation : public DeviceOperationBase {
public:
    // Takes over both; the caller's holder is left empty, so take the request handle first.
    DeviceOperation(T&& holder, F&& fn) : m_holder(std::move(holder)), m_fn(std::move(fn)) {}

    // Throws std::bad_function_call if the callable is an empty std::function.
    void exec() override { m_fn(m_holder); }

private:
    // Declared in this order so that the callable is destroyed before the holder.
    T m_holder;
    F m_fn;
};

// An operation holding `holder` and `fn` (both moved or copied in) in one allocation. `fn` is
// called as fn(holder&) on the queue's thread.
template <class T, class F>
std::unique_ptr<DeviceOperationBase> makeOperation(T&& holder, F&& fn) {
    using Holder = std::decay_t<T>;
    using Callable = std::decay_t<F>;
    return std::make_unique<DeviceOperation<Holder, Callable>>(Holder(std::forward<T>(holder)),
                                                               Callable(std::forward<F>(fn)));
}

class QUENOR_EXPORT OperationsQueue {
public:
    // Starts the worker. A failure to create the thread propagates as std::system_error.
    OperationsQueue();
    ~OperationsQueue();
    OperationsQueue(const OperationsQueue&) = delete;
    OperationsQueue& operator=(const OperationsQueue&) = delete;

    // Room for this many pending operations is made at construction: pushing while fewer are
    // pending allocates nothing and cannot throw.
    static constexpr size_t kInitialRoom = 8;

    // Takes ownership of a heap-allocated operation and queues it behind all pending ones. A null
    // pointer is accepted; the worker drops it and goes on with what follows. Throws
    // std::bad_alloc only when the queue must grow (the operation is then destroyed unrun).
    void pushNewOperation(DeviceOperationBase* operation);

    // Queues makeOperation(holder, fn): one allocation for the operation and its callable.
    // Typical use: take the request from a promise, then pushOperation(std::move(promise),
    // [captures](hidutil::promise<R>& p) { ...; p.set_value(result); }).
    template <class T, class F>
    void pushOperation(T&& holder, F&& fn) {
        pushNewOperation(makeOperation(std::forward<T>(holder), std::forward<F>(fn)).release());
    }

    // Removes and returns the oldest pending operation, or an empty pointer when none is pending.
    std::unique_ptr<DeviceOperationBase> peekOperation();

    // The worker loop; runs on the queue's own thread.
    static void ThreadFunction(OperationsQueue* queue);

private:
    // Removes the oldest entry (which may be null) into `operation`; false when none is pending.
    bool takeNext(std::unique_ptr<DeviceOperationBase>& operation);
    bool takeNextLocked(std::unique_ptr<DeviceOperationBase>& operation);  // m_mutex held

    // Guarded by m_mutex. A ring: m_count entries from m_head on, oldest first, wrapping at the
    // end of the vector; it grows (doubling) only when full, so a steady queue never allocates.
    std::vector<std::unique_ptr<DeviceOperationBase>> m_pending;
    size_t m_head = 0;
    size_t m_count = 0;
    std::mutex m_mutex;
    std::condition_variable m_wakeup;  // the worker is its only waiter
    std::thread m_thread;
    bool m_stop = false;  // guarded by m_mutex; set once, by the destructor
    // Guarded by m_mutex. Set by every push and by the destructor, cleared by the worker after a
    // wait; a push made while an operation runs is therefore never missed.
    bool m_wake = false;
};

}  // namespace hidutil
