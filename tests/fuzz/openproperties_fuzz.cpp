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

constexpr const char* kPath = "IOService:/vmac/Fuzz@5/Interface@0/HIDDevice";

// The keys the input assigns, by index.
// clang-format off
const char* const kKeys[] = {"PrimaryUsage", "PrimaryUsagePage", "DeviceUsagePairs",
    "MaxInputReportSize", "MaxOutputReportSize", "MaxFeatureReportSize", "Manufacturer",
    "Product", "SerialNumber", "DeviceUsage", "DeviceUsagePage", "UsagePage", "VendorID"};
// clang-format on

template <typename T>
CFNumberRef makeNumber(CFNumberType type, T value) {
    return CFNumberCreate(kCFAllocatorDefault, type, &value);
}

// A number of the input's `kind`; numbers of up to 32 bits also go to `asInt32`.
CFNumberRef number(fuzz::Input& input, int kind, int32_t* asInt32) {
    switch (kind) {
        case 0:
            return makeNumber<int8_t>(kCFNumberSInt8Type, *asInt32 = int8_t(input.byte()));
        case 1:
            return makeNumber<int16_t>(kCFNumberSInt16Type, *asInt32 = int16_t(input.number(2)));
        case 2:
            return makeNumber<int32_t>(kCFNumberSInt32Type, *asInt32 = int32_t(input.number(4)));
        case 3:
            return makeNumber(kCFNumberSInt64Type, static_cast<int64_t>(input.number(8)));
        default: {
            const uint64_t bits = input.number(8);
            double v;
            static_assert(sizeof v == sizeof bits, "");
            std::memcpy(&v, &bits, sizeof v);
            return makeNumber(kCFNumberFloat64Type, v);
        }
    }
}

CFTypeRef value(fuzz::Input& input, int depth, int32_t* asInt32);

// A usage pair as the input has it: each key present or not, of any kind.
CFTypeRef pair(fuzz::Input& input, int depth) {
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    const uint8_t present = input.byte();
    const char* keys[] = {"DeviceUsagePage", "DeviceUsage", "UsagePage"};
    for (int k = 0; k < 3; ++k) {
        int32_t ignored;
        if (CFTypeRef v = present & (1 << k) ? value(input, depth + 1, &ignored) : nullptr) {
            CFDictionarySetValue(dictionary, vmacConstantString(keys[k]), v);
            CFRelease(v);
        }
    }
    return dictionary;
}

// Any value; `asInt32` gets the value a 32-bit number read yields exactly
// (numbers of up to 32 bits), and stays untouched otherwise.
CFTypeRef value(fuzz::Input& input, int depth, int32_t* asInt32) {
    const uint8_t kind = input.byte() % 9;
    if (kind < 5) {
        return number(input, kind, asInt32);
    }
    if (kind == 5) {
        return fuzz::makeString(input.bytes(input.byte()));
    }
    if (kind == 8) {
        return depth > 2 ? nullptr : pair(input, depth);
    }
    // 6: an array of pairs, 7: of any values.
    std::vector<CFTypeRef> items;
    const int count = depth > 2 ? 0 : input.byte() % 6;
    for (int i = 0; i < count; ++i) {
        int32_t ignored;
        if (CFTypeRef item = kind == 6 ? pair(input, depth) : value(input, depth + 1, &ignored)) {
            items.push_back(item);
        }
    }
    CFArrayRef array = vmac::makeArray(items);
    for (CFTypeRef item : items) {
        CFRelease(item);
    }
    return array;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::LiveCounts& baseline = fuzz::baseline();
    fuzz::Input input(data, size);
    const int usagePair = static_cast<int8_t>(input.byte());
    vmac::VirtualDevice gadget = vmac::plugDevice(kPath);
    // What a 32-bit read of each key yields, when the input set it to a narrow number.
    std::map<std::string, int32_t> narrow;
    for (int assignments = 0; !input.empty() && assignments < 24; ++assignments) {
        const std::string key = kKeys[input.byte() % std::size(kKeys)];
        int32_t probe = INT32_MIN;
        CFTypeRef v = value(input, 0, &probe);
        narrow.erase(key);
        if (v && probe != INT32_MIN) {
            narrow[key] = probe;
        }
        fuzz::setOwnedProperty(gadget, key, v);
    }

    {
        auto device = fuzz::makeDevice(kPath, usagePair);
        const auto maxInput = narrow.find("MaxInputReportSize");
        const bool known = maxInput != narrow.end();
        bool opened = false;
        try {
            opened = device->open(0, 1);
        } catch (const std::length_error&) {
            // Wider numbers and floats convert by the platform's rules; only a
            // narrow number is known for sure.
            if (known && maxInput->second >= 0) {
                fuzz::fail("open refused MaxInputReportSize %d", maxInput->second);
            }
        }
        if (opened && known && maxInput->second < 0) {
            fuzz::fail("open accepted MaxInputReportSize %d", maxInput->second);
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
