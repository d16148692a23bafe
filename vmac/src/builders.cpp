// CF value builders of the control API.
#include <vmac/control.h>

#include "callfaults.h"
#include "cfarray.h"
#include "nocancel.h"

#include <cstdint>
#include <limits>

namespace vmac {

CFNumberRef makeNumber(long long value) {
    detail::BuilderScope builder;
    if (value >= std::numeric_limits<int32_t>::min() &&
        value <= std::numeric_limits<int32_t>::max()) {
        const auto narrow = static_cast<int32_t>(value);
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &narrow);
    }
    const auto wide = static_cast<int64_t>(value);
    return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &wide);
}

CFStringRef makeString(const std::string& utf8) {
    detail::BuilderScope builder;
    return CFStringCreateWithCString(kCFAllocatorDefault, utf8.c_str(), kCFStringEncodingUTF8);
}

CFArrayRef makeArray(const std::vector<CFTypeRef>& values) {
    detail::NoCancel noCancel;
    return new __CFArray(values);
}

CFDictionaryRef makeUsagePair(long long usagePage, long long usage) {
    detail::BuilderScope builder;
    CFMutableDictionaryRef pair = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFNumberRef page = makeNumber(usagePage);
    CFNumberRef use = makeNumber(usage);
    CFDictionarySetValue(pair, CFSTR("DeviceUsagePage"), page);
    CFDictionarySetValue(pair, CFSTR("DeviceUsage"), use);
    CFRelease(page);
    CFRelease(use);
    return pair;
}

CFArrayRef makeUsagePairs(const std::vector<std::pair<long long, long long>>& pairs) {
    std::vector<CFTypeRef> items;
    for (const auto& p : pairs)
        items.push_back(makeUsagePair(p.first, p.second));
    CFArrayRef array = makeArray(items);
    for (CFTypeRef item : items)
        CFRelease(item);
    return array;
}

}  // namespace vmac
