// The input reports of the stress run and the ledger that judges every read.
//
// Each virtual device has a one-byte tag. Its n-th input report is fully
// determined by (tag, n): byte 0 the tag, bytes 1-4 the sequence number n
// (little-endian), byte 5 the report's length, byte 6 its report ID, then a
// pattern of (tag, n, position). A read's bytes therefore say which device sent
// them, which report they are, how long it was and whether a byte was changed.
//
// The ledger of a device slot records, per sequence number, how the report was
// injected (with an error result, during an open over an open device, under
// which filtering state) and how often it was read. Reads are judged at once
// for what the bytes alone show; duplicates and filtering are judged by
// verdicts() once every injection has finished.
//
// Threads: any; one mutex guards each ledger.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace stress {

constexpr size_t kInputReportSize = 64;    // "MaxInputReportSize" of every gadget
constexpr size_t kOutputReportSize = 64;   // "MaxOutputReportSize"
constexpr size_t kFeatureReportSize = 16;  // "MaxFeatureReportSize"

struct InputReport {
    uint32_t reportId;
    std::vector<uint8_t> bytes;
    bool withError;  // injected with a failing result: the device must ignore it
};

InputReport makeInputReport(uint8_t tag, uint32_t sequence);

// How the reports of one slot were injected and read.
class ReportLedger {
public:
    struct Snapshot {
        uint64_t filterEpoch;  // even: no open or filtering switch in progress
        bool filterOn;
        uint64_t overlapEpoch;  // odd: an open over an open device in progress
    };

    // Reserves the next sequence number and records the state before injecting.
    uint32_t beginInjection(const Snapshot& before);
    // Records the state after the injection call returned: an open or a switch
    // that ran meanwhile makes the filtering state unknown, an open over an open
    // device lets the report arrive twice.
    void endInjection(uint32_t sequence, const Snapshot& before, const Snapshot& after);

    // Judges the bytes of a successful read on this slot's device; "" when they
    // are a report this device could have sent. `filterEpochNow` is the slot's
    // filter epoch when the read was seen complete.
    std::string recordRead(uint8_t tag, const std::vector<uint8_t>& buffer, size_t bufferSize,
                           int32_t bytesTransferred, uint64_t filterEpochNow);

    // Faults that only the whole history shows: a report read twice (other than
    // one injected while the device was open twice), a report injected with an
    // error result that was read, a report of a filtered-out ID read while the
    // filter stood unchanged since its injection. Call after the last injection.
    std::vector<std::string> verdicts(int slot) const;

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
        kEnded = 32,
    };

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;  // guarded by mutex_; index = sequence number
};

}  // namespace stress
