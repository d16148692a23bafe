// The stress run's oracle: the input reports it injects, the ledger that judges
// every read of them, and the set of records each request may deliver.
//
// Each virtual device has a one-byte tag. Its n-th input report is fully
// determined by (tag, n): byte 0 the report ID, bytes 1-4 n (little-endian),
// byte 5 the report's length, byte 6 the tag, then a pattern of (tag, n,
// position). A read's bytes therefore say which device sent them, which report
// they are, how long it was and whether a byte was changed.
//
// The ledger of a device records, per sequence number, how the report was
// injected (with an error result, during an open over an open device, under
// which filtering state) and how often it was read. A read is judged at once on
// what its bytes show; repeats and filtering once every injection has ended.
//
// The record checks return "" for a record the device contract allows,
// whatever raced the request (close, reopen, deletion, unplug, scripted
// failures, blocking answers, time-outs), else what is wrong with it.
//
// Threads: any; one mutex guards each ledger.
#pragma once

#include <quenor/abstracthiddevice.h>
#include <vmac/control.h>

#include <algorithm>
#include <initializer_list>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace stress {

constexpr size_t kInputReportSize = 64;    // "MaxInputReportSize" of every gadget
constexpr size_t kOutputReportSize = 64;   // "MaxOutputReportSize"
constexpr size_t kFeatureReportSize = 16;  // "MaxFeatureReportSize"
constexpr size_t kHeader = 7;              // report ID, sequence number, length, tag

using Result = AbstractHidDevice::AsyncOpResult;
using StrResult = AbstractHidDevice::AsyncStrReqResult;

inline uint32_t mix(uint32_t x) {
    x = (x ^ (x >> 16)) * 0x7feb352dU;
    x = (x ^ (x >> 15)) * 0x846ca68bU;
    return x ^ (x >> 16);
}

// One report in sixteen is injected with a failing result, whatever the device.
inline bool injectedWithError(uint32_t sequence) {
    return mix(sequence * 2654435761u) % 16 == 0;
}

struct InputReport {
    uint32_t reportId;  // 1 and 2 on the gadget's page, 3 on another, 4 on none
    std::vector<uint8_t> bytes;
    bool withError;  // injected with a failing result: the device must ignore it
};

inline InputReport makeInputReport(uint8_t tag, uint32_t sequence) {
    const uint32_t h = mix(sequence ^ (uint32_t{tag} << 24));
    const size_t length = kHeader + 1 + h % (kInputReportSize - kHeader);  // 8 to 64 bytes
    InputReport report{1 + (h >> 8) % 4, std::vector<uint8_t>(length), injectedWithError(sequence)};
    auto& b = report.bytes;
    b[0] = static_cast<uint8_t>(report.reportId);  // numbered reports: byte 0 is the ID
    for (int i = 0; i < 4; ++i) {
        b[1 + i] = static_cast<uint8_t>(sequence >> (8 * i));
    }
    b[5] = static_cast<uint8_t>(length);
    b[6] = tag;
    for (size_t i = kHeader; i < length; ++i) {
        b[i] = static_cast<uint8_t>((mix(sequence * 131u + tag) >> (i % 24)) ^ (i * 37u));
    }
    return report;
}

class ReportLedger {
public:
    // The device's state around an injection.
    struct Snapshot {
        uint64_t filterEpoch;  // odd while an open, a filtering switch, a create or a delete runs
        bool filterOn;
        uint64_t overlapEpoch;  // odd while an open over an open device runs
    };

