#include "quenor/mac/registrydevice.h"

#include <algorithm>
#include <tuple>

#include "quenor/mac/deviceproperties.h"

namespace quenor::mac {
namespace {

using ScopedValue = ScopedCFRef<CFTypeRef>;

ScopedValue copyProperty(io_registry_entry_t entry, CFStringRef key) {
    return ScopedValue::adopt(IORegistryEntryCreateCFProperty(entry, key, kCFAllocatorDefault, 0));
}

uint16_t low16(int32_t value) {
    return static_cast<uint16_t>(value);
}

uint16_t number16(io_registry_entry_t entry, CFStringRef key) {
    return low16(numberValue(copyProperty(entry, key).get()));
}

std::string text(io_registry_entry_t entry, CFStringRef key) {
    return stringValue(copyProperty(entry, key).get());
}

// Everything but the usage pair's own fields.
HidDeviceIdentity readCommon(io_registry_entry_t entry) {
    HidDeviceIdentity identity;
    identity.vendorId = number16(entry, CFSTR(kIOHIDVendorIDKey));
    identity.productId = number16(entry, CFSTR(kIOHIDProductIDKey));
    identity.releaseNumber = number16(entry, CFSTR(kIOHIDVersionNumberKey));
    identity.manufacturer = text(entry, CFSTR(kIOHIDManufacturerKey));
    identity.product = text(entry, CFSTR(kIOHIDProductKey));
    identity.serialNumber = text(entry, CFSTR(kIOHIDSerialNumberKey));
    identity.primaryUsagePage = number16(entry, CFSTR(kIOHIDPrimaryUsagePageKey));
    identity.primaryUsage = number16(entry, CFSTR(kIOHIDPrimaryUsageKey));
    identity.maxInputReportSize = number16(entry, CFSTR(kIOHIDMaxInputReportSizeKey));
    identity.maxOutputReportSize = number16(entry, CFSTR(kIOHIDMaxOutputReportSizeKey));
    identity.maxFeatureReportSize = number16(entry, CFSTR(kIOHIDMaxFeatureReportSizeKey));
    identity.transport = text(entry, CFSTR(kIOHIDTransportKey));
    identity.locationId =
        static_cast<uint32_t>(number64Value(copyProperty(entry, CFSTR(kIOHIDLocationIDKey)).get()));
    return identity;
}

// The pair at `index`, falling back to the primary pair as opening the device does.
void applyPair(HidDeviceIdentity& identity, CFTypeRef pairs, int index) {
    const UsagePair pair = usagePairIn(pairs, index);
    if (pair.usage < 0 || pair.usagePage < 0) {
        identity.usage = identity.primaryUsage;
        identity.usagePage = identity.primaryUsagePage;
    } else {
        identity.usage = low16(pair.usage);
        identity.usagePage = low16(pair.usagePage);
    }
}

int pairCount(CFTypeRef pairs) {
    if (!pairs || CFGetTypeID(pairs) != CFArrayGetTypeID()) {
        return 1;
    }
    const CFIndex count = CFArrayGetCount(static_cast<CFArrayRef>(pairs));
    return count < 1 ? 1 : static_cast<int>(std::min<CFIndex>(count, 0x7FFFFFFF));
}

bool readPath(io_registry_entry_t entry, std::wstring& path) {
    io_string_t buffer = {};
    if (IORegistryEntryGetPath(entry, kIOServicePlane, buffer) != kIOReturnSuccess) {
        return false;
    }
    path.clear();
    for (const char* c = buffer; *c != '\0'; ++c) {
        path += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    }
    return true;
}

}  // namespace

std::vector<HidDeviceEntry> readDeviceEntries(io_registry_entry_t service,
                                              const HidDeviceMatch& match) {
    std::vector<HidDeviceEntry> entries;
    HidDeviceEntry entry;
    if (!readPath(service, entry.path)) {
        return entries;
    }
    entry.registryEntryId = registryEntryId(service);
    const HidDeviceIdentity common = readCommon(service);
    const ScopedValue pairs = copyProperty(service, CFSTR(kIOHIDDeviceUsagePairsKey));
    const int count = pairCount(pairs.get());
    for (int index = 0; index < count; ++index) {
        entry.usagePairIndex = index;
        entry.identity = common;
        applyPair(entry.identity, pairs.get(), index);
        if (match.matches(entry.identity)) {
            entries.push_back(entry);
        }
    }
    return entries;
}

HidDeviceIdentity readIdentity(io_registry_entry_t entry, int pairIndex) {
    HidDeviceIdentity identity = readCommon(entry);
    applyPair(identity, copyProperty(entry, CFSTR(kIOHIDDeviceUsagePairsKey)).get(), pairIndex);
    return identity;
}

uint64_t registryEntryId(io_registry_entry_t entry) {
    uint64_t id = 0;
    if (IORegistryEntryGetRegistryEntryID(entry, &id) != kIOReturnSuccess) {
        return 0;
    }
    return id;
}

ScopedCFRef<CFMutableDictionaryRef> makeHidDeviceMatching() {
    return ScopedCFRef<CFMutableDictionaryRef>::adopt(IOServiceMatching(kIOHIDDeviceKey));
}

void sortEntries(std::vector<HidDeviceEntry>& entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const HidDeviceEntry& a, const HidDeviceEntry& b) {
                         return std::tie(a.registryEntryId, a.usagePairIndex) <
                                std::tie(b.registryEntryId, b.usagePairIndex);
                     });
}

}  // namespace quenor::mac
