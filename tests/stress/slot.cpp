#include "slot.h"

namespace stress {
namespace {

constexpr uint8_t kFailOnRequest = 0xFA;  // byte 1 of a set, or the ID of a get: fail it

// String descriptor 2: 70 units, of which the request's 130-byte buffer holds 64.
std::u16string longText(int index) {
    std::u16string text;
    for (int i = 0; i < 70; ++i) {
        text.push_back(static_cast<char16_t>(u'A' + (i + index) % 26));
    }
    return text;
}

std::wstring wide(const std::u16string& units) {
    return std::wstring(units.begin(), units.end());
}

GadgetFacts factsFor(int index) {
    const std::string n = std::to_string(index);
    GadgetFacts f;
    f.manufacturer = "Quenor Stress Works";
    f.product = "Stress Gadget \xC3\xBC\xE2\x82\xAC " + n;  // u-umlaut, euro sign
    f.serialNumber = "QS-\xF0\x9F\x98\x80-" + n;            // one character beyond the BMP
    f.wideManufacturer = L"Quenor Stress Works";
    f.wideProduct = L"Stress Gadget \u00FC\u20AC " + std::wstring(n.begin(), n.end());
    f.wideSerialNumber =
        L"QS-" + std::wstring(1, wchar_t(0x1F600)) + L"-" + std::wstring(n.begin(), n.end());
    f.usbStrings[0] = std::wstring(1, wchar_t(0x0409));
    f.usbStrings[1] = L"Stress " + std::wstring(n.begin(), n.end());
    f.usbStrings[2] = wide(longText(index).substr(0, 64));
    f.usbStrings[3] = wide(u"\U0001F600x");  // a surrogate pair stays two characters
    f.releaseNumber = static_cast<uint16_t>(0x0100 + index);
    return f;
}

}  // namespace

std::wstring widePath(const std::string& path) {
    return std::wstring(path.begin(), path.end());
}

Slot::Slot(int index_, FaultLog& faults)
    : index(index_),
      tag(static_cast<uint8_t>(0xA0 + index_)),
      usb(index_ % 4 < 2),
      byEntryId(!usb),
      path(usb ? "IOService:/vmac/Stress@" + std::to_string(index_) + "/Interface@0/HIDDevice"
               : "IOService:/IOResources/IOHIDResource/IOHIDResourceDeviceUserClient/"
                 "IOHIDUserDevice"),
      facts(factsFor(index_)),
      faults_(faults) {}

vmac::VirtualDevice Slot::gadget() const {
    std::lock_guard<std::mutex> lock(gadgetMutex_);
    return gadget_;
}

uint64_t Slot::gadgetEntryId() const {
    std::lock_guard<std::mutex> lock(gadgetMutex_);
    return gadgetNumber_ == 0 ? 0 : gadget_.entryId();
}

uint64_t Slot::pluggedGadget() const {
    std::lock_guard<std::mutex> lock(gadgetMutex_);
    return plugged_ ? gadgetNumber_ : 0;
}

void Slot::plug() {
    if (pluggedGadget() != 0) {
        return;
    }
    vmac::VirtualDevice g =
        vmac::plugDevice(path, usb ? vmac::ParentKind::UsbInterface : vmac::ParentKind::Other);
    g.setNumberProperty("VersionNumber", facts.releaseNumber);
    g.setNumberProperty("PrimaryUsage", 1);
    g.setNumberProperty("PrimaryUsagePage", 0xFF00);
    CFArrayRef pairs = vmac::makeUsagePairs({{0xFF00, 1}});
    g.setProperty("DeviceUsagePairs", pairs);
    CFRelease(pairs);
    g.setNumberProperty("MaxInputReportSize", kInputReportSize);
    g.setNumberProperty("MaxOutputReportSize", kOutputReportSize);
    g.setNumberProperty("MaxFeatureReportSize", kFeatureReportSize);
    g.setNumberProperty("RequestTimeout", 100000);  // the driver ends a blocked call after 100 ms
    g.setStringProperty("Manufacturer", facts.manufacturer);
    g.setStringProperty("Product", facts.product);
    g.setStringProperty("SerialNumber", facts.serialNumber);
    g.addElement({0xFF00, 1, 1});
    g.addElement({0xFF00, 2, 2});
    g.addElement({0xFF00, 3, 1});
    g.addElement({0x0001, 6, 3});
    for (uint32_t id = 1; id <= 4; ++id) {
        g.declareInputReport(id, 8);  // the shortest report the run injects
    }
    g.setReleaseNumber(facts.releaseNumber);
    g.setNumEndpoints(3);
    for (const auto& text : facts.usbStrings) {
        if (text.first != 0) {  // 0, the language table, every gadget has
            g.setStringDescriptorText(static_cast<UInt8>(text.first),
                                      text.first == 2
                                          ? longText(index)
                                          : std::u16string(text.second.begin(), text.second.end()));
        }
    }

    const uint8_t myTag = tag;
    FaultLog* faults = &faults_;
    const std::string device = "device " + std::to_string(index);
    g.setReportResponder([myTag, faults, device](const vmac::ReportCall& call) {
        vmac::ReportAnswer answer;
        if (call.kind == vmac::ReportCallKind::Set) {
            if (static_cast<size_t>(call.length) != call.bytes.size()) {
                faults->add(device + " got a set report of " + std::to_string(call.bytes.size()) +
                            " bytes announced as " + std::to_string(call.length));
            }
            if (!call.bytes.empty() && call.bytes[0] != myTag) {
                faults->add(device + " got a set report meant for tag " +
                            std::to_string(call.bytes[0]));
            }
            if (call.bytes.size() > 1 && call.bytes[1] == kFailOnRequest) {
                answer.result = kIOReturnError;
            }
            return answer;
        }
        if (call.reportId == kFailOnRequest) {
            answer.result = kIOReturnError;
            return answer;
        }
        answer.data.assign(kFeatureReportSize, 0);
        answer.data[0] = myTag;
        answer.data[1] = static_cast<uint8_t>(call.reportId);
        return answer;
    });

    std::lock_guard<std::mutex> lock(gadgetMutex_);
    gadget_ = g;
    ++gadgetNumber_;
    plugged_ = true;
}

void Slot::unplug() {
    // Held across the unplug (which does not wait) so that a replug never races it.
    std::lock_guard<std::mutex> lock(gadgetMutex_);
    if (plugged_) {
        plugged_ = false;
        gadget_.unplug();
    }
}

}  // namespace stress
