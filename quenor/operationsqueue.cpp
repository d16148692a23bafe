#include <quenor/operationsqueue.h>

#include "quenor/handoffmemory.h"
#include "quenor/ringqueue.h"
#include "quenor/semaphore.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <utility>

namespace hidutil {

DeviceOperationBase::~DeviceOperationBase() = default;
QueueOccupant::~QueueOccupant() = default;

void* DeviceOperationBase::operator new(std::size_t size) {
    return internal::takeBlock(size);
}

void DeviceOperationBase::operator delete(void* memory, std::size_t size) noexcept {
    internal::giveBlock(memory, size);
}

void* DeviceOperationBase::operator new(std::size_t size, std::align_val_t alignment) {
    return ::operator new(size, alignment);
}

void DeviceOperationBase::operator delete(void* memory, std::size_t /*size*/,
                                          std::align_val_t alignment) noexcept {
    ::operator delete(memory, alignment);
}

// Internal to the library: hidden, although nested in an exported class.
struct __attribute__((visibility("hidden"))) OperationsQueue::State {
    explicit State(size_t room) : pending(room) {
        if (!wakeup.ok()) {
            throw std::bad_alloc();
        }
    }

    // Whether the caller, which just gave the worker something to do, must wake it (after
    // unlocking). Mutex held.
    bool wakeWorkerLocked() { return std::exchange(sleeping, false); }

    // Removes the oldest entry (which may be null) into `operation`; false when none is pending.
    bool takeNextLocked(std::unique_ptr<DeviceOperationBase>& operation);  // mutex held

    // Whether the worker must expire the hold now: the queue stops, or its armed deadline has
    // passed. A released hold is not expired: its work is done. Mutex held.
    bool holdExpiresLocked() const {
        if (hold != HoldState::Waiting && hold != HoldState::Armed) {
            return false;
        }
        return stop ||
               (hold == HoldState::Armed && holdDeadline <= std::chrono::steady_clock::now());
    }
    // Ends the hold; true when the caller must wake the worker (after unlocking) for the
    // operations queued behind it. Mutex held.
    bool endHoldLocked() {
        hold = HoldState::None;
        return !pending.empty() && wakeWorkerLocked();
    }

    // Guarded by mutex; oldest first. It grows only when full, so a steady queue never allocates.
    internal::RingQueue<std::unique_ptr<DeviceOperationBase>> pending;
    // pending.size(), stored under the mutex at each change, for the worker to read without the
    // lock as a hint (see run()).
    std::atomic<size_t> count{0};
    std::mutex mutex;
    // The worker sleeps on it; posted once for each sleep, by the push, stop or hold change that
    // clears `sleeping`. A sleep that ends at its deadline may leave a late post behind, which
    // ends the next sleep at once: harmless, as the worker looks again before it sleeps again.
    internal::Semaphore wakeup;
    std::condition_variable ended;  // stopBy() waits on it for `finished`
    bool stop = false;              // guarded by mutex; set once, by stopBy() or the destructor
    bool sleeping = false;          // guarded by mutex: the worker sleeps, or is about to
    // Guarded by mutex, meaningful while `sleeping`: when the worker wakes by itself (max: never).
    std::chrono::steady_clock::time_point sleepsUntil;
    bool busy = false;  // guarded by mutex: the worker runs an operation or an expiry

    // The hold (tryHold()), guarded by mutex. Waiting: the caller is starting its work;
    // Released: the work released it before the caller armed it; Armed: it expires at
    // holdDeadline; Expiring: the worker runs its occupant's expire().
    enum class HoldState { None, Waiting, Released, Armed, Expiring };
    HoldState hold = HoldState::None;
    unsigned long long holdGeneration = 0;  // counts holds: a handle speaks for its own only
    std::chrono::steady_clock::time_point holdDeadline;
    std::weak_ptr<QueueOccupant> occupant;
    bool finished = false;  // guarded by mutex: the worker has left its loop
    bool started = false;   // guarded by mutex: the worker was started (m_thread is set)
};

OperationsQueue::OperationsQueue() : m_state(std::make_shared<State>(kInitialRoom)) {}

OperationsQueue::~OperationsQueue() {
    bool started;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->stop = true;  // no push starts the worker from now on
        started = m_state->started;
        if (m_state->wakeWorkerLocked()) {
            m_state->wakeup.post();  // under the lock: rare, and the worker may be gone soon
        }
    }
    if (started && m_thread.joinable()) {
        m_thread.join();
    }
    // Whatever never ran is discarded here, outside the lock (an operation's destructor may do
    // anything), also when a detached worker still holds the state.
    internal::RingQueue<std::unique_ptr<DeviceOperationBase>> discarded;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        discarded.swap(m_state->pending);
        m_state->count.store(0, std::memory_order_relaxed);
    }
}

bool OperationsQueue::stopBy(std::chrono::steady_clock::time_point deadline) {
    {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        m_state->stop = true;
        if (!m_state->started || !m_thread.joinable()) {
            return true;  // never started, or already joined: nothing runs
        }
        if (m_state->wakeWorkerLocked()) {
            m_state->wakeup.post();
        }
        if (!m_state->ended.wait_until(lock, deadline, [&] { return m_state->finished; })) {
            return false;
        }
    }
    m_thread.join();
    return true;
}

void OperationsQueue::detachWorker() {
    if (m_thread.joinable()) {
        m_thread.detach();
    }
}

// Mutex held. The thread is made under the queue's mutex, once per queue, so that `started` and
// m_thread change together and no push or stop sees one without the other; the new worker's first
// step waits for the mutex, nothing else does.
void OperationsQueue::startLocked() {
    if (m_state->started || m_state->stop) {
        return;
    }
    m_thread = std::thread(&OperationsQueue::run, m_state);
    m_state->started = true;
}

