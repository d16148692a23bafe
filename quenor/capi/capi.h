// Inside the C interface (quenor/quenor.h): the objects behind its opaque handles and
// the helpers its files share. Nothing here is installed.
//
// The boundary: every exported function body runs inside guarded(), so that no C++
// exception reaches a C caller; std::bad_alloc becomes QUENOR_STATUS_NO_MEMORY and a
// failure to start a thread QUENOR_STATUS_NO_RESOURCES.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "quenor/abstracthiddevice.h"
#include "quenor/mac/hiddeviceentry.h"
#include "quenor/mac/hiddevicematch.h"
#include "quenor/mac/machiddevice.h"
#include "quenor/quenor.h"

namespace quenor::capi {

// Runs `body`, which returns a quenor_status, and turns what it throws into a status.
template <typename Body>
quenor_status guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return QUENOR_STATUS_NO_MEMORY;
    } catch (const std::system_error&) {
        return QUENOR_STATUS_NO_RESOURCES;
    } catch (...) {
        return QUENOR_STATUS_ERROR;
    }
}

// A C time-out as the library's (long) milliseconds: -1 stays "no limit"; values past
// what a long holds are "practically no limit".
inline long toMs(int64_t ms) {
    constexpr int64_t kLongMax = static_cast<int64_t>(std::numeric_limits<long>::max());
    return ms > kLongMax ? std::numeric_limits<long>::max() : static_cast<long>(ms);
}

// Wide text as UTF-8: one character per code point, except that a UTF-16 surrogate
// pair (as USB strings carry them) is joined; a lone surrogate or a value past
// U+10FFFF becomes U+FFFD.
std::string encodeUtf8(const std::wstring& text);

// The C++ match for a C one (NULL: everything).
HidDeviceMatch toMatch(const quenor_match* match);

// An entry's strings, kept while a quenor_entry points into them.
struct EntryText {
    std::string path, manufacturer, product, serialNumber, transport;
    explicit EntryText(const HidDeviceEntry& entry);
};
// A quenor_entry for `entry` whose strings point into `text`.
quenor_entry toCEntry(const HidDeviceEntry& entry, const EntryText& text);

// What a completed request tells a C caller. Computed once, on the first thread that
// asks after completion; afterwards read-only, so any thread may read it.
class RequestCore {
public:
    virtual ~RequestCore() = default;
    virtual bool isReady() const = 0;
    virtual void wait() const = 0;
    // As async_request::wait_for: -1 without limit; true when ready.
    virtual bool waitFor(long ms) const = 0;
    // Only once isReady(); never throws (no memory for a string's text gives
    // QUENOR_STATUS_NO_MEMORY and "").
    const quenor_result& result() const;

protected:
    virtual void fill(quenor_result& result) const = 0;

private:
    mutable std::once_flag m_once;
    mutable quenor_result m_result{};
};

using SharedCore = std::shared_ptr<const RequestCore>;

// A core made before its request starts, so that starting is the last thing that can
// fail; attach() then hands it the request and cannot fail.
template <class T>
class TypedCore : public RequestCore {
public:
    void attach(hidutil::async_request<T> request) noexcept {
        m_request.emplace(std::move(request));
    }
    bool isReady() const override { return m_request->is_ready(); }
    void wait() const override { m_request->wait(); }
    bool waitFor(long ms) const override { return m_request->wait_for(ms); }

protected:
    const T& record() const { return m_request->value(); }

private:
    std::optional<hidutil::async_request<T>> m_request;  // set once, before it is shared
};

// What a report transfer was, for reading its record in C terms.
enum class Transfer { Send, FeatureRead, InputRead };

// A transfer's record in C terms; `capacity`: the most bytes a read delivers. `data`
// points into the record's buffer.
quenor_result resultOf(const AbstractHidDevice::AsyncOpResult& record, Transfer kind,
                       size_t capacity);

// `capacity`: the most bytes a read delivers.
std::shared_ptr<TypedCore<AbstractHidDevice::AsyncOpResult>> makeReportCore(Transfer kind,
                                                                            size_t capacity);
std::shared_ptr<TypedCore<AbstractHidDevice::AsyncStrReqResult>> makeStringCore();

// Runs completion callbacks: one thread that waits for its requests in the order
// they were made (a device's requests of one kind complete in that order) and calls
// each callback once, outside its lock. abandon() is for after the device is gone:
// every request still pending then never completes, and its callback runs with
// QUENOR_STATUS_ABORTED. The destructor drains the lane and joins its thread.
class CompletionLane {
public:
    CompletionLane();
    ~CompletionLane();
    CompletionLane(const CompletionLane&) = delete;
    CompletionLane& operator=(const CompletionLane&) = delete;

    struct Item {
        SharedCore core;
        quenor_completion completion = nullptr;
        void* context = nullptr;
    };
    // A one-item list made ahead, so that handing the item over (a splice) cannot
    // fail once its request has started.
    using Slot = std::list<Item>;
    static Slot reserve() { return Slot(1); }
    void push(Slot&& slot) noexcept;
    void abandon() noexcept;

private:
    void run() noexcept;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::list<Item> m_items;   // guarded by m_mutex
    bool m_abandoned = false;  // guarded by m_mutex
    bool m_stopping = false;   // guarded by m_mutex
    std::thread m_thread;
};

// The lane for a device's requests of one kind, made on first use.
CompletionLane& laneFor(quenor_device& device, bool input);

// Starts a request and hands it to the caller (and, with a completion, to the lane of
// its kind). `makeCore` makes the core, `start(device)` makes the C++ call and returns
// its request; that call comes last, so that nothing after it can fail.
template <typename MakeCore, typename Start>
quenor_status startRequest(quenor_device* device, bool inputLane, quenor_completion completion,
                           void* context, quenor_request** request, MakeCore&& makeCore,
                           Start&& start);

}  // namespace quenor::capi

// The opaque handles, defined in the global namespace where quenor.h declares them.

struct quenor_device {
    std::unique_ptr<MacHidDevice> device;
    // Made on the first request with a callback; one for the request queue's work
    // (sends, feature reads, USB strings), one for input reads. Guarded by lanesMutex
    // until made; the lanes themselves are thread-safe.
    std::mutex lanesMutex;
    std::unique_ptr<quenor::capi::CompletionLane> requestLane;
    std::unique_ptr<quenor::capi::CompletionLane> inputLane;
};

struct quenor_request {
    quenor::capi::SharedCore core;
};

struct quenor_monitor;

template <typename MakeCore, typename Start>
quenor_status quenor::capi::startRequest(quenor_device* device, bool inputLane,
                                         quenor_completion completion, void* context,
                                         quenor_request** request, MakeCore&& makeCore,
                                         Start&& start) {
    if (request) {
        *request = nullptr;
    }
    if (!device || !request) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return guarded([&] {
        if (!device->device->isOpened()) {
            return QUENOR_STATUS_NOT_OPEN;
        }
        auto handle = std::make_unique<quenor_request>();
        auto core = makeCore();
        CompletionLane* lane = completion ? &laneFor(*device, inputLane) : nullptr;
        CompletionLane::Slot slot = lane ? CompletionLane::reserve() : CompletionLane::Slot();
        core->attach(start(*device->device));
        handle->core = std::move(core);
        if (lane) {
            slot.front() = {handle->core, completion, context};
            lane->push(std::move(slot));
        }
        *request = handle.release();
        return QUENOR_STATUS_OK;
    });
}
