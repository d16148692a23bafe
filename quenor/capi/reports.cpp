// Report transfers of the C interface, blocking and as requests. Each one is the C++
// call it names; the blocking forms wait on the request that call returns.
#include <algorithm>
#include <cstring>

#include "quenor/capi/capi.h"

using quenor::capi::guarded;
using quenor::capi::Transfer;
using Record = AbstractHidDevice::AsyncOpResult;

namespace {

// The library answers a set transfer at most a second after its time-out, and an
// input read when its time-out passes; a blocking call waits that much longer before
// it calls the request lost (which happens only when memory ran out for the answer).
constexpr long kAnswerGraceMs = 2000;

long graceful(int64_t timeoutMs) {
    return timeoutMs < 0 ? -1 : quenor::capi::toMs(timeoutMs) + kAnswerGraceMs;
}

ReportBuffer copyOf(const uint8_t* data, size_t length) {
    return std::make_shared<std::vector<uint8_t>>(data, data + length);
}

// A buffer for an input read of up to `capacity` bytes: the device's pooled one when it
// declared an input size (no allocation once warm), else one of the caller's size.
ReportBuffer inputBuffer(MacHidDevice& device, size_t capacity) {
    ReportBuffer pooled = device.allocateReport(AbstractHidDevice::Input);
    return pooled->empty() ? std::make_shared<std::vector<uint8_t>>(capacity) : pooled;
}

template <typename Start>
quenor_status startTransfer(quenor_device* device, Transfer kind, size_t capacity,
                            quenor_completion completion, void* context, quenor_request** request,
                            Start&& start) {
    return quenor::capi::startRequest(
        device, kind == Transfer::InputRead, completion, context, request,
        [&] { return quenor::capi::makeReportCore(kind, capacity); }, std::forward<Start>(start));
}

// The blocking form: makes the C++ call, waits at most `waitMs` and copies what a read
// delivered. No request object: the C++ request is waited on where it is.
template <typename Start>
quenor_status runBlocking(quenor_device* device, Transfer kind, size_t capacity, long waitMs,
                          uint8_t* data, size_t* length, Start&& start) {
    if (length) {
        *length = 0;
    }
    if (!device) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return guarded([&] {
        if (!device->device->isOpened()) {
            return QUENOR_STATUS_NOT_OPEN;
        }
        const auto request = start(*device->device);
        if (!request.wait_for(waitMs)) {
            return QUENOR_STATUS_TIMEOUT;
        }
        const quenor_result result = quenor::capi::resultOf(request.value(), kind, capacity);
        if (result.status == QUENOR_STATUS_OK && kind != Transfer::Send && result.length > 0) {
            std::memcpy(data, result.data, result.length);
            *length = result.length;
        }
        return result.status;
    });
}

// A buffer for a feature read of exactly `capacity` bytes (the device is asked for the
// buffer's size): the pooled one when it has that size, else a new one.
ReportBuffer featureBuffer(MacHidDevice& device, size_t capacity) {
    ReportBuffer pooled = device.allocateReport(AbstractHidDevice::Feature);
    return pooled->size() == capacity ? pooled : std::make_shared<std::vector<uint8_t>>(capacity);
}

}  // namespace

extern "C" {

quenor_status quenor_write(quenor_device* device, uint8_t report_id, const uint8_t* data,
                           size_t length, int64_t timeout_ms) {
    if (!data && length > 0) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return runBlocking(
        device, Transfer::Send, 0, graceful(timeout_ms), nullptr, nullptr, [&](MacHidDevice& d) {
            return d.setReport(report_id, copyOf(data, length), quenor::capi::toMs(timeout_ms));
        });
}

quenor_status quenor_send_feature(quenor_device* device, uint8_t report_id, const uint8_t* data,
                                  size_t length, int64_t timeout_ms) {
    if (!data && length > 0) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return runBlocking(
        device, Transfer::Send, 0, quenor::capi::toMs(timeout_ms), nullptr, nullptr,
        [&](MacHidDevice& d) { return d.setFeature(report_id, copyOf(data, length)); });
}

quenor_status quenor_get_feature(quenor_device* device, uint8_t report_id, uint8_t* data,
                                 size_t capacity, size_t* length, int64_t timeout_ms) {
    if (!data || !length || capacity == 0) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return runBlocking(
        device, Transfer::FeatureRead, capacity, quenor::capi::toMs(timeout_ms), data, length,
        [&](MacHidDevice& d) { return d.getFeature(report_id, featureBuffer(d, capacity)); });
}

quenor_status quenor_read(quenor_device* device, uint8_t* data, size_t capacity, size_t* length,
                          int64_t timeout_ms) {
    if (!data || !length || capacity == 0) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return runBlocking(device, Transfer::InputRead, capacity, graceful(timeout_ms), data, length,
                       [&](MacHidDevice& d) {
                           return d.getReport(inputBuffer(d, capacity),
                                              quenor::capi::toMs(timeout_ms));
                       });
}

quenor_status quenor_write_request(quenor_device* device, uint8_t report_id, const uint8_t* data,
                                   size_t length, int64_t timeout_ms, quenor_completion completion,
                                   void* context, quenor_request** request) {
    if (!data && length > 0) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return startTransfer(
        device, Transfer::Send, 0, completion, context, request, [&](MacHidDevice& d) {
            return d.setReport(report_id, copyOf(data, length), quenor::capi::toMs(timeout_ms));
        });
}

quenor_status quenor_send_feature_request(quenor_device* device, uint8_t report_id,
                                          const uint8_t* data, size_t length,
                                          quenor_completion completion, void* context,
                                          quenor_request** request) {
    if (!data && length > 0) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return startTransfer(
        device, Transfer::Send, 0, completion, context, request,
        [&](MacHidDevice& d) { return d.setFeature(report_id, copyOf(data, length)); });
}

quenor_status quenor_get_feature_request(quenor_device* device, uint8_t report_id, size_t capacity,
                                         quenor_completion completion, void* context,
                                         quenor_request** request) {
    if (capacity == 0) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return startTransfer(
        device, Transfer::FeatureRead, capacity, completion, context, request,
        [&](MacHidDevice& d) { return d.getFeature(report_id, featureBuffer(d, capacity)); });
}

quenor_status quenor_read_request(quenor_device* device, size_t capacity, int64_t timeout_ms,
                                  quenor_completion completion, void* context,
                                  quenor_request** request) {
    if (capacity == 0) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return startTransfer(
        device, Transfer::InputRead, capacity, completion, context, request, [&](MacHidDevice& d) {
            return d.getReport(inputBuffer(d, capacity), quenor::capi::toMs(timeout_ms));
        });
}

}  // extern "C"
