// Matching dictionaries and IOServiceGetMatchingServices.
#include "cfarray.h"
#include "cfdictionary.h"
#include "cfstring.h"
#include "nocancel.h"
#include "notices.h"
#include "platformstate.h"

#include <algorithm>
#include <cstring>

using vmac::detail::checked;
using vmac::detail::DeviceState;
using vmac::detail::NoCancel;
using vmac::detail::platform;

namespace vmac::detail {
namespace {

// The identity keys an IOHIDDevice compares by value when they are matched on.
const char* const kValueKeys[] = {
    kIOHIDTransportKey,    kIOHIDVendorIDKey,         kIOHIDProductIDKey,    kIOHIDVersionNumberKey,
    kIOHIDManufacturerKey, kIOHIDProductKey,          kIOHIDSerialNumberKey, kIOHIDLocationIDKey,
    kIOHIDPrimaryUsageKey, kIOHIDPrimaryUsagePageKey, "VendorIDSource",      "CountryCode",
};

bool isValueKey(const std::string& key) {
    return std::any_of(std::begin(kValueKeys), std::end(kValueKeys),
                       [&](const char* k) { return key == k; });
}

const Object* asObject(const void* value) {
    return static_cast<const Object*>(value);
}

bool isType(const void* value, CFTypeID type) {
    return value != nullptr && asObject(value)->typeId() == type;
}

CFTypeRef propertyOf(const DeviceState& device, const char* key) {
    auto it = device.properties.find(key);
    return it == device.properties.end() ? nullptr : it->second;
}

const void* valueIn(const void* dictionary, const char* key) {
    if (!isType(dictionary, kDictionaryType))
        return nullptr;
    return static_cast<const __CFDictionary*>(dictionary)->get(vmacConstantString(key));
}

bool equalValues(const void* a, const void* b) {
    return a != nullptr && b != nullptr && cfEqual(a, b);
}

// A usage page and usage to find among the usage pairs of a device that has
// them, as IOHIDFamily's CompareDeviceUsage does: a usage without a page asks
// for nothing.
bool matchesDeviceUsage(const void* pairs, const void* page, const void* usage) {
    if (page == nullptr)
        return true;
    for (CFTypeRef pair : static_cast<const __CFArray*>(pairs)->values) {
        if (!equalValues(page, valueIn(pair, kIOHIDDeviceUsagePageKey)))
            continue;
        if (usage == nullptr || equalValues(usage, valueIn(pair, kIOHIDDeviceUsageKey)))
            return true;
    }
    return false;
}

bool matchesClass(const void* name) {
    if (!isType(name, kStringType))
        return false;
    const std::string& text = static_cast<const __CFString*>(name)->utf8;
    return text == kIOHIDDeviceKey || text == "IOService" || text == "IORegistryEntry";
}

}  // namespace

bool matchesLocked(const DeviceState& device, CFDictionaryRef matching) {
    const auto* table = checked<__CFDictionary>(matching, kDictionaryType, "IOService matching");
    CFTypeRef pairs = propertyOf(device, kIOHIDDeviceUsagePairsKey);
    const bool hasPairs = isType(pairs, kArrayType);
    // Any key but the class and the entry ID goes to the HID family's matching,
    // which fails every criterion of a device that publishes no usage pairs.
    bool hidCriteria = false;
    const void* page = nullptr;
    const void* usage = nullptr;
    for (const auto& pair : table->pairs()) {
        if (!isType(pair.first, kStringType))
            return false;
        const std::string& key = static_cast<const __CFString*>(pair.first)->utf8;
        if (key == kIOProviderClassKey) {
            if (!matchesClass(pair.second))
                return false;
            continue;
        }
        if (key == kIORegistryEntryIDKey) {
            int64_t id = 0;
            if (!isType(pair.second, kNumberType) ||
                !CFNumberGetValue(static_cast<CFNumberRef>(pair.second), kCFNumberSInt64Type,
                                  &id) ||
                static_cast<uint64_t>(id) != entryIdOf(device.hidPort))
                return false;
            continue;
        }
        hidCriteria = true;
        if (!hasPairs)
            return false;
        if (key == kIOHIDDeviceUsagePageKey) {
            page = pair.second;
        } else if (key == kIOHIDDeviceUsageKey) {
            usage = pair.second;
        } else if (key == kIOHIDDeviceUsagePairsKey) {
            // Any one of the listed page/usage dictionaries will do.
            if (!isType(pair.second, kArrayType))
                continue;
            const auto& wanted = static_cast<const __CFArray*>(pair.second)->values;
            bool found = true;  // a list without dictionaries asks for nothing
            for (CFTypeRef entry : wanted) {
                if (!isType(entry, kDictionaryType))
                    continue;
                found = matchesDeviceUsage(pairs, valueIn(entry, kIOHIDDeviceUsagePageKey),
                                           valueIn(entry, kIOHIDDeviceUsageKey));
                if (found)
                    break;
            }
            if (!found)
                return false;
        } else if (isValueKey(key)) {
            if (!equalValues(pair.second, propertyOf(device, key.c_str())))
                return false;
        }
    }
    return !hidCriteria || matchesDeviceUsage(pairs, page, usage);
}

}  // namespace vmac::detail

