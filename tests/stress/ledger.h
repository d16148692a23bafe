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
// injected (with an error result, during an open over an open device) and how
// often it was read. A read is judged at once on what its bytes show, repeats
// once every injection has ended. (What filtering lets through is the input
// report fuzzer's model's to judge.)
//
// The record checks return "" for a record the device contract allows,
// whatever raced the request (close, reopen, deletion, unplug, scripted
// failures, blocking answers, time-outs), else what is wrong with it.
//
// Threads: any; one mutex guards each ledger.
#pragma once

#include <quenor/abstracthiddevice.h>

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
    // Reserves the next sequence number; `overlapEpoch` is the device's before injecting.
    uint32_t beginInjection(uint64_t overlapEpoch) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto sequence = static_cast<uint32_t>(entries_.size());
        entries_.push_back({injectedWithError(sequence), overlapEpoch % 2 == 1});
        return sequence;
    }
    // An open over an open device during the injection lets the report arrive twice.
    void endInjection(uint32_t sequence, uint64_t overlapBefore, uint64_t overlapAfter) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.at(sequence).overlap |= overlapAfter != overlapBefore || overlapAfter % 2 == 1;
    }

    // Judges the bytes of a successful read on this ledger's device (`tag`).
    std::string recordRead(uint8_t tag, const std::vector<uint8_t>& buffer, size_t bufferSize,
                           int32_t bytesTransferred) {
        const auto n = static_cast<size_t>(std::max(0, bytesTransferred));
        const bool framed = n >= kHeader && n <= bufferSize && buffer.size() == bufferSize;
        const uint32_t sequence =
            framed ? buffer[1] | buffer[2] << 8 | buffer[3] << 16 | uint32_t{buffer[4]} << 24 : 0;
        const InputReport expected = makeInputReport(tag, sequence);
        if (!framed || buffer[6] != tag || n != std::min(expected.bytes.size(), bufferSize) ||
            !std::equal(buffer.begin(), buffer.begin() + n, expected.bytes.begin())) {
            return "read of " + std::to_string(bytesTransferred) + " bytes into a " +
                   std::to_string(bufferSize) + "-byte buffer is not report " +
                   std::to_string(sequence) + " of device tag " + std::to_string(tag) +
                   (framed ? " (it names device tag " + std::to_string(buffer[6]) + ")" : "");
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (sequence >= entries_.size()) {
            return "report " + std::to_string(sequence) + " read before it was injected";
        }
        entries_[sequence].reads = std::min(255, entries_[sequence].reads + 1);
        return {};
    }

    // After the last injection: a report injected with an error result yet read,
    // or read twice (unless injected while the device was open twice).
    std::vector<std::string> verdicts(int device) const {
        std::vector<std::string> faults;
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t sequence = 0; sequence < entries_.size(); ++sequence) {
            const Entry& e = entries_[sequence];
            if ((e.reads > 0 && e.withError) || (e.reads > 1 && !e.overlap)) {
                faults.push_back(
                    "device " + std::to_string(device) + " report " + std::to_string(sequence) +
                    " read " + std::to_string(e.reads) +
                    (e.withError ? " times, though injected with an error result" : " times"));
            }
        }
        return faults;
    }

private:
    struct Entry {
        bool withError;
        bool overlap;   // injected while the device was open twice
        int reads = 0;  // saturates at 255
    };

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;  // guarded by mutex_; index = sequence number
};

inline bool statusIn(int64_t status, std::initializer_list<IOReturn> codes) {
    return std::any_of(codes.begin(), codes.end(),
                       [status](IOReturn code) { return status == static_cast<int32_t>(code); });
}

// A transfer's record (of getReport, setReport, getFeature or setFeature of
// `buffer` with `reportId`): a success moved `moved` bytes (-1: any number, for
// an input read whose report the ledger judges); a failure carries a code the
// contract lists for a call that met a close, a reopen (which may seize the
// device), a deletion, an unplug, a scripted failure or a time-out, or that
// had no sender thread; a request that found its device not open when it ran
// answers {false, 0, null, 0, 0}.
inline std::string checkTransfer(const char* what, const Result& r, const ReportBuffer& buffer,
                                 uint8_t reportId, int32_t moved) {
    const bool failed =
        !r.success && (r.bytesTransferred == -1 || r.bytesTransferred == 0) &&
        ((moved < 0 && r.status == 0) ||  // a read that timed out
         statusIn(r.status,
                  {kIOReturnError, kIOReturnNotAttached, kIOReturnExclusiveAccess, kIOReturnNotOpen,
                   kIOReturnTimeout, kIOReturnAborted, kIOReturnNoResources}));
    const bool notOpenWhenRun =
        !r.success && r.bytesTransferred == 0 && !r.buffer && r.reportId == 0 && r.status == 0;
    if (notOpenWhenRun ||
        (r.buffer == buffer && (r.reportId == reportId || (failed && r.reportId == 0)) &&
         (r.success
              ? r.status == 0 && (moved < 0 ? r.bytesTransferred > 0 : r.bytesTransferred == moved)
              : failed))) {
        return {};
    }
    std::ostringstream out;
    out << what << " record not in the documented set: {" << r.success << ", " << r.bytesTransferred
        << ", " << r.buffer.get() << ", " << int(r.reportId) << ", " << r.status << "}";
    return out.str();
}

// manufacturerName() and its kin: a failure with no text before any open; a
// success after one, with the gadget's text once an open read it undisturbed
// (`known`).
inline std::string checkCachedString(const StrResult& r, bool opened, bool known,
                                     const std::wstring& expected) {
    const bool allowed = r.status == 0 && r.success == opened &&
                         (opened ? !known || r.value == expected : r.value.empty());
    return allowed ? std::string()
                   : "cached string {" + std::to_string(r.success) + ", " +
                         std::to_string(r.value.size()) + " chars, " + std::to_string(r.status) +
                         (opened ? "} after an open" : "} before the first open");
}

}  // namespace stress
