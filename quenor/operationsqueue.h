// Queued device work and the single-thread FIFO worker that runs it.
//
// Roles: device methods package blocking work as a DeviceOperation (a callable plus the promise it
// fulfils) and push it onto an OperationsQueue; the queue's own worker thread runs the operations
// one at a time, in push order, and each fulfils its promise. The worker is started by the first
// push (or by start()), so a queue that is never used costs no thread.
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
//
// Holds: work that blocks on a thread of its own (a set transfer's sender) may take the place of
// an operation while the queue is idle, without waking the worker: tryHold(), then arm() with the
// work's deadline, and release() when it is done. The worker wakes for it only at that deadline,
// or to stop, and then calls the occupant's expire().
//
// Bounded stop: an owner that must not wait for ever for the running operation (a device being
// destroyed while a platform call hangs) calls stopBy() with a deadline and, if the worker has
// not ended by then, detachWorker(). The pending ring, its mutex and flags live in a state block
// that the worker shares, so a detached worker finishes its operation and ends without touching
// the queue object, which may be gone by then.
#pragma once

#include <quenor/export.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>

namespace hidutil {

class QUENOR_EXPORT DeviceOperationBase {
public:
    DeviceOperationBase() = default;
    DeviceOperationBase(const DeviceOperationBase&) = delete;
    DeviceOperationBase& operator=(const DeviceOperationBase&) = delete;
    virtual ~DeviceOperationBase();
    virtual void exec() = 0;

    // Operations are made on the caller's thread and destroyed on a queue's: their memory is
    // handed back for the next one made (quenor/handoffmemory.h), so that a steady stream of
    // operations allocates nothing. Throws std::bad_alloc as the global one does.
    static void* operator new(std::size_t size);
    static void operator delete(void* memory, std::size_t size) noexcept;
    // An over-aligned operation gets the global allocator's aligned memory, as it would
    // without these.
    static void* operator new(std::size_t size, std::align_val_t alignment);
    static void operator delete(void* memory, std::size_t size,
                                std::align_val_t alignment) noexcept;
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

// Work that runs on a thread of its own yet keeps its place in a queue's order (see
// OperationsQueue::tryHold()). Shared by its owner; a queue keeps only a weak reference.
class QUENOR_EXPORT QueueOccupant {
public:
    QueueOccupant() = default;
    QueueOccupant(const QueueOccupant&) = delete;
    QueueOccupant& operator=(const QueueOccupant&) = delete;
    virtual ~QueueOccupant();
    // On the queue's worker, when a hold reaches its deadline, or the queue stops, before it was
    // released: ends the work it holds for (it may block, for a bounded time); the queue goes on
    // when this returns.
    virtual void expire() noexcept = 0;
};

class QUENOR_EXPORT OperationsQueue {
    struct State;

public:
    // The handle of a hold on a queue's place (tryHold()). Movable; its calls may come from any
    // thread, also after the queue is gone.
    class QUENOR_EXPORT Hold {
    public:
        Hold() = default;
        explicit operator bool() const noexcept { return m_state != nullptr; }
        // Gives the hold its deadline, once the caller has started the work and let go of what
        // the worker's next operation or expire() uses: from then on the worker may expire it.
        // The hold ends at the later of arm() and release(). Both do nothing on an empty handle.
        void arm(std::chrono::steady_clock::time_point deadline) const noexcept;
        // The work is done: operations queued behind the hold may run (once armed). False when
        // its expiry has begun, or is over: the work must then finish as expire() expects.
        bool release() const noexcept;

    private:
        friend class OperationsQueue;
        Hold(std::shared_ptr<State> state, unsigned long long generation)
            : m_state(std::move(state)), m_generation(generation) {}
        std::shared_ptr<State> m_state;
        unsigned long long m_generation = 0;
    };

    // Starts no thread: the first push, or start(), does.
    OperationsQueue();
    ~OperationsQueue();
    OperationsQueue(const OperationsQueue&) = delete;
    OperationsQueue& operator=(const OperationsQueue&) = delete;

    // Room for this many pending operations is made at construction: pushing while fewer are
    // pending allocates nothing and cannot throw.
    static constexpr size_t kInitialRoom = 8;

    // Starts the worker unless it runs already or the queue was stopped. Throws std::system_error
    // when no thread can be had; a later push or start() tries again.
    void start();

    // Takes ownership of a heap-allocated operation and queues it behind all pending ones, starting
    // the worker if it has not been (see start()). A null pointer is accepted; the worker drops it
    // and goes on with what follows. Throws std::bad_alloc when the queue must grow, and
    // std::system_error when the worker had to be started and could not be; the operation is then
    // destroyed unrun.
    void pushNewOperation(DeviceOperationBase* operation);

    // Queues makeOperation(holder, fn): one allocation for the operation and its callable.
    // Typical use: take the request from a promise, then pushOperation(std::move(promise),
    // [captures](hidutil::promise<R>& p) { ...; p.set_value(result); }).
    template <class T, class F>
    void pushOperation(T&& holder, F&& fn) {
        pushNewOperation(makeOperation(std::forward<T>(holder), std::forward<F>(fn)).release());
    }

    // When the queue is idle (its worker started, nothing pending, running or held), holds its
    // place for work that the caller starts on another thread, and returns the hold; otherwise
    // an empty one (push an operation instead). Operations pushed meanwhile wait behind the hold
    // until release(), or until `occupant`'s expire() has returned, which the worker calls once
    // the armed deadline passes, or when the queue stops, if the hold is still on. So a caller
    // that holds, starts the work and then arms gets the worker's time-out without waking it in
    // the common case: a worker that sleeps until an earlier deadline is left asleep.
    Hold tryHold(std::weak_ptr<QueueOccupant> occupant);

    // Removes and returns the oldest pending operation, or an empty pointer when none is pending.
    std::unique_ptr<DeviceOperationBase> peekOperation();

    // Tells the worker to take no further operation (a hold still on is expired first), then waits
    // until it has ended (and joins it) or `deadline` has passed. True when the worker has ended;
    // false leaves it running its operation. Pending operations stay queued: peekOperation() still
    // takes them, and the destructor discards the rest. Pushes after it queue but never run on the
    // worker. Call from a thread other than the worker; calling it again waits again.
    bool stopBy(std::chrono::steady_clock::time_point deadline);

    // After stopBy() answered false: lets the worker go instead of joining it. It finishes the
    // operation it runs and ends by itself; the queue's own state lives on with it, so the queue
    // may be destroyed at once. The caller makes sure that the running operation uses nothing
    // that goes before it ends.
    void detachWorker();

    // The worker loop of `queue`, on the calling thread. The queue's own thread runs the same loop
    // on the queue's shared state.
    static void ThreadFunction(OperationsQueue* queue);

private:
    static void run(const std::shared_ptr<State>& state);
    void startLocked();  // the state's mutex held

    // The pending ring, its mutex and flags: shared by the queue and its worker.
    std::shared_ptr<State> m_state;
    // Set once, under the state's mutex, by the first start; read by stopBy(), detachWorker() and
    // the destructor, which run on no other thread concurrently with a push that starts it.
    std::thread m_thread;
};

}  // namespace hidutil
