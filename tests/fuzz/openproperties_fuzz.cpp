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
#include <array>
#include <climits>
#include <cstring>
#include <map>
#include <stdexcept>

#include "fuzzsupport.h"

namespace {

constexpr const char* kPath = "IOService:/vmac/Fuzz@5/Interface@0/HIDDevice";

const std::array<const char*, 13> kKeys = {"PrimaryUsage",
                                           "PrimaryUsagePage",
                                           "DeviceUsagePairs",
                                           "MaxInputReportSize",
                                           "MaxOutputReportSize",
                                           "MaxFeatureReportSize",
                                           "Manufacturer",
                                           "Product",
                                           "SerialNumber",
                                           "DeviceUsage",
                                           "DeviceUsagePage",
                                           "UsagePage",
                                           "VendorID"};

CFNumberRef number(fuzz::Input& input, int kind, int32_t* asInt32) {
    switch (kind) {
        case 0: {
            const auto v = static_cast<int8_t>(input.byte());
            *asInt32 = v;
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt8Type, &v);
        }
        case 1: {
            const auto v = static_cast<int16_t>(input.number(2));
            *asInt32 = v;
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt16Type, &v);
        }
        case 2: {
            const auto v = static_cast<int32_t>(input.number(4));
            *asInt32 = v;
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &v);
        }
        case 3: {
            const auto v = static_cast<int64_t>(input.number(8));
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &v);
        }
        default: {
            const uint64_t bits = input.number(8);
            double v;
            static_assert(sizeof v == sizeof bits, "");
            std::memcpy(&v, &bits, sizeof v);
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &v);
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
        if (present & (1 << k)) {
            int32_t ignored;
            CFTypeRef v = value(input, depth + 1, &ignored);
            if (v) {
                CFDictionarySetValue(dictionary, vmacConstantString(keys[k]), v);
                CFRelease(v);
            }
        }
    }
    return dictionary;
}

// Any value; `asInt32` gets the value a 32-bit number read yields exactly
// (numbers of up to 32 bits), and stays untouched otherwise.
CFTypeRef value(fuzz::Input& input, int depth, int32_t* asInt32) {
    const uint8_t kind = input.byte();
    switch (kind % 9) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
            return number(input, kind % 9, asInt32);
        case 5: {
            const std::vector<uint8_t> bytes = input.bytes(input.byte());
            const std::string text(bytes.begin(), bytes.end());
            return CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(),
                                             kCFStringEncodingUTF8);
        }
        case 6:
        case 7: {
            std::vector<CFTypeRef> items;
            const int count = depth > 2 ? 0 : input.byte() % 6;
            for (int i = 0; i < count; ++i) {
                int32_t ignored;
                CFTypeRef item =
                    kind % 9 == 6 ? pair(input, depth) : value(input, depth + 1, &ignored);
                if (item) {
                    items.push_back(item);
                }
            }
            CFArrayRef array = vmac::makeArray(items);
            for (CFTypeRef item : items) {
                CFRelease(item);
            }
            return array;
        }
        default:
            return depth > 2 ? nullptr : pair(input, depth);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::LiveCounts baseline = [] {
        vmac::reset();
        return fuzz::LiveCounts::now();
    }();
    fuzz::Input input(data, size);
    const int usagePair = static_cast<int8_t>(input.byte());
    vmac::VirtualDevice gadget = vmac::plugDevice(kPath);
    // What a 32-bit read of each key yields, when the input set it to a narrow number.
    std::map<std::string, int32_t> narrow;
    for (int assignments = 0; !input.empty() && assignments < 24; ++assignments) {
        const std::string key = kKeys[input.byte() % kKeys.size()];
        int32_t asInt32 = 0;
        bool isNarrow = false;
        {
            int32_t probe = INT32_MIN;
            CFTypeRef v = value(input, 0, &probe);
            gadget.setProperty(key, v);
            if (v) {
                CFRelease(v);
                isNarrow = probe != INT32_MIN;
                asInt32 = probe;
            }
        }
        if (isNarrow) {
            narrow[key] = asInt32;
        } else {
            narrow.erase(key);
        }
    }

    {
        auto device = fuzz::makeDevice(kPath, usagePair);
        bool opened = false;
        try {
            opened = device->open(0, 1);
        } catch (const std::length_error&) {
            // Wider numbers and floats convert by the platform's rules; only a
            // narrow number is known for sure.
            auto it = narrow.find("MaxInputReportSize");
            if (it != narrow.end() && it->second >= 0) {
                fuzz::fail("open refused MaxInputReportSize %d", it->second);
            }
        }
        auto maxInput = narrow.find("MaxInputReportSize");
        if (opened && maxInput != narrow.end() && maxInput->second < 0) {
            fuzz::fail("open accepted MaxInputReportSize %d", maxInput->second);
        }
        if (opened) {
            for (const auto& sized :
                 {std::make_pair("MaxInputReportSize", AbstractHidDevice::Input),
                  std::make_pair("MaxOutputReportSize", AbstractHidDevice::Output),
                  std::make_pair("MaxFeatureReportSize", AbstractHidDevice::Feature)}) {
                const int got = device->reportSize(sized.second);
                auto it = narrow.find(sized.first);
                if (it != narrow.end() && got != static_cast<uint16_t>(it->second)) {
                    fuzz::fail("%s %d read as %d", sized.first, it->second, got);
                }
                if (device->allocateReport(sized.second)->size() != static_cast<size_t>(got)) {
                    fuzz::fail("a new %s buffer is not reportSize() long", sized.first);
                }
            }
            for (const auto& text :
                 {device->manufacturerName(), device->productName(), device->serialNumber()}) {
                if (!fuzz::await(text).success) {
                    fuzz::fail("a cached string failed after a successful open");
                }
            }
            device->setReportFilteringEnabled(true);
            fuzz::await(device->usbString(1));
            device->close();
        } else if (gadget.openCount() != 0) {
            fuzz::fail("a failed open left the device open");
        }
    }
    vmac::reset();
    fuzz::expectCounts(baseline, "after a device was opened, closed and unplugged");
    return 0;
}
