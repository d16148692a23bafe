// Requests of the C interface: the C view of a completed C++ request, the completion
// lanes that run callbacks, and the quenor_request_* functions.
#include <algorithm>
#include <chrono>

#include "quenor/capi/capi.h"

namespace quenor::capi {

// A failed record says why in its status when the platform gave one. The few the
// library answers without one: an input read that found no report in time
// ({false, -1}), a transfer on a device that was not open when it ran ({false, 0},
// no buffer); anything else failed in a way the platform did not name.
static quenor_status statusOf(const AbstractHidDevice::AsyncOpResult& record, Transfer kind) {
    if (record.success) {
        return QUENOR_STATUS_OK;
    }
    if (record.status != 0) {
        return record.status;
    }
    if (kind == Transfer::InputRead) {
        return record.bytesTransferred == -1 ? QUENOR_STATUS_TIMEOUT : QUENOR_STATUS_NOT_OPEN;
    }
    return record.buffer ? QUENOR_STATUS_ERROR : QUENOR_STATUS_NOT_OPEN;
}

quenor_result resultOf(const AbstractHidDevice::AsyncOpResult& record, Transfer kind,
                       size_t capacity) {
    quenor_result result{};
    result.status = statusOf(record, kind);
    result.report_id = record.reportId;
    if (result.status != QUENOR_STATUS_OK) {
        return result;
    }
    const size_t transferred = static_cast<size_t>(std::max(record.bytesTransferred, 0));
    if (kind == Transfer::Send) {
        result.length = transferred;
        return result;
    }
    // A pooled input buffer may be longer than the caller asked for.
    result.length = std::min(transferred, capacity);
    result.data = record.buffer && result.length ? record.buffer->data() : nullptr;
    return result;
}

const quenor_result& RequestCore::result() const {
    std::call_once(m_once, [this] { fill(m_result); });
    return m_result;
}

namespace {

using OpResult = AbstractHidDevice::AsyncOpResult;
using StrResult = AbstractHidDevice::AsyncStrReqResult;

class ReportCore final : public TypedCore<OpResult> {
public:
    ReportCore(Transfer kind, size_t capacity) : m_kind(kind), m_capacity(capacity) {}

private:
    void fill(quenor_result& result) const override {
        result = resultOf(record(), m_kind, m_capacity);
    }

    Transfer m_kind;
    size_t m_capacity;
};

class StringCore final : public TypedCore<StrResult> {
private:
    void fill(quenor_result& result) const override {
        const StrResult& record = this->record();
        result.text = "";
        if (!record.success) {
            result.status = record.status != 0 ? record.status : QUENOR_STATUS_NOT_OPEN;
            return;
        }
        try {
            m_text = encodeUtf8(record.value);
            result.text = m_text.c_str();
            result.length = m_text.size();
            result.status = QUENOR_STATUS_OK;
        } catch (const std::bad_alloc&) {
            result.status = QUENOR_STATUS_NO_MEMORY;
        }
    }

    mutable std::string m_text;  // written once, inside result()'s call_once
};

// How often a lane whose oldest request is still pending looks whether its device
// has gone: a request the destroyed device never ran would otherwise hold the lane.
constexpr long kAbandonCheckMs = 20;

}  // namespace

std::shared_ptr<TypedCore<OpResult>> makeReportCore(Transfer kind, size_t capacity) {
    return std::make_shared<ReportCore>(kind, capacity);
}

std::shared_ptr<TypedCore<StrResult>> makeStringCore() {
    return std::make_shared<StringCore>();
}

CompletionLane::CompletionLane() : m_thread([this] { run(); }) {}

CompletionLane::~CompletionLane() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void CompletionLane::push(Slot&& slot) noexcept {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.splice(m_items.end(), slot);
    }
    m_wake.notify_all();
}

void CompletionLane::abandon() noexcept {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_abandoned = true;
    }
    m_wake.notify_all();
}

void CompletionLane::run() noexcept {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return !m_items.empty() || m_stopping; });
        if (m_items.empty()) {
            return;
        }
        Slot next;
        next.splice(next.end(), m_items, m_items.begin());
        const Item& item = next.front();
        lock.unlock();
        bool ready = item.core->isReady();
        while (!ready) {
            ready = item.core->waitFor(kAbandonCheckMs);
            lock.lock();
            const bool gone = m_abandoned;
            lock.unlock();
            if (gone) {
                // The device was deleted before abandon(): what is pending now stays so.
                ready = item.core->isReady();
                break;
            }
        }
        if (ready) {
            item.completion(&item.core->result(), item.context);
        } else {
            quenor_result aborted{};
            aborted.status = QUENOR_STATUS_ABORTED;
            item.completion(&aborted, item.context);
        }
        lock.lock();
    }
}

}  // namespace quenor::capi

extern "C" {

quenor_status quenor_request_wait(quenor_request* request) {
    if (!request) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    request->core->wait();
    return request->core->result().status;
}

int quenor_request_wait_for(quenor_request* request, int64_t timeout_ms) {
    if (!request) {
        return 0;
    }
    return request->core->waitFor(quenor::capi::toMs(timeout_ms)) ? 1 : 0;
}

int quenor_request_poll(const quenor_request* request) {
    return request && request->core->isReady() ? 1 : 0;
}

quenor_status quenor_request_result(quenor_request* request, quenor_result* result) {
    if (!request || !result) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    if (!request->core->isReady()) {
        return QUENOR_STATUS_NOT_READY;
    }
    *result = request->core->result();
    return result->status;
}

void quenor_request_free(quenor_request* request) {
    delete request;
}

}  // extern "C"