    // Reserves the next sequence number and records the state before injecting.
    uint32_t beginInjection(const Snapshot& before) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto sequence = static_cast<uint32_t>(entries_.size());
        entries_.push_back({static_cast<uint32_t>(before.filterEpoch), injectedWithError(sequence),
                            before.filterOn, before.filterEpoch % 2 == 0,
                            before.overlapEpoch % 2 == 1});
        return sequence;
    }
    // An open or a switch that ran meanwhile leaves the filtering unknown; an
    // open over an open device lets the report arrive twice.
    void endInjection(uint32_t sequence, const Snapshot& before, const Snapshot& after) {
        std::lock_guard<std::mutex> lock(mutex_);
        Entry& entry = entries_.at(sequence);
        entry.stable = entry.stable && after.filterEpoch == before.filterEpoch;
        entry.overlap = entry.overlap || after.overlapEpoch != before.overlapEpoch ||
                        after.overlapEpoch % 2 == 1;
    }

    // Judges the bytes of a successful read on this ledger's device (`tag`);
    // `filterEpochNow` is the device's filter epoch when the read was seen.
    std::string recordRead(uint8_t tag, const std::vector<uint8_t>& buffer, size_t bufferSize,
                           int32_t bytesTransferred, uint64_t filterEpochNow) {
        std::ostringstream problem;
        const size_t n = static_cast<size_t>(std::max(0, bytesTransferred));
        if (bufferSize < kHeader || n < kHeader || n > bufferSize || buffer.size() != bufferSize) {
            problem << "read of " << bytesTransferred << " bytes into a " << bufferSize
                    << "-byte buffer (now " << buffer.size() << " bytes)";
            return problem.str();
        }
        if (buffer[6] != tag) {
            return "report of device tag " + std::to_string(buffer[6]) + " read on device tag " +
                   std::to_string(tag);
        }
        const uint32_t sequence =
            buffer[1] | buffer[2] << 8 | buffer[3] << 16 | uint32_t{buffer[4]} << 24;
        const InputReport expected = makeInputReport(tag, sequence);
        if (n != std::min(expected.bytes.size(), bufferSize) ||
            !std::equal(buffer.begin(), buffer.begin() + n, expected.bytes.begin())) {
            problem << "report " << sequence << " of " << expected.bytes.size() << " bytes read as "
                    << n << " changed or cut bytes into a " << bufferSize << "-byte buffer";
            return problem.str();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (sequence >= entries_.size()) {
            return "report " + std::to_string(sequence) + " read before it was injected";
        }
        Entry& entry = entries_[sequence];
        entry.reads = std::min(255, entry.reads + 1);
        entry.readUnfiltered = entry.readUnfiltered ||
                               (expected.reportId > 2 && uint32_t(filterEpochNow) == entry.epoch);
        return {};
    }

    // After the last injection: a report read twice (unless injected while the
    // device was open twice), one injected with an error result yet read, one of
    // a filtered-out ID read while filtering stood on since its injection.
    std::vector<std::string> verdicts(int device) const {
        std::vector<std::string> faults;
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t sequence = 0; sequence < entries_.size(); ++sequence) {
            const Entry& e = entries_[sequence];
            const std::string which =
                "device " + std::to_string(device) + " report " + std::to_string(sequence) + ": ";
            if (e.reads > 0 && e.withError) {
                faults.push_back(which + "injected with an error result, yet read");
            } else if (e.reads > 1 && !e.overlap) {
                faults.push_back(which + "read " + std::to_string(e.reads) + " times");
            } else if (e.readUnfiltered && e.filterOnBefore && e.stable) {
                faults.push_back(which + "filtered-out report ID read while filtering stood on");
            }
        }
        return faults;
    }
    uint64_t injected() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_.size();
    }

private:
    struct Entry {
        uint32_t epoch;  // the filter epoch before the injection
        bool withError, filterOnBefore;
        bool stable;                  // no open or switch ran during the injection
        bool overlap;                 // injected while the device was open twice
        bool readUnfiltered = false;  // a filtered-out ID was read in the injection's epoch
        int reads = 0;                // saturates at 255
    };

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;  // guarded by mutex_; index = sequence number
};

inline bool statusIn(int64_t status, std::initializer_list<IOReturn> codes) {
    return std::any_of(codes.begin(), codes.end(),
                       [status](IOReturn code) { return status == static_cast<int32_t>(code); });
}

inline std::string notAllowed(const char* what, const Result& r) {
    std::ostringstream out;
    out << what << " record not in the documented set: {" << r.success << ", " << r.bytesTransferred
        << ", " << r.buffer.get() << ", " << int(r.reportId) << ", " << r.status << "}";
    return out.str();
}

inline std::string notAllowed(const char* what, const StrResult& r) {
    return std::string(what) + " record not in the documented set: {" + std::to_string(r.success) +
           ", " + std::to_string(r.value.size()) + " chars, " + std::to_string(r.status) + "}";
}

// The record of a request that found its device not open when it ran.
inline bool notOpenWhenRun(const Result& r) {
    return !r.success && r.bytesTransferred == 0 && !r.buffer && r.reportId == 0 && r.status == 0;
}

// setReport / setFeature of `sent` with `reportId`.
inline std::string checkSetRecord(const Result& r, const ReportBuffer& sent, uint8_t reportId) {
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

// getFeature into `buffer`; a report the device answered starts with its `tag`.
inline std::string checkFeatureReadRecord(const Result& r, const ReportBuffer& buffer,
                                          uint8_t reportId, uint8_t tag) {
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

// getReport into `buffer`, which held `before`: the record's shape, and an
// untouched buffer when no report came (the ledger judges a report's bytes).
inline std::string checkInputReadRecord(const Result& r, const ReportBuffer& buffer,
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

// manufacturerName() and its kin: `expected` once an open read the gadget
// undisturbed (`known`), any text after a raced open, a failure before any open.
inline std::string checkCachedString(const StrResult& r, bool opened, bool known,
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

// usbString(): the descriptor's text (`expected`, null when there is none), a
// platform failure, or the product name that a racing close leads to.
inline std::string checkUsbString(const StrResult& r, const std::wstring* expected,
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
