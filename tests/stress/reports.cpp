#include "reports.h"

#include <algorithm>
#include <sstream>

namespace stress {
namespace {

constexpr size_t kHeader = 7;

uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

uint8_t patternByte(uint8_t tag, uint32_t sequence, size_t position) {
    return static_cast<uint8_t>(mix(sequence * 131u + tag) >> (position % 24)) ^
           static_cast<uint8_t>(position * 37u);
}

// One report in sixteen is injected with a failing result, whatever the device.
bool injectedWithError(uint32_t sequence) {
    return mix(sequence * 2654435761u) % 16 == 0;
}

// Report IDs 1 and 2 sit on the gadget's own usage page, 3 on another; 4 has
// no element (the gadget declares it as a plain input report).
constexpr uint32_t kMaxReportId = 4;

bool passesFilter(uint32_t reportId) {
    return reportId == 1 || reportId == 2;
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
        b[i] = patternByte(tag, sequence, i);
    }
    return report;
}

uint32_t ReportLedger::beginInjection(const Snapshot& before) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool withError = injectedWithError(static_cast<uint32_t>(entries_.size()));
    Entry entry;
    entry.filterEpochBefore = static_cast<uint32_t>(before.filterEpoch);
    entry.flags = static_cast<uint8_t>((withError ? kWithError : 0) |
                                       (before.filterOn ? kFilterOnBefore : 0) |
                                       (before.filterEpoch % 2 == 0 ? kStable : 0) |
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
    entry.flags |= kEnded;
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
    if (n != std::min(expected.bytes.size(), bufferSize)) {
        problem << "report " << sequence << " of " << expected.bytes.size() << " bytes read as "
                << n << " bytes into a " << bufferSize << "-byte buffer";
        return problem.str();
    }
    if (!std::equal(expected.bytes.begin(), expected.bytes.begin() + n, buffer.begin())) {
        problem << "report " << sequence << " read with changed bytes";
        return problem.str();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (sequence >= entries_.size()) {
        problem << "report " << sequence << " read before it was injected";
        return problem.str();
    }
    Entry& entry = entries_[sequence];
    if (entry.reads < 255) {
        ++entry.reads;
    }
    if (!passesFilter(expected.reportId) &&
        static_cast<uint32_t>(filterEpochNow) == entry.filterEpochBefore) {
        entry.flags |= kReadUnfiltered;
    }
    return {};
}

std::vector<std::string> ReportLedger::verdicts(int slot) const {
    std::vector<std::string> faults;
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t sequence = 0; sequence < entries_.size(); ++sequence) {
        const Entry& e = entries_[sequence];
        std::ostringstream fault;
        fault << "device " << slot << " report " << sequence << ": ";
        if (e.reads > 0 && (e.flags & kWithError)) {
            faults.push_back(fault.str() + "injected with an error result, yet read");
        } else if (e.reads > 1 && !(e.flags & kOverlap)) {
            faults.push_back(fault.str() + "read " + std::to_string(e.reads) + " times");
        } else if ((e.flags & kReadUnfiltered) && (e.flags & kFilterOnBefore) &&
                   (e.flags & kStable)) {
            faults.push_back(fault.str() + "filtered-out report ID read while filtering stood on");
        }
    }
    return faults;
}

uint64_t ReportLedger::injected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

}  // namespace stress
