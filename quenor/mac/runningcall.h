// A request-queue operation that has entered its blocking platform call, as the
// device's destructor sees it.
//
// Every operation on a device's request queue (set transfer, feature read, USB
// string request) registers itself with MacHidDevice::enterCall() just before it
// blocks; from then on it uses nothing of the device object, only what it holds
// itself (its own references to the platform device or USB interface, the
// caller's buffer, this shared record and its promise). That is what lets the
// destructor stop waiting for it: it asks the call to end (cancel()), waits at
// most kCallGrace, and if the call is still inside the platform, lets the queue's
// worker go on without it and answers the request with kIOReturnAborted (abort()).
// Whichever of the call and the destructor answers first wins.
//
// Shared by the operation (strong) and the device (weak, guarded by its
// privMutex). Every member may be used from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <utility>

#include <quenor/async_request>

#include "quenor/handoffmemory.h"
#include "quenor/mac/answer.h"

namespace quenor::mac {

// How long a set transfer waits for its sender after asking it to cancel, and how
// long a device's destruction waits for the call in progress: past it the call is
// left to finish on its own references. On a Mac neither the HID driver's report
// calls nor a USB control request are cancellation points, and a driver or device
// that never answers would otherwise hold the queue, and the destruction, for ever.
inline constexpr std::chrono::seconds kCallGrace{1};

class RunningCall {
public:
    RunningCall() = default;
    RunningCall(const RunningCall&) = delete;
    RunningCall& operator=(const RunningCall&) = delete;
    virtual ~RunningCall() = default;

    // Asks the call to end early (a set transfer's sender gets its cancellation
    // request at once). A call made on the queue's own thread cannot be asked.
    virtual void cancel() noexcept {}
    // Answers the request with its kIOReturnAborted record unless it was answered.
    virtual void abort() noexcept = 0;

    // Set once the operation no longer waits for the platform: it ends promptly.
    std::atomic<bool> finished{false};
};

// The request of an operation whose platform call runs on the queue's own thread,
// answered exactly once: by the call, or by abort(). `Records` holds what the
// call was asked for and makes its failure records on demand: `T aborted() const`
// (the record of an abort) and `T noMemory() const` (of a request whose answer
// found no memory for its copy); neither may need memory beyond the record.
//
// The request's state lives inside this object, so that one allocation holds
// both: the handles keep the object alive, as they would keep their own state.
template <typename T, typename Records>
class QueuedCall final : public RunningCall {
public:
    explicit QueuedCall(Records records) : m_records(std::move(records)) {}

    // A call record in memory handed back between the caller's thread and the queue's
    // (handoffmemory.h): the queue's thread often lets it go last.
    static std::shared_ptr<QueuedCall> make(Records records) {
        return std::allocate_shared<QueuedCall>(hidutil::internal::HandoffAllocator<QueuedCall>(),
                                                std::move(records));
    }

    // The handle of `call`'s request.
    static hidutil::async_request<T> request(const std::shared_ptr<QueuedCall>& call) {
        return hidutil::internal::request_of(
            std::shared_ptr<hidutil::internal::request_state_data<T>>(call, &call->m_state));
    }
    const Records& records() const { return m_records; }

    // The first answer wins; later ones change nothing. If no memory can be had
    // for the record, answers the no-memory one; should even that fail, the
    // request stays pending (answer.h).
    void answer(T value) noexcept {
        m_answer.settle([&]() noexcept {
            try {
                hidutil::internal::fulfil(m_state, std::move(value));
            } catch (const std::bad_alloc&) {
                try {
                    hidutil::internal::fulfil(m_state, m_records.noMemory());
                } catch (const std::bad_alloc&) {
                }
            }
        });
    }
    void abort() noexcept override { answer(m_records.aborted()); }

    // Runs `work`, which answers through answer(); if it runs out of memory before
    // it has answered, answers the no-memory record.
    template <typename Work>
    void run(Work&& work) noexcept {
        try {
            work();
        } catch (const std::bad_alloc&) {
            answer(m_records.noMemory());
        }
        finished = true;
    }

private:
    hidutil::internal::request_state_data<T> m_state;
    AnswerOnce m_answer;
    const Records m_records;
};

}  // namespace quenor::mac
