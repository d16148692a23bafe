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

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace stress {

constexpr size_t kInputReportSize = 64;    // "MaxInputReportSize" of every gadget
constexpr size_t kOutputReportSize = 64;   // "MaxOutputReportSize"
constexpr size_t kFeatureReportSize = 16;  // "MaxFeatureReportSize"

using Result = AbstractHidDevice::AsyncOpResult;
using StrResult = AbstractHidDevice::AsyncStrReqResult;

struct InputReport {
    uint32_t reportId;
    std::vector<uint8_t> bytes;
    bool withError;  // injected with a failing result: the device must ignore it
};

InputReport makeInputReport(uint8_t tag, uint32_t sequence);

class ReportLedger {
public:
    // The device's state around an injection.
    struct Snapshot {
        uint64_t filterEpoch;  // odd while an open, a filtering switch, a create or a delete runs
        bool filterOn;
        uint64_t overlapEpoch;  // odd while an open over an open device runs
    };

    // Reserves the next sequence number and records the state before injecting.
    uint32_t beginInjection(const Snapshot& before);
    // An open or a switch that ran meanwhile leaves the filtering unknown; an
    // open over an open device lets the report arrive twice.
    void endInjection(uint32_t sequence, const Snapshot& before, const Snapshot& after);

    // Judges the bytes of a successful read on this ledger's device (`tag`);
    // `filterEpochNow` is the device's filter epoch when the read was seen.
    std::string recordRead(uint8_t tag, const std::vector<uint8_t>& buffer, size_t bufferSize,
                           int32_t bytesTransferred, uint64_t filterEpochNow);

    // After the last injection: a report read twice (unless injected while the
    // device was open twice), one injected with an error result yet read, one of
    // a filtered-out ID read while filtering stood on since its injection.
    std::vector<std::string> verdicts(int device) const;
    uint64_t injected() const;

private:
    struct Entry {
        uint32_t filterEpochBefore = 0;
        uint8_t flags = 0;
        uint8_t reads = 0;  // saturates
    };
    enum Flag : uint8_t {
        kWithError = 1,
        kFilterOnBefore = 2,
        kStable = 4,           // no open or switch ran during the injection
        kOverlap = 8,          // injected while the device was open twice
        kReadUnfiltered = 16,  // a filtered-out ID was read in the injection's epoch
    };

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;  // guarded by mutex_; index = sequence number
};

// setReport / setFeature of `sent` with `reportId`.
std::string checkSetRecord(const Result& r, const ReportBuffer& sent, uint8_t reportId);
// getFeature into `buffer`; a report the device answered starts with its `tag`.
std::string checkFeatureReadRecord(const Result& r, const ReportBuffer& buffer, uint8_t reportId,
                                   uint8_t tag);
// getReport into `buffer`, which held `before`: the record's shape, and an
// untouched buffer when no report came (the ledger judges a report's bytes).
std::string checkInputReadRecord(const Result& r, const ReportBuffer& buffer,
                                 const std::vector<uint8_t>& before);
// manufacturerName() and its kin: `expected` once an open read the gadget
// undisturbed (`known`), any text after a raced open, a failure before any open.
std::string checkCachedString(const StrResult& r, bool opened, bool known,
                              const std::wstring& expected);
// usbString(): the descriptor's text (`expected`, null when there is none), a
// platform failure, or the product name that a racing close leads to.
std::string checkUsbString(const StrResult& r, const std::wstring* expected,
                           const std::wstring* productName);

}  // namespace stress