void OperationsQueue::start() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    startLocked();
}

void OperationsQueue::pushNewOperation(DeviceOperationBase* operation) {
    // Owned from here on, also if growing the ring or starting the worker throws.
    std::unique_ptr<DeviceOperationBase> owned(operation);
    State& state = *m_state;
    bool wake;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        startLocked();
        state.pending.push_back(std::move(owned));
        state.count.store(state.pending.size(), std::memory_order_relaxed);
        // Behind a hold the worker could only sleep again: the hold's end wakes it.
        wake = state.hold == State::HoldState::None && state.wakeWorkerLocked();
    }
    // Woken after the unlock, so that the worker does not run into the mutex still held here.
    if (wake) {
        state.wakeup.post();
    }
}

OperationsQueue::Hold OperationsQueue::tryHold(std::weak_ptr<QueueOccupant> occupant) {
    State& state = *m_state;
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.started || state.stop || state.busy || state.hold != State::HoldState::None ||
        !state.pending.empty()) {
        return {};
    }
    state.hold = State::HoldState::Waiting;
    state.occupant = std::move(occupant);
    return Hold(m_state, ++state.holdGeneration);
}

void OperationsQueue::Hold::arm(std::chrono::steady_clock::time_point deadline) const noexcept {
    if (!m_state) {
        return;
    }
    State& state = *m_state;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.holdGeneration != m_generation) {
            return;  // ended, and another hold taken since
        }
        if (state.hold == State::HoldState::Released) {
            wake = state.endHoldLocked();
        } else if (state.hold == State::HoldState::Waiting) {
            state.hold = State::HoldState::Armed;
            state.holdDeadline = deadline;
            // A worker asleep until a later deadline (or none) must look again; one that
            // wakes before this deadline looks again then.
            wake = state.sleeping && deadline < state.sleepsUntil && state.wakeWorkerLocked();
        }
    }
    if (wake) {
        state.wakeup.post();
    }
}

bool OperationsQueue::Hold::release() const noexcept {
    if (!m_state) {
        return false;
    }
    State& state = *m_state;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.holdGeneration != m_generation) {
            return false;
        }
        switch (state.hold) {
            case State::HoldState::Waiting:
                // The caller may still be starting the work: the queue goes on at its arm().
                state.hold = State::HoldState::Released;
                return true;
            case State::HoldState::Armed:
                wake = state.endHoldLocked();
                break;
            default:
                return false;
        }
    }
    if (wake) {
        state.wakeup.post();
    }
    return true;
}

std::unique_ptr<DeviceOperationBase> OperationsQueue::peekOperation() {
    std::unique_ptr<DeviceOperationBase> first;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->takeNextLocked(first);
    return first;
}

bool OperationsQueue::State::takeNextLocked(std::unique_ptr<DeviceOperationBase>& operation) {
    if (pending.empty()) {
        return false;
    }
    operation = pending.take_front();
    count.store(pending.size(), std::memory_order_relaxed);
    return true;
}

void OperationsQueue::ThreadFunction(OperationsQueue* queue) {
    run(queue->m_state);
}

void OperationsQueue::run(const std::shared_ptr<State>& shared) {
    State& state = *shared;
    // One round on the mutex per operation: the lock taken after an operation ran serves the
    // stop check, the take of the next one and, when none is pending, the wait.
    using HoldState = State::HoldState;
    std::unique_lock<std::mutex> lock(state.mutex);
    for (;;) {
        if (state.holdExpiresLocked()) {
            state.hold = HoldState::Expiring;
            state.busy = true;
            std::shared_ptr<QueueOccupant> occupant = state.occupant.lock();
            lock.unlock();
            if (occupant) {
                occupant->expire();
            }
            occupant.reset();  // the occupant's owner may have let go meanwhile
            lock.lock();
            state.hold = HoldState::None;
            state.busy = false;
            continue;
        }
        if (state.stop) {
            state.finished = true;
            lock.unlock();
            state.ended.notify_all();  // the state is ours too: it outlives the queue if need be
            return;
        }
        std::unique_ptr<DeviceOperationBase> operation;
        if (state.hold != HoldState::None || !state.takeNextLocked(operation)) {
            // Nothing to run: sleep until a push, a hold change or stop wakes this thread, or
            // until an armed hold's deadline.
            const auto until = state.hold == HoldState::Armed
                                   ? state.holdDeadline
                                   : std::chrono::steady_clock::time_point::max();
            state.sleeping = true;
            state.sleepsUntil = until;
            lock.unlock();
            if (until == std::chrono::steady_clock::time_point::max()) {
                state.wakeup.wait();
            } else {
                state.wakeup.waitUntil(until);
            }
            lock.lock();
            state.sleeping = false;  // when the deadline woke it, no post is owed
            continue;
        }
        state.busy = true;
        lock.unlock();
        // A null entry is dropped without waiting: its push and the pushes behind it may share
        // one wake-up, which waiting here would swallow, stranding the real operations.
        if (operation) {
            operation->exec();
        }
        operation.reset();  // destroyed outside the lock, before the next stop check
        if (state.count.load(std::memory_order_relaxed) == 0) {
            // Nothing pending: before the lock that may find the queue empty and sleep, one
            // turn for a caller about to push its next operation (one that waits for each
            // answer pushes right after it). Its push then finds no sleeper to wake, and this
            // thread needs no wake-up. Only a hint, read without the lock.
            std::this_thread::yield();
        }
        lock.lock();
        state.busy = false;
    }
}

}  // namespace hidutil
