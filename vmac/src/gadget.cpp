#include <vmac/gadget.h>

#include <algorithm>
#include <sstream>

namespace vmac {

HeldValue HeldValue::adopt(CFTypeRef value) {
    HeldValue held;
    if (value != nullptr)
        held.value_ = std::shared_ptr<const void>(value, [](const void* v) { CFRelease(v); });
    return held;
}

HeldValue HeldValue::retain(CFTypeRef value) {
    return adopt(value == nullptr ? nullptr : CFRetain(value));
}

namespace {

HeldValue cfValueOf(const PropertyValue& value) {
    if (const auto* number = std::get_if<long long>(&value))
        return HeldValue::adopt(makeNumber(*number));
    if (const auto* text = std::get_if<std::string>(&value))
        return HeldValue::adopt(makeString(*text));
    return std::get<HeldValue>(value);
}

// The properties in key order; the held values keep them alive until plugged.
std::map<std::string, HeldValue> propertiesOf(const Gadget& g) {
    std::map<std::string, HeldValue> out;
    const auto number = [&](const char* key, const std::optional<long long>& value) {
        if (value)
            out[key] = HeldValue::adopt(makeNumber(*value));
    };
    const auto text = [&](const char* key, const std::optional<std::string>& value) {
        if (value)
            out[key] = HeldValue::adopt(makeString(*value));
    };
    number("VendorID", g.vendorId);
    number("ProductID", g.productId);
    number("VersionNumber", g.versionNumber);
    number("LocationID", g.locationId);
    text("Manufacturer", g.manufacturer);
    text("Product", g.product);
    text("SerialNumber", g.serialNumber);
    text("Transport", g.transport);
    number("PrimaryUsagePage", g.primaryUsagePage);
    number("PrimaryUsage", g.primaryUsage);
    if (g.usagePairs) {
        std::vector<std::pair<long long, long long>> pairs;
        for (const UsagePair& pair : *g.usagePairs)
            pairs.emplace_back(pair.usagePage, pair.usage);
        out["DeviceUsagePairs"] = HeldValue::adopt(makeUsagePairs(pairs));
    }
    number("MaxInputReportSize", g.maxInputReportSize);
    number("MaxOutputReportSize", g.maxOutputReportSize);
    number("MaxFeatureReportSize", g.maxFeatureReportSize);
    for (const auto& [key, value] : g.properties)
        out[key] = cfValueOf(value);
    return out;
}

}  // namespace

VirtualDevice Gadget::plug() const {
    const std::map<std::string, HeldValue> held = propertiesOf(*this);
    std::map<std::string, CFTypeRef> values;
    for (const auto& [key, value] : held)
        values[key] = value.get();  // a null value is left out
    VirtualDevice device = plugDeviceWithProperties(path, values, parent);
    for (const Element& element : elements)
        device.addElement(element);
    if (releaseNumber)
        device.setReleaseNumber(*releaseNumber);
    if (numEndpoints)
        device.setNumEndpoints(*numEndpoints);
    for (const auto& [index, raw] : stringDescriptors)
        device.setStringDescriptor(index, raw);
    for (const ReportAnswer& answer : setReportAnswers)
        device.queueSetReportAnswer(answer);
    for (const ReportAnswer& answer : getReportAnswers)
        device.queueGetReportAnswer(answer);
    if (defaultSetReportAnswer)
        device.setDefaultSetReportAnswer(*defaultSetReportAnswer);
    if (defaultGetReportAnswer)
        device.setDefaultGetReportAnswer(*defaultGetReportAnswer);
    if (responder)
        device.setReportResponder(responder);
    device.setOpenFaults(openFaults);
    return device;
}

std::vector<uint8_t> stringDescriptor(const std::u16string& text) {
    std::vector<uint8_t> raw{static_cast<uint8_t>(std::min<size_t>(2 + 2 * text.size(), 255)), 3};
    for (char16_t unit : text) {
        raw.push_back(static_cast<uint8_t>(unit & 0xFF));
        raw.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return raw;
}

LiveCounts LiveCounts::now() {
    return {liveObjectCount(), liveIOObjectReferences(), liveCOMReferences(),
            liveNotificationPortCount()};
}

std::string LiveCounts::since(const LiveCounts& before) const {
    std::ostringstream out;
    const auto change = [&](const char* name, long after, long was, const char* separator) {
        const long moved = after - was;
        out << name << ' ' << (moved > 0 ? "+" : "") << moved << separator;
    };
    change("CFType", cfObjects, before.cfObjects, ", ");
    change("io_object", ioObjects, before.ioObjects, ", ");
    change("COM", comReferences, before.comReferences, ", ");
    change("IONotificationPort", notificationPorts, before.notificationPorts, "");
    return out.str();
}

}  // namespace vmac
