// Fuzzes streams of input reports, with filtering switched on and off between
// them, against a model of the device's input queue: reports with a failing
// result are ignored; with filtering on only the report IDs of the elements on
// the device's usage page pass; the queue keeps the newest 30; a read takes the
// oldest, copies what fits into the caller's buffer and leaves the rest of the
// buffer alone; an empty report reads as no report.
//
// Two open gadgets: one whose elements on its page carry IDs 2, 1, 2, 3 (one
// more element, on another page, carries 7), one whose elements all carry ID 0.
// Input: a gadget byte, then steps of one opcode byte each (inject, switch,
// read, read everything). Each input ends with the queue read empty and
// filtering off, so the next input starts from the same state.
#include <algorithm>
#include <array>
#include <deque>

#include "fuzzsupport.h"

namespace {

struct Gadget {
    std::string path;
    vmac::VirtualDevice gadget;
    std::unique_ptr<AbstractHidDevice> device;
    std::vector<uint32_t> filterIds;

    Gadget(const std::string& path_, const std::vector<vmac::Element>& elements,
           std::vector<uint32_t> ids)
        : path(path_), gadget(vmac::plugDevice(path_)), filterIds(std::move(ids)) {
        gadget.setNumberProperty("PrimaryUsage", 1);
        gadget.setNumberProperty("PrimaryUsagePage", 0xFF00);
        gadget.setNumberProperty("MaxInputReportSize", 64);
        for (const vmac::Element& element : elements) {
            gadget.addElement(element);
        }
        device = fuzz::makeDevice(path);
        if (!device->open(0, 1)) {
            fuzz::fail("gadget %s does not open", path.c_str());
        }
    }
};

struct Model {
    bool filtering = false;
    std::deque<std::vector<uint8_t>> queue;
};

constexpr size_t kQueueBound = 30;

void inject(Gadget& g, Model& model, fuzz::Input& input) {
    const uint8_t shape = input.byte();
    const uint32_t id = shape & 0x0F ? (shape & 0x0F) % 9 : input.byte();
    const bool failing = (shape & 0xF0) == 0xF0;
    const std::vector<uint8_t> bytes = input.bytes(input.byte() % 81);
    const vmac::Outcome outcome =
        g.gadget.injectInputReport(id, bytes, failing ? kIOReturnError : kIOReturnSuccess).wait();
    if (outcome != vmac::Outcome::Delivered) {
        fuzz::fail("report not delivered to the open device");
    }
    const bool passes = !model.filtering ||
                        std::find(g.filterIds.begin(), g.filterIds.end(), id) != g.filterIds.end();
    if (failing || !passes) {
        return;
    }
    // The platform copies at most the registered 64-byte buffer.
    model.queue.emplace_back(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 64));
    if (model.queue.size() > kQueueBound) {
        model.queue.pop_front();
    }
}

// One read without waiting; returns whether the device had a report.
bool read(Gadget& g, Model& model, size_t bufferSize) {
    auto buffer = std::make_shared<std::vector<uint8_t>>(bufferSize, 0xEE);
    const auto r = fuzz::await(g.device->getReport(buffer, 0));
    if (r.buffer != buffer || r.reportId != 0 || r.status != 0) {
        fuzz::fail("read record names another buffer, an ID or a status");
    }
    if (model.queue.empty()) {
        if (r.success || r.bytesTransferred != -1 ||
            *buffer != std::vector<uint8_t>(bufferSize, 0xEE)) {
            fuzz::fail("a read found a report the model does not have");
        }
        return false;
    }
    const std::vector<uint8_t> expected = std::move(model.queue.front());
    model.queue.pop_front();
    const size_t copied = std::min(expected.size(), bufferSize);
    std::vector<uint8_t> image(bufferSize, 0xEE);
    std::copy_n(expected.begin(), copied, image.begin());
    const bool success = !expected.empty();
    if (r.success != success || r.bytesTransferred != (success ? int32_t(copied) : -1) ||
        *buffer != image) {
        fuzz::fail("read of a %zu-byte report into %zu bytes: {%d, %d}, expected {%d, %d}",
                   expected.size(), bufferSize, r.success, r.bytesTransferred, success,
                   success ? int(copied) : -1);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Gadget* gadgets[2] = {
        new Gadget("IOService:/vmac/Fuzz@3/Interface@0/HIDDevice",
                   {{0xFF00, 1, 2}, {0xFF00, 2, 1}, {0xFF00, 3, 2}, {0xFF00, 4, 3}, {0x0001, 6, 7}},
                   {2, 1, 3}),
        new Gadget("IOService:/vmac/Fuzz@4/Interface@0/HIDDevice", {{0xFF00, 1, 0}, {0xFF00, 2, 0}},
                   {0})};
    static const fuzz::LiveCounts open = fuzz::LiveCounts::now();

    fuzz::Input input(data, size);
    Gadget& g = *gadgets[input.byte() % 2];
    Model model;
    for (int steps = 0; !input.empty() && steps < 200; ++steps) {
        switch (input.byte() % 4) {
            case 0:
                inject(g, model, input);
                break;
            case 1:
                model.filtering = !model.filtering;
                g.device->setReportFilteringEnabled(model.filtering);
                break;
            case 2:
                read(g, model, input.byte() % 80);
                break;
            default:
                while (read(g, model, 64)) {
                }
                break;
        }
    }
    while (read(g, model, 64)) {
    }
    g.device->setReportFilteringEnabled(false);
    fuzz::expectCounts(open, "after a report stream");
    return 0;
}
