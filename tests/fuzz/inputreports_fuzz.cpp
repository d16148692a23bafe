// Fuzzes streams of input reports, with filtering switched on and off between
// them, against a model of the device's input queue: reports with a failing
// result are ignored; with filtering on only the report IDs of the elements on
// the device's usage page pass; the queue keeps the newest 30; a read takes the
// oldest, copies what fits into the caller's buffer and leaves the rest of the
// buffer alone; an empty report reads as no report.
//
// Two open gadgets: one whose elements on its page carry IDs 2, 1, 2, 3 (one
// more element, on another page, carries 7), one whose elements all carry ID 0.
// As on a Mac, the first sends only the IDs it declares, each in byte 0 of its
// report; the second sends data alone, as report ID 0.
// Input: a gadget byte, then steps of one opcode byte each (inject, switch,
// read, read everything). Each input ends with the queue read empty and
// filtering off, so the next input starts from the same state.
#include <algorithm>
#include <deque>

#include "fuzzsupport.h"

namespace {

struct Open : fuzz::OpenGadget {
    std::vector<uint32_t> reportIds;  // the IDs its elements declare; empty: ID 0 only
    std::vector<uint32_t> filterIds;  // the report IDs that pass the filter
};

// Plugs and opens a gadget; lives for the whole run.
Open* open(int number, std::vector<vmac::Element> elements, std::vector<uint32_t> reportIds,
           std::vector<uint32_t> filterIds) {
    vmac::Gadget described;
    described.path = "IOService:/vmac/Fuzz@" + std::to_string(number) + "/Interface@0/HIDDevice";
    described.primaryUsage = 1;
    described.primaryUsagePage = 0xFF00;
    described.maxInputReportSize = 64;
    described.elements = std::move(elements);
    return new Open{fuzz::OpenGadget(described), std::move(reportIds), std::move(filterIds)};
}

struct Model {
    bool filtering = false;
    std::deque<std::vector<uint8_t>> queue;
};

constexpr size_t kQueueBound = 30;

void inject(Open& g, Model& model, fuzz::Input& input) {
    const uint8_t shape = input.byte();
    const bool failing = (shape & 0xF0) == 0xF0;
    std::vector<uint8_t> bytes = input.bytes(input.byte() % 81);
    uint32_t id = 0;
    if (!g.reportIds.empty()) {
        id = g.reportIds[(shape & 0x0F) % g.reportIds.size()];
        bytes.insert(bytes.begin(), static_cast<uint8_t>(id));
    }
    const vmac::Outcome outcome =
        g.gadget.injectInputReport(id, bytes, failing ? kIOReturnError : kIOReturnSuccess).wait();
    if (outcome != vmac::Outcome::Delivered) {
        fuzz::fail("report not delivered to the open device");
    }
    const bool passes = !model.filtering ||
                        std::find(g.filterIds.begin(), g.filterIds.end(), id) != g.filterIds.end();
    if (!failing && passes) {
        // The platform copies at most the registered 64-byte buffer.
        model.queue.emplace_back(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 64));
        if (model.queue.size() > kQueueBound) {
            model.queue.pop_front();
        }
    }
}

// One read without waiting; returns whether the model had a report.
bool read(Open& g, Model& model, size_t bufferSize) {
    auto buffer = std::make_shared<std::vector<uint8_t>>(bufferSize, 0xEE);
    const auto r = fuzz::await(g.device->getReport(buffer, 0));
    const bool had = !model.queue.empty();
    std::vector<uint8_t> expected;  // the oldest report; none reads as an empty one
    if (had) {
        expected = std::move(model.queue.front());
        model.queue.pop_front();
    }
    const size_t copied = std::min(expected.size(), bufferSize);
    std::vector<uint8_t> image(bufferSize, 0xEE);
    std::copy_n(expected.begin(), copied, image.begin());
    const bool success = !expected.empty();
    if (r.buffer != buffer || r.reportId != 0 || r.status != 0 || r.success != success ||
        r.bytesTransferred != (success ? int32_t(copied) : -1) || *buffer != image) {
        fuzz::fail("%zu-byte read of %s%zu-byte report: {%d, %d, ID %d, status %lld}, %s bytes",
                   bufferSize, had ? "a " : "no ", expected.size(), r.success, r.bytesTransferred,
                   r.reportId, (long long)r.status, *buffer == image ? "the expected" : "other");
    }
    return had;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Open* gadgets[2] = {
        open(3, {{0xFF00, 1, 2}, {0xFF00, 2, 1}, {0xFF00, 3, 2}, {0xFF00, 4, 3}, {0x0001, 6, 7}},
             {2, 1, 3, 7}, {2, 1, 3}),
        open(4, {{0xFF00, 1, 0}, {0xFF00, 2, 0}}, {}, {0})};
    static const vmac::LiveCounts counts = vmac::LiveCounts::now();

    fuzz::Input input(data, size);
    Open& g = *gadgets[input.byte() % 2];
    Model model;
    for (int steps = 0; !input.empty() && steps < 200; ++steps) {
        const uint8_t op = input.byte() % 4;
        if (op == 0) {
            inject(g, model, input);
        } else if (op == 1) {
            model.filtering = !model.filtering;
            g.device->setReportFilteringEnabled(model.filtering);
        } else if (op == 2) {
            read(g, model, input.byte() % 80);
        } else {
            while (read(g, model, 64)) {
            }
        }
    }
    while (read(g, model, 64)) {
    }
    g.device->setReportFilteringEnabled(false);
    fuzz::expectCounts(counts, "after a report stream");
    return 0;
}
