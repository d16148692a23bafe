// quenor-demo: one session with a HID device, end to end, printed as a transcript.
//
// It opens the device, reads its identity and strings, sends an output report and
// reads the input report that answers it, writes and reads back a feature report,
// shows report filtering, and finally unplugs the device to show what an
// application then sees. The failures it provokes on purpose (a string the device
// lacks, a read while the device is quiet, calls after the unplug) are marked
// "expected".
//
// Report buffers: a device that numbers its reports (report IDs 1 to 255) takes and
// gives every output, feature and input report with the ID in byte 0, counted in the
// report size; a device without report IDs (ID 0) takes and gives the data alone,
// from byte 0. fillReport() below follows that. Off Apple hosts the device is a simulated gadget on
// the virtual platform; on macOS pass a registry path and a usage-pair index, or nothing to take a
// device from the enumerator.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <quenor/abstracthiddevice.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>
#include <quenor/mac/macnativedeviceenumerator.h>

#include "demotarget.h"

namespace {

using Result = AbstractHidDevice::AsyncOpResult;
constexpr long kWaitMs = 3000;

std::string utf8(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        const auto cp = static_cast<uint32_t>(c);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// The first `count` bytes in hex, then the same bytes as text ('.' where a byte is
// not printable ASCII), e.g. [01 68 65 6C 6C 6F ...] ".hello".
std::string hex(const std::vector<uint8_t>& bytes, size_t count) {
    std::string cells;
    std::string text;
    char cell[4];
    for (size_t i = 0; i < count && i < bytes.size(); ++i) {
        std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
        cells += cell;
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    }
    if (cells.empty()) {
        return "(empty)";
    }
    return "[" + cells + (bytes.size() > count ? " ...]" : "]") + " \"" + text + "\"";
}

// Puts `payload` into `report` by the report-buffer convention: behind the report ID in
// byte 0 for a numbered report, from byte 0 for a device without report IDs (`id` 0).
// The rest of the buffer is zero; what does not fit is cut off.
void fillReport(std::vector<uint8_t>& report, uint8_t id, const std::vector<uint8_t>& payload) {
    std::fill(report.begin(), report.end(), 0);
    size_t at = 0;
    if (id != 0 && !report.empty()) {
        report[at++] = id;
    }
    for (size_t i = 0; i < payload.size() && at < report.size(); ++i) {
        report[at++] = payload[i];
    }
}

std::string status(int64_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(code));
    switch (static_cast<uint32_t>(code)) {
        case 0xE00002BC:
            return std::string(text) + " kIOReturnError";
        case 0xE00002CD:
            return std::string(text) + " kIOReturnNotOpen";
        case 0xE00002D6:
            return std::string(text) + " kIOReturnTimeout";
        case 0xE000404F:
            return std::string(text) + " pipe stalled: no such string";
        default:
            return text;
    }
}

void line(const char* step, const std::string& text) {
    std::printf("%-11s %s\n", step, text.c_str());
}

// What a transfer came back with, in a few words. `timeoutMs` is the time-out the call
// was given (-1: none): a set transfer that ran out of it answers kIOReturnTimeout, an
// input-report read answers "no report" (-1 bytes, no status).
std::string outcome(const Result& r, long timeoutMs = -1) {
    if (r.success) {
        return std::to_string(r.bytesTransferred) + " bytes";
    }
    const bool timedOut = timeoutMs >= 0 && r.buffer &&
                          (static_cast<uint32_t>(r.status) == 0xE00002D6 ||
                           (r.status == 0 && r.bytesTransferred == -1));
    if (timedOut) {
        return "timed out after " + std::to_string(timeoutMs) + " ms";
    }
    std::string why = "failed (bytesTransferred " + std::to_string(r.bytesTransferred);
    if (r.status != 0) {
        why += ", status " + status(r.status);
    }
    return why + (r.buffer ? ")" : ", no buffer: the device was not open)");
}

template <typename T>
bool settle(const hidutil::async_request<T>& request, T& value) {
    if (!request.wait_for(kWaitMs)) {
        return false;
    }
    value = request.value();
    return true;
}

std::string text(const hidutil::async_request<AbstractHidDevice::AsyncStrReqResult>& request) {
    AbstractHidDevice::AsyncStrReqResult r{};
    if (!settle(request, r)) {
        return "(no answer)";
    }
    return r.success ? "\"" + utf8(r.value) + "\"" : "failed, status " + status(r.status);
}

// Reads input reports until none arrives within `timeoutMs`; returns their first bytes.
std::vector<int> drainInput(AbstractHidDevice& device, long timeoutMs) {
    std::vector<int> firstBytes;
    while (true) {
        ReportBuffer in = device.allocateReport(AbstractHidDevice::Input);
        Result r{};
        if (!settle(device.getReport(in, timeoutMs), r) || !r.success) {
            return firstBytes;
        }
        firstBytes.push_back((*in)[0]);
    }
}

std::string listOf(const std::vector<int>& ids) {
    std::string out;
    for (int id : ids) {
        out += (out.empty() ? "" : ", ") + std::to_string(id);
    }
    return out.empty() ? "nothing" : out;
}

void showFiltering(AbstractHidDevice& device, DemoTarget& target) {
    const uint8_t own = target.outputReportId();
    const uint8_t foreign = target.foreignReportId();
    line("[filtering]",
         "report filtering: when on, the device object passes on only the input "
         "reports whose IDs belong to the opened usage pair's usage page");
    for (bool filtering : {false, true}) {
        device.setReportFilteringEnabled(filtering);
        drainInput(device, 0);
        const bool sent =
            target.sendInput(own, {own, 0x11}) && target.sendInput(foreign, {foreign, 0x22});
        if (!sent) {
            line("", std::string(filtering ? "on" : "off") +
                         ": this device sends input only when it likes; skipped");
            continue;
        }
        line("", std::string(filtering ? "on, page 0xFF00 IDs only" : "off") +
                     ": device sent reports " + std::to_string(own) + " and " +
                     std::to_string(foreign) + ", application read " +
                     listOf(drainInput(device, 100)));
    }
}

// No path given: list the HID devices and take the first vendor-defined usage pair
// (usage page 0xFF00 and up), else the first pair of all.
HidDeviceDescriptor findDevice() {
    MacNativeDeviceEnumerator devices;
    const auto& entries = devices.entries();
    const HidDeviceEntry* chosen = entries.empty() ? nullptr : &entries.front();
    for (const HidDeviceEntry& entry : entries) {
        if (entry.identity.usagePage >= 0xFF00) {
            chosen = &entry;
            break;
        }
    }
    char found[96];
    std::snprintf(found, sizeof found, "%d usage pair%s of HID devices in the registry",
                  devices.count(), devices.count() == 1 ? "" : "s");
    line("[find]", found);
    line("",
         "(a usage pair is one function a device offers: a usage page and a usage, such as "
         "0xFF00:0x0001)");
    if (chosen == nullptr) {
        return HidDeviceDescriptor();
    }
    char pair[64];
    std::snprintf(pair, sizeof pair,
                  "taking %04x:%04x, usage page 0x%04X: ", chosen->identity.vendorId,
                  chosen->identity.productId, chosen->identity.usagePage);
    line("", pair + chosen->identity.product);
    return chosen->descriptor();
}

int runSession(DemoTarget& target) {
    std::printf("quenor demo: one session with %s\n\n", target.describe().c_str());

    HidDeviceDescriptor descriptor = target.path().empty()
                                         ? findDevice()
                                         : HidDeviceDescriptor(new MacDeviceDescriptorHandle(
                                               target.path(), target.usagePairIndex()));
    if (!descriptor) {
        line("[open]", "no HID device to talk to");
        return 1;
    }
    std::unique_ptr<AbstractHidDevice> device(AbstractHidDevice::create(descriptor));
    const bool opened = device->open(0, 1);
    line("[open]", utf8(descriptor.toString()) + " (shared): " + (opened ? "ok" : "FAILED"));
    if (!opened) {
        return 1;
    }

    char identity[160];
    std::snprintf(identity, sizeof identity,
                  "usage 0x%04X on page 0x%04X; reports: input %d, output %d, feature %d bytes",
                  device->usage(), device->usagePage(),
                  device->reportSize(AbstractHidDevice::Input),
                  device->reportSize(AbstractHidDevice::Output),
                  device->reportSize(AbstractHidDevice::Feature));
    line("[identity]", identity);
    line("[strings]", "manufacturer " + text(device->manufacturerName()) + ", product " +
                          text(device->productName()) + ", serial " + text(device->serialNumber()));
    char release[32];
    std::snprintf(release, sizeof release, "release 0x%04X", device->usbDeviceVersion());
    line("[usb]", std::string(release) + ", string 1 " + text(device->usbString(1)) +
                      ", string 2 " + text(device->usbString(2)));
    line("", "string 9: " + text(device->usbString(9)) + " (expected: few devices have one)");

    // Output report: the text "hello", behind the report ID when the device numbers its
    // reports (see fillReport).
    const uint8_t outputId = target.outputReportId();
    ReportBuffer out = device->allocateReport(AbstractHidDevice::Output);
    fillReport(*out, outputId, {'h', 'e', 'l', 'l', 'o'});
    Result sent{};
    settle(device->setReport(outputId, out, 1000), sent);
    line("[output]",
         "report " + std::to_string(outputId) + " " + hex(*out, 8) + ": " + outcome(sent, 1000));
    ReportBuffer in = device->allocateReport(AbstractHidDevice::Input);
    Result received{};
    settle(device->getReport(in, 1000), received);
    line("[input]", received.success ? "answer " + hex(*in, 8) + ": " + outcome(received)
                                     : "no answer: " + outcome(received, 1000));

    const uint8_t featureId = target.featureReportId();
    ReportBuffer feature = device->allocateReport(AbstractHidDevice::Feature);
    fillReport(*feature, featureId, {'A', 'B', 'C', 'D'});
    Result featureSent{};
    settle(device->setFeature(featureId, feature), featureSent);
    ReportBuffer readBack = device->allocateReport(AbstractHidDevice::Feature);
    Result featureRead{};
    settle(device->getFeature(featureId, readBack), featureRead);
    line("[feature]", "report " + std::to_string(featureId) + " written " + hex(*feature, 6) +
                          ": " + outcome(featureSent, 5000));
    line("", "read back " + hex(*readBack, 6) + ": " + outcome(featureRead));

    showFiltering(*device, target);
    device->setReportFilteringEnabled(false);

    Result quiet{};
    settle(device->getReport(device->allocateReport(AbstractHidDevice::Input), 100), quiet);
    line("[timeout]",
         "a 100 ms read while the device is quiet: " + outcome(quiet, 100) + " (expected)");

    target.unplug();
    line("[unplug]", std::string("device is gone: isOpened ") +
                         (device->isOpened() ? "true" : "false") + ", nativeHandle " +
                         (device->nativeHandle() ? "set" : "null"));
    Result lateRead{};
    settle(device->getReport(device->allocateReport(AbstractHidDevice::Input), -1), lateRead);
    line("", "a read now: " + outcome(lateRead) + " (expected)");
    Result lateWrite{};
    settle(device->setReport(outputId, out, 1000), lateWrite);
    line("", "an output report now: " + outcome(lateWrite, 1000) + " (expected)");
    line("[close]", std::string(device->close() ? "true" : "false") +
                        "; the cached product string is still " + text(device->productName()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::unique_ptr<DemoTarget> target = makeDemoTarget(argc, argv);
    if (!target) {
        return 2;
    }
    return runSession(*target);
}
