#include "ledger.h"

#include <vmac/control.h>

#include <algorithm>
#include <initializer_list>
#include <sstream>

namespace stress {
namespace {

constexpr size_t kHeader = 7;
constexpr uint32_t kMaxReportId = 4;  // 1 and 2 on the gadget's page, 3 on another, 4 on none

uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    return x ^ (x >> 16);
}

// One report in sixteen is injected with a failing result, whatever the device.
bool injectedWithError(uint32_t sequence) {
    return mix(sequence * 2654435761u) % 16 == 0;
}

bool statusIn(int64_t status, std::initializer_list<IOReturn> codes) {
    return std::any_of(codes.begin(), codes.end(),
                       [status](IOReturn code) { return status == static_cast<int32_t>(code); });
}

std::string notAllowed(const char* what, const Result& r) {
    std::ostringstream out;
    out << what << " record not in the documented set: {" << r.success << ", " << r.bytesTransferred
        << ", " << r.buffer.get() << ", " << int(r.reportId) << ", " << r.status << "}";
    return out.str();
}

std::string notAllowed(const char* what, const StrResult& r) {
    std::ostringstream out;
    out << what << " record not in the documented set: {" << r.success << ", " << r.value.size()
        << " chars, " << r.status << "}";
    return out.str();
}

bool notOpenWhenRun(const Result& r) {
    return !r.success && r.bytesTransferred == 0 && !r.buffer && r.reportId == 0 && r.status == 0;
}

}  // namespace

InputReport makeInputReport(uint8_t tag, uint32_t sequence) {
    const uint32_t h = mix(sequence ^ (uint32_t{tag} << 24));
    const size_t length = kHeader + 1 + h % (kInputReportSize - kHeader);  // 8 to 64 bytes
    InputReport report{1 + (h >> 8) % kMaxReportId, std::vector<uint8_t>(length),
                       injectedWithError(sequence)};
    auto& b = report.bytes;
    b[0] = static_cast<uint8_t>(report.reportId);  // numbered reports: byte 0 is the ID
    for (int i = 0; i < 4; ++i) {
        b[1 + i] = static_cast<uint8_t>(sequence >> (8 * i));
    }
    b[5] = static_cast<uint8_t>(length);
    b[6] = tag;
    for (size_t i = kHeader; i < length; ++i) {
        b[i] = static_cast<uint8_t>(mix(sequence * 131u + tag) >> (i % 24)) ^
               static_cast<uint8_t>(i * 37u);
    }
    return report;
}

uint32_t ReportLedger::beginInjection(const Snapshot& before) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry entry;
    entry.filterEpochBefore = static_cast<uint32_t>(before.filterEpoch);
    entry.flags = static_cast<uint8_t>(
        (injectedWithError(static_cast<uint32_t>(entries_.size())) ? kWithError : 0) |
        (before.filterOn ? kFilterOnBefore : 0) | (before.filterEpoch % 2 == 0 ? kStable : 0) |
        (before.overlapEpoch % 2 == 1 ? kOverlap : 0));
    entries_.push_back(entry);
    return static_cast<uint32_t>(entries_.size() - 1);
}

void ReportLedger::endInjection(uint32_t sequence, const Snapshot& before, const Snapshot& after) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = entries_.at(sequence);
    if (after.filterEpoch != before.filterEpoch) {
        entry.flags &= static_cast<uint8_t>(~kStable);
    }
    if (after.overlapEpoch != before.overlapEpoch || after.overlapEpoch % 2 == 1) {
        entry.flags |= kOverlap;
    }
}

std::string ReportLedger::recordRead(uint8_t tag, const std::vector<uint8_t>& buffer,
                                     size_t bufferSize, int32_t bytesTransferred,
                                     uint64_t filterEpochNow) {
    std::ostringstream problem;
    const size_t n = static_cast<size_t>(std::max(0, bytesTransferred));
    if (bufferSize < kHeader || n < kHeader || n > bufferSize || buffer.size() != bufferSize) {
        problem << "read of " << bytesTransferred << " bytes into a " << bufferSize
                << "-byte buffer (now " << buffer.size() << " bytes)";
        return problem.str();
    }
    if (buffer[6] != tag) {
        problem << "report of device tag " << int(buffer[6]) << " read on device tag " << int(tag);
        return problem.str();
    }
    uint32_t sequence = 0;
    for (int i = 0; i < 4; ++i) {
        sequence |= uint32_t{buffer[1 + i]} << (8 * i);
    }
    const InputReport expected = makeInputReport(tag, sequence);
    if (n != std::min(expected.bytes.size(), bufferSize) ||
        !std::equal(expected.bytes.begin(), expected.bytes.begin() + n, buffer.begin())) {
        problem << "report " << sequence << " of " << expected.bytes.size() << " bytes read as "
                << n << " changed or cut bytes into a " << bufferSize << "-byte buffer";
        return problem.str();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (sequence >= entries_.size()) {
        return "report " + std::to_string(sequence) + " read before it was injected";
    }
    Entry& entry = entries_[sequence];
    entry.reads = static_cast<uint8_t>(std::min(255, entry.reads + 1));
    if (expected.reportId > 2 && static_cast<uint32_t>(filterEpochNow) == entry.filterEpochBefore) {
        entry.flags |= kReadUnfiltered;
    }
    return {};
}

std::vector<std::string> ReportLedger::verdicts(int device) const {
    std::vector<std::string> faults;
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t sequence = 0; sequence < entries_.size(); ++sequence) {
        const Entry& e = entries_[sequence];
        const std::string which =
            "device " + std::to_string(device) + " report " + std::to_string(sequence) + ": ";
        if (e.reads > 0 && (e.flags & kWithError)) {
            faults.push_back(which + "injected with an error result, yet read");
        } else if (e.reads > 1 && !(e.flags & kOverlap)) {
            faults.push_back(which + "read " + std::to_string(e.reads) + " times");
        } else if ((e.flags & kReadUnfiltered) && (e.flags & kFilterOnBefore) &&
                   (e.flags & kStable)) {
            faults.push_back(which + "filtered-out report ID read while filtering stood on");
        }
    }
    return faults;
}