extern "C" {

CFMutableDictionaryRef IOServiceMatching(const char* name) {
    NoCancel noCancel;
    if (name == nullptr)
        return nullptr;
    CFMutableDictionaryRef matching = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFStringRef className =
        CFStringCreateWithCString(kCFAllocatorDefault, name, kCFStringEncodingUTF8);
    CFDictionarySetValue(matching, CFSTR(kIOProviderClassKey), className);
    CFRelease(className);
    return matching;
}

CFMutableDictionaryRef IORegistryEntryIDMatching(uint64_t entryID) {
    NoCancel noCancel;
    CFMutableDictionaryRef matching = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    if (matching == nullptr)
        return nullptr;
    const int64_t id = static_cast<int64_t>(entryID);
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &id);
    if (number == nullptr) {
        CFRelease(matching);
        return nullptr;
    }
    CFDictionarySetValue(matching, CFSTR(kIORegistryEntryIDKey), number);
    CFRelease(number);
    return matching;
}

// The oldest registered service that matches; the dictionary is consumed.
io_service_t IOServiceGetMatchingService(mach_port_t mainPort, CFDictionaryRef matching) {
    NoCancel noCancel;
    if (matching == nullptr)
        return IO_OBJECT_NULL;
    checked<__CFDictionary>(matching, vmac::detail::kDictionaryType, "IOServiceGetMatchingService");
    io_service_t found = IO_OBJECT_NULL;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        if (mainPort == MACH_PORT_NULL) {
            for (const auto& entry : platform().plugged) {
                if (entry.second->attached &&
                    vmac::detail::matchesLocked(*entry.second, matching)) {
                    ++entry.second->hidRefs;
                    found = entry.second->hidPort;
                    break;
                }
            }
        }
    }
    CFRelease(matching);
    return found;
}

// One reference of `matching` is consumed on every path that has one. No
// match is success with a null iterator, as IOKit documents.
kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort, CFDictionaryRef matching,
                                           io_iterator_t* existing) {
    NoCancel noCancel;
    if (matching == nullptr)
        return kIOReturnBadArgument;
    checked<__CFDictionary>(matching, vmac::detail::kDictionaryType,
                            "IOServiceGetMatchingServices");
    kern_return_t result = kIOReturnSuccess;
    std::unique_lock<std::mutex> lock(platform().mutex);
    const IOReturn fault = vmac::detail::notificationFaultsLocked().matchingServicesResult;
    if (existing == nullptr || mainPort != MACH_PORT_NULL) {
        result = kIOReturnBadArgument;
    } else if (fault != kIOReturnSuccess) {
        result = fault;
    } else {
        auto iterator = std::make_shared<vmac::detail::IteratorState>();
        for (const auto& entry : platform().plugged)
            if (entry.second->attached && vmac::detail::matchesLocked(*entry.second, matching))
                iterator->queue.push_back(entry.second);
        std::sort(iterator->queue.begin(), iterator->queue.end(),
                  [](const auto& a, const auto& b) { return a->hidPort > b->hidPort; });
        if (iterator->queue.empty()) {
            *existing = IO_OBJECT_NULL;
        } else {
            iterator->port = platform().nextPort++;
            vmac::detail::iteratorsLocked()[iterator->port] = iterator;
            *existing = iterator->port;
        }
        platform().changed.notify_all();
    }
    lock.unlock();
    CFRelease(matching);
    return result;
}

}  // extern "C"
