// Gadgets and live counts: the short way to use the control API (<vmac/control.h>)
// in a test or a simulation.
//
// Gadget. A value that describes one virtual HID device: where it sits in the
// registry, its identity, usages and report sizes, elements, the USB
// interface's answers and the scripted report answers. plug() puts it in the
// registry in one call, with every property in place before the device is
// published (so matching notifications and snapshots see it whole), and
// returns the VirtualDevice handle for what the test does next (inject,
// unplug, observe). A property left empty (std::nullopt) is not set at all:
// that is how a test describes a device that lacks it. Wrong types go in
// `properties` as a CF value. A Gadget may be copied, changed and plugged
// again, at another path, any number of times; plug() does not change it.
//
// Example:
//
//   vmac::Gadget keypad;
//   keypad.path = "IOService:/vmac/XHC@0/Keypad@1/IOUSBHostInterface@0/Keypad";
//   keypad.vendorId = 0x1209;
//   keypad.productId = 0x4B50;
//   keypad.product = "Macro Keypad";
//   keypad.usagePairs = {{0x0001, 0x0006}, {0x000C, 0x0001}};
//   keypad.maxInputReportSize = 9;
//   vmac::VirtualDevice device = keypad.plug();
//
// LiveCounts. One snapshot of every count a test ends by comparing: live CF
// objects, io_object_t references, COM references and notification ports.
// Two snapshots compare equal when nothing leaked or was over-released;
// since() says what moved, as "CFType +1, io_object 0, COM 0,
// IONotificationPort 0", and operator<< prints the counts themselves, so
// EXPECT_EQ(before, vmac::LiveCounts::now()) explains its own failure.
//
// Threads: like the control API, from any thread.
#pragma once

#include <vmac/control.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vmac {

// A CF value held with one reference of its own; copies share it.
class VMAC_API HeldValue {
public:
    HeldValue() = default;
    static HeldValue adopt(CFTypeRef value);   // takes over the caller's reference
    static HeldValue retain(CFTypeRef value);  // adds one
    CFTypeRef get() const { return value_.get(); }

private:
    std::shared_ptr<const void> value_;
};

// A property value: a number (a CFNumber, SInt32 if it fits), a UTF-8 string
// (a CFString) or any CF value, of whatever type the test needs.
using PropertyValue = std::variant<long long, std::string, HeldValue>;

// The usage page and usage of one "DeviceUsagePairs" entry.
struct UsagePair {
    long long usagePage;
    long long usage;
};

struct VMAC_API Gadget {
    // Where the device sits; plugDeviceWithProperties() says which paths may be
    // shared. locationId below is optional: a device need not have one.
    std::string path = "IOService:/vmac/Gadget@1/Interface@0/HIDDevice";
    ParentKind parent = ParentKind::UsbInterface;

    // Identity: "VendorID", "ProductID", "VersionNumber", "LocationID",
    // "Manufacturer", "Product", "SerialNumber", "Transport".
    std::optional<long long> vendorId, productId, versionNumber, locationId;
    std::optional<std::string> manufacturer, product, serialNumber, transport;

    // "PrimaryUsagePage", "PrimaryUsage" and "DeviceUsagePairs" (an empty
    // vector is an empty array; nullopt, no property).
    std::optional<long long> primaryUsagePage, primaryUsage;
    std::optional<std::vector<UsagePair>> usagePairs;

    // "MaxInputReportSize", "MaxOutputReportSize", "MaxFeatureReportSize".
    std::optional<long long> maxInputReportSize, maxOutputReportSize, maxFeatureReportSize;

    // Any other property, or one of the above with another value or type: set
    // last, so it wins over the fields above.
    std::map<std::string, PropertyValue> properties;

    std::vector<Element> elements;

    // The parent USB interface (ParentKind::UsbInterface): release number,
    // endpoint count and raw string descriptors by index (stringDescriptor()
    // builds a well-formed one). nullopt keeps the platform's default.
    std::optional<UInt16> releaseNumber;
    std::optional<UInt8> numEndpoints;
    std::map<UInt8, std::vector<uint8_t>> stringDescriptors;

    // Report answers, queued in order, then the responder, then the defaults.
    std::vector<ReportAnswer> setReportAnswers, getReportAnswers;
    std::optional<ReportAnswer> defaultSetReportAnswer, defaultGetReportAnswer;
    ReportResponder responder;

    OpenFaults openFaults;

    // Plugs the device in as described; throws what plugDeviceWithProperties()
    // throws (std::invalid_argument for a path it refuses).
    VirtualDevice plug() const;
};

// A string descriptor: bLength, type 3, the UTF-16LE code units of `text`.
VMAC_API std::vector<uint8_t> stringDescriptor(const std::u16string& text);

struct VMAC_API LiveCounts {
    long cfObjects = 0;          // liveObjectCount()
    long ioObjects = 0;          // liveIOObjectReferences()
    long comReferences = 0;      // liveCOMReferences()
    long notificationPorts = 0;  // liveNotificationPortCount()

    static LiveCounts now();
    // "CFType +1, io_object 0, COM 0, IONotificationPort -1": this minus `before`.
    std::string since(const LiveCounts& before) const;
};

inline bool operator==(const LiveCounts& a, const LiveCounts& b) {
    return a.cfObjects == b.cfObjects && a.ioObjects == b.ioObjects &&
           a.comReferences == b.comReferences && a.notificationPorts == b.notificationPorts;
}
inline bool operator!=(const LiveCounts& a, const LiveCounts& b) {
    return !(a == b);
}
// "CFType 12, io_object 3, COM 0, IONotificationPort 0"
inline std::ostream& operator<<(std::ostream& out, const LiveCounts& counts) {
    return out << "CFType " << counts.cfObjects << ", io_object " << counts.ioObjects << ", COM "
               << counts.comReferences << ", IONotificationPort " << counts.notificationPorts;
}

}  // namespace vmac
