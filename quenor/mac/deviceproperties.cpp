#include "quenor/mac/deviceproperties.h"

namespace quenor::mac {
namespace {

bool isNumber(CFTypeRef value) {
    return value && CFGetTypeID(value) == CFNumberGetTypeID();
}

}  // namespace

int32_t numberValue(CFTypeRef value) {
    SInt32 result = 0;
    if (isNumber(value)) {
        // A lossy conversion still stores its best attempt, which is what we want.
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &result);
    }
    return result;
}

int64_t number64Value(CFTypeRef value) {
    int64_t result = 0;
    if (isNumber(value)) {
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &result);
    }
    return result;
}

int32_t numberProperty(IOHIDDeviceRef device, CFStringRef key) {
    return numberValue(IOHIDDeviceGetProperty(device, key));
}

std::string getStringProperty(IOHIDDeviceRef device, CFStringRef key) {
    return stringValue(IOHIDDeviceGetProperty(device, key));
}

std::string stringValue(CFTypeRef value) {
    if (!value || CFGetTypeID(value) != CFStringGetTypeID()) {
        return {};
    }
    char buffer[1024] = {};
    // Text that needs more than 1,023 bytes does not convert; it reads as empty
    // rather than as whatever fragment the platform may have left in the buffer.
    if (!CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer,
                            kCFStringEncodingUTF8)) {
        return {};
    }
    return std::string(buffer);
}

UsagePair usagePairAt(IOHIDDeviceRef device, int index) {
    return usagePairIn(IOHIDDeviceGetProperty(device, CFSTR("DeviceUsagePairs")), index);
}

UsagePair usagePairIn(CFTypeRef pairs, int index) {
    UsagePair pair;
    if (!pairs || CFGetTypeID(pairs) != CFArrayGetTypeID() || index < 0 ||
        index >= CFArrayGetCount(static_cast<CFArrayRef>(pairs))) {
        return pair;
    }
    CFTypeRef entry = CFArrayGetValueAtIndex(static_cast<CFArrayRef>(pairs), index);
    if (!entry || CFGetTypeID(entry) != CFDictionaryGetTypeID()) {
        return pair;
    }
    auto dictionary = static_cast<CFDictionaryRef>(entry);
    CFTypeRef usage = CFDictionaryGetValue(dictionary, CFSTR("DeviceUsage"));
    CFTypeRef usagePage = CFDictionaryGetValue(dictionary, CFSTR("DeviceUsagePage"));
    if (isNumber(usage) && isNumber(usagePage)) {
        pair.usage = numberValue(usage);
        pair.usagePage = numberValue(usagePage);
    }
    return pair;
}

}  // namespace quenor::mac
