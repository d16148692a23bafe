// Fuzzes the property values a device shows to open(): every key the device
// reads can hold a number of any width, a string, an array, a dictionary or
// nothing, and "DeviceUsagePairs" an array of pairs whose entries miss keys or
// carry the wrong types, with any usage-pair index. open() must either succeed
// or refuse a negative "MaxInputReportSize" with std::length_error; once open,
// the cached sizes follow the properties (32-bit numbers, low 16 bits),
// allocateReport() and every string request answer; close and unplug leave
// nothing live.
//
// Input: a usage-pair index byte, then assignments of a key byte, a kind byte
// and the value's bytes.
#include <climits>
#include <cstring>
#include <iterator>
#include <map>
#include <stdexcept>

#include "fuzzsupport.h"

namespace {

// The keys the input assigns, by index.
// clang-format off
const char* const kKeys[] = {"PrimaryUsage", "PrimaryUsagePage", "DeviceUsagePairs",
    "MaxInputReportSize", "MaxOutputReportSize", "MaxFeatureReportSize", "Manufacturer",
    "Product", "SerialNumber", "DeviceUsage", "DeviceUsagePage", "UsagePage", "VendorID"};
// clang-format on

// A number of the input's `kind`; numbers of up to 32 bits also go to `asInt32`.
CFNumberRef number(fuzz::Input& input, int kind, int32_t* asInt32) {
    const auto make = [](CFNumberType type, auto v) {
        return CFNumberCreate(kCFAllocatorDefault, type, &v);
    };
    const uint64_t bits = input.number(kind < 3 ? 1 << kind : 8);
    if (kind < 3 && asInt32) {
        *asInt32 = kind == 0 ? int8_t(bits) : kind == 1 ? int16_t(bits) : int32_t(bits);
    }
    double real;
    std::memcpy(&real, &bits, sizeof real);
    return kind == 0   ? make(kCFNumberSInt8Type, int8_t(bits))
           : kind == 1 ? make(kCFNumberSInt16Type, int16_t(bits))
           : kind == 2 ? make(kCFNumberSInt32Type, int32_t(bits))
           : kind == 3 ? make(kCFNumberSInt64Type, int64_t(bits))
                       : make(kCFNumberFloat64Type, real);
}

CFTypeRef value(fuzz::Input& input, int depth, int32_t* asInt32);

// A usage pair as the input has it: each key present or not, of any kind.
CFTypeRef pair(fuzz::Input& input, int depth) {
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    const uint8_t present = input.byte();
    const char* keys[] = {"DeviceUsagePage", "DeviceUsage", "UsagePage"};
    for (int k = 0; k < 3; ++k) {
        const auto v =
            vmac::HeldValue::adopt(present & (1 << k) ? value(input, depth + 1, nullptr) : nullptr);
        if (v.get()) {
            CFDictionarySetValue(dictionary, vmacConstantString(keys[k]), v.get());
        }
    }
    return dictionary;
}

// Any value; `asInt32` (if not null) gets the value a 32-bit number read
// yields exactly (numbers of up to 32 bits), and stays untouched otherwise.
CFTypeRef value(fuzz::Input& input, int depth, int32_t* asInt32) {
    const uint8_t kind = input.byte() % 9;
    if (kind < 5) {
        return number(input, kind, asInt32);
    }
    if (kind == 5) {
        const std::vector<uint8_t> bytes = input.bytes(input.byte());
        return vmac::makeString(std::string(bytes.begin(), bytes.end()));
    }
    if (kind == 8) {
        return depth > 2 ? nullptr : pair(input, depth);
    }
    // 6: an array of pairs, 7: of any values.
    std::vector<vmac::HeldValue> held;
    std::vector<CFTypeRef> items;
    for (int i = 0, count = depth > 2 ? 0 : input.byte() % 6; i < count; ++i) {
        held.push_back(vmac::HeldValue::adopt(kind == 6 ? pair(input, depth)
                                                        : value(input, depth + 1, nullptr)));
        if (held.back().get()) {
            items.push_back(held.back().get());
        }
    }
    return vmac::makeArray(items);
}

// Once open: the cached sizes follow the narrow numbers set, new buffers are
// that long, every string request answers; then closes the device.
void checkOpenDevice(AbstractHidDevice& device, const std::map<std::string, int32_t>& narrow) {
    for (const auto& sized : {std::make_pair("MaxInputReportSize", AbstractHidDevice::Input),
                              std::make_pair("MaxOutputReportSize", AbstractHidDevice::Output),
                              std::make_pair("MaxFeatureReportSize", AbstractHidDevice::Feature)}) {
        const int got = device.reportSize(sized.second);
        auto it = narrow.find(sized.first);
        if (it != narrow.end() && got != static_cast<uint16_t>(it->second)) {
            fuzz::fail("%s %d read as %d", sized.first, it->second, got);
        }
        if (device.allocateReport(sized.second)->size() != static_cast<size_t>(got)) {
            fuzz::fail("a new %s buffer is not reportSize() long", sized.first);
        }
    }
    for (const auto& text :
         {device.manufacturerName(), device.productName(), device.serialNumber()}) {
        if (!fuzz::await(text).success) {
            fuzz::fail("a cached string failed after a successful open");
        }
    }
    device.setReportFilteringEnabled(true);
    fuzz::await(device.usbString(1));
    device.close();
}

// Plugs a gadget with the input's assignments. `narrow` gets what a 32-bit read
// of each key yields, when the input set it to a narrow number.
vmac::VirtualDevice plugAssigned(fuzz::Input& input, std::map<std::string, int32_t>& narrow) {
    vmac::Gadget gadget;
    for (int assignments = 0; !input.empty() && assignments < 24; ++assignments) {
        const std::string key = kKeys[input.byte() % std::size(kKeys)];
        int32_t probe = INT32_MIN;
        gadget.properties[key] = vmac::HeldValue::adopt(value(input, 0, &probe));
        narrow.erase(key);
        if (std::get<vmac::HeldValue>(gadget.properties[key]).get() && probe != INT32_MIN) {
            narrow[key] = probe;
        }
    }
    return gadget.plug();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const vmac::LiveCounts& baseline = fuzz::baseline();
    fuzz::Input input(data, size);
    const int usagePair = static_cast<int8_t>(input.byte());
    std::map<std::string, int32_t> narrow;
    const vmac::VirtualDevice gadget = plugAssigned(input, narrow);
    {
        auto device = fuzz::makeDevice(gadget.path(), usagePair);
        bool opened = false, refused = false;
        try {
            opened = device->open(0, 1);
        } catch (const std::length_error&) {
            refused = true;
        }
        // Wider numbers and floats convert by the platform's rules; only a
        // narrow number is known for sure.
        const auto maxInput = narrow.find("MaxInputReportSize");
        if (maxInput != narrow.end() && (maxInput->second < 0 ? opened : refused)) {
            fuzz::fail("open %s MaxInputReportSize %d", opened ? "accepted" : "refused",
                       maxInput->second);
        }
        if (opened) {
            checkOpenDevice(*device, narrow);
        } else if (gadget.openCount() != 0) {
            fuzz::fail("a failed open left the device open");
        }
    }
    vmac::reset();
    fuzz::expectCounts(baseline, "after a device was opened, closed and unplugged");
    return 0;
}