uint64_t ReportLedger::injected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

std::string checkSetRecord(const Result& r, const ReportBuffer& sent, uint8_t reportId) {
    const bool allowed =
        r.buffer == sent &&
        (r.success ? r.reportId == reportId &&
                         r.bytesTransferred == static_cast<int32_t>(sent->size()) && r.status == 0
         // the platform call failed (scripted failure, unplug, a seize, a closed device
         // object, the driver's time-out); the sender was cut short by its time-out or
         // by the deletion; no sender thread could start
         : r.bytesTransferred == -1
             ? r.reportId == reportId &&
                   statusIn(r.status, {kIOReturnError, kIOReturnNotAttached,
                                       kIOReturnExclusiveAccess, kIOReturnNotOpen, kIOReturnTimeout,
                                       kIOReturnAborted, kIOReturnNoResources})
             // queued before a close or a reopen and run after it; not open when called
             : r.bytesTransferred == 0 &&
                   ((r.reportId == reportId && statusIn(r.status, {kIOReturnNotOpen})) ||
                    (r.reportId == 0 && statusIn(r.status, {kIOReturnError}))));
    return allowed ? std::string() : notAllowed("set transfer", r);
}

std::string checkFeatureReadRecord(const Result& r, const ReportBuffer& buffer, uint8_t reportId,
                                   uint8_t tag) {
    // The firmware answers a whole feature report, of which the buffer takes what
    // fits; kIOReturnExclusiveAccess: a reopen seized the device meanwhile.
    const bool allowed =
        notOpenWhenRun(r) ||
        (r.buffer == buffer && r.reportId == reportId &&
         (r.success ? r.status == 0 &&
                          r.bytesTransferred ==
                              static_cast<int32_t>(std::min(buffer->size(), kFeatureReportSize))
                    : r.bytesTransferred == -1 &&
                          statusIn(r.status, {kIOReturnError, kIOReturnAborted,
                                              kIOReturnNotAttached, kIOReturnNotOpen,
                                              kIOReturnTimeout, kIOReturnExclusiveAccess})));
    if (!allowed) {
        return notAllowed("feature read", r);
    }
    return r.success && !buffer->empty() && (*buffer)[0] != tag
               ? "feature read on device tag " + std::to_string(tag) +
                     " returned a report of tag " + std::to_string((*buffer)[0])
               : std::string();
}

std::string checkInputReadRecord(const Result& r, const ReportBuffer& buffer,
                                 const std::vector<uint8_t>& before) {
    // kIOReturnAborted: answered by the deletion of its device object. A report
    // handed to a zero-byte buffer is consumed with nothing copied.
    const bool aborted =
        !r.success && r.bytesTransferred == 0 && statusIn(r.status, {kIOReturnAborted});
    const bool allowed =
        notOpenWhenRun(r) ||
        (r.buffer == buffer && r.reportId == 0 && (aborted || r.status == 0) &&
         (r.success ? r.bytesTransferred > 0 || (r.bytesTransferred == 0 && buffer->empty())
                    : aborted || r.bytesTransferred == -1));
    if (!allowed) {
        return notAllowed("input read", r);
    }
    return r.success || *buffer == before || !r.buffer
               ? std::string()
               : "an input read that brought no report changed the buffer";
}

std::string checkCachedString(const StrResult& r, bool opened, bool known,
                              const std::wstring& expected) {
    if (!opened) {
        return !r.success && r.value.empty() && r.status == 0
                   ? std::string()
                   : notAllowed("cached string before the first open", r);
    }
    if (!r.success || r.status != 0) {
        return notAllowed("cached string", r);
    }
    return known && r.value != expected ? "cached string differs from the gadget's property"
                                        : std::string();
}

std::string checkUsbString(const StrResult& r, const std::wstring* expected,
                           const std::wstring* productName) {
    if (r.success) {
        // A close between the open check and taking the interface answers with
        // what productName() answers.
        const bool text =
            (expected && r.value == *expected) || !productName || r.value == *productName;
        return r.status != 0 ? notAllowed("USB string", r)
               : text        ? std::string()
                             : "USB string text differs from the descriptor";
    }
    const bool allowed =
        r.value.empty() &&
        (r.status == 0 || statusIn(r.status, {kIOReturnNotAttached, kIOReturnAborted}) ||
         (!expected && statusIn(r.status, {vmac::kPipeStalled})));
    return allowed ? std::string() : notAllowed("USB string", r);
}

}  // namespace stress
