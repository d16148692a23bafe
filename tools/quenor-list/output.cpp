#include "output.h"

#include <cstdio>
#include <memory>

#include <quenor/mac/machiddevice.h>
#include <quenor/status.h>

namespace {

std::string narrow(const std::wstring& path) {
    std::string out;
    for (wchar_t c : path) {
        out += static_cast<char>(c & 0xFF);
    }
    return out;
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
    return text;
}

// A JSON string: quotes, backslashes and control characters escaped; UTF-8 kept.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

std::string textLine(const HidDeviceEntry& entry) {
    const HidDeviceIdentity& id = entry.identity;
    return narrow(entry.path) + "  #" + std::to_string(entry.usagePairIndex) + "  " +
           hex4(id.vendorId) + ":" + hex4(id.productId) + "  " + hex4(id.usagePage) + ":" +
           hex4(id.usage) + "  \"" + id.manufacturer + "\"  \"" + id.product + "\"  \"" +
           id.serialNumber + "\"  " + (id.transport.empty() ? "?" : id.transport);
}

std::string jsonObject(const HidDeviceEntry& entry, const char* event) {
    const HidDeviceIdentity& id = entry.identity;
    std::string out = "{";
    if (*event != '\0') {
        out += "\"event\": " + quoted(event) + ", ";
    }
    out += "\"path\": " + quoted(narrow(entry.path)) +
           ", \"index\": " + std::to_string(entry.usagePairIndex) +
           ", \"registryEntryId\": " + std::to_string(entry.registryEntryId) +
           ", \"vendorId\": " + std::to_string(id.vendorId) +
           ", \"productId\": " + std::to_string(id.productId) +
           ", \"releaseNumber\": " + std::to_string(id.releaseNumber) +
           ", \"usagePage\": " + std::to_string(id.usagePage) +
           ", \"usage\": " + std::to_string(id.usage) +
           ", \"primaryUsagePage\": " + std::to_string(id.primaryUsagePage) +
           ", \"primaryUsage\": " + std::to_string(id.primaryUsage) +
           ", \"manufacturer\": " + quoted(id.manufacturer) +
           ", \"product\": " + quoted(id.product) +
           ", \"serialNumber\": " + quoted(id.serialNumber) +
           ", \"maxInputReportSize\": " + std::to_string(id.maxInputReportSize) +
           ", \"maxOutputReportSize\": " + std::to_string(id.maxOutputReportSize) +
           ", \"maxFeatureReportSize\": " + std::to_string(id.maxFeatureReportSize) +
           ", \"transport\": " + quoted(id.transport) +
           ", \"usbStrings\": " + (id.usbStringsAvailable ? "true" : "false") +
           ", \"locationId\": " + std::to_string(id.locationId) + "}";
    return out;
}

std::int64_t tryOpen(const HidDeviceEntry& entry) {
    std::unique_ptr<AbstractHidDevice> device(AbstractHidDevice::create(entry.descriptor()));
    auto* mac = dynamic_cast<MacHidDevice*>(device.get());
    if (mac == nullptr || !mac->open(0, 1)) {
        return mac != nullptr ? mac->lastOpenStatus() : -1;
    }
    mac->close();
    return 0;
}

std::string openText(std::int64_t status) {
    return status == 0 ? "opens" : "cannot open: " + quenor::describeStatus(status);
}

std::string withOpenResult(const std::string& object, std::int64_t status) {
    std::string out =
        object.substr(0, object.size() - 1) + ", \"opens\": " + (status == 0 ? "true" : "false");
    if (status != 0) {
        out += ", \"openStatus\": " + std::to_string(status) +
               ", \"openError\": " + quoted(quenor::describeStatus(status));
    }
    return out + "}";
}
