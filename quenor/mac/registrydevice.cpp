#include "quenor/mac/registrydevice.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "quenor/mac/deviceproperties.h"
#include "quenor/mac/iostatus.h"

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
    identity.usbStringsAvailable = hasUsbInterfaceParent(entry);
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

// The whole service-plane path, however long (IORegistryEntryGetPath stops at
// 511 bytes). False once the entry has been detached.
bool readPath(io_registry_entry_t entry, std::wstring& path) {
    auto text = ScopedCFRef<CFStringRef>::adopt(IORegistryEntryCopyPath(entry, kIOServicePlane));
    if (!text) {
        return false;
    }
    // Registry paths are ASCII; a CFString gives up its text only into a buffer
    // large enough, so grow until it fits (a path is rarely over 512 bytes).
    std::vector<char> buffer(1024);
    while (!CFStringGetCString(text.get(), buffer.data(), static_cast<CFIndex>(buffer.size()),
                               kCFStringEncodingUTF8)) {
        if (buffer.size() >= (std::size_t{1} << 20)) {
            return false;
        }
        buffer.resize(buffer.size() * 4);
    }
    path.clear();
    for (const char* c = buffer.data(); *c != '\0'; ++c) {
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

bool hasUsbInterfaceParent(io_registry_entry_t entry) {
    ScopedIOObject parent;
    if (IORegistryEntryGetParentEntry(entry, kIOServicePlane, parent.initializeInto()) !=
        kIOReturnSuccess) {
        return false;
    }
    // The interface nub: IOUSBHostInterface from macOS 11, IOUSBInterface before.
    return IOObjectConformsTo(parent.get(), "IOUSBHostInterface") ||
           IOObjectConformsTo(parent.get(), "IOUSBInterface");
}

ScopedIOObject findEntry(MacDeviceDescriptorHandle& handle, int64_t& status) {
    ScopedIOObject entry;
    if (const uint64_t id = handle.registryEntryId()) {
        // Consumes the dictionary; a NULL one (no memory) finds nothing.
        entry = ScopedIOObject::adopt(
            IOServiceGetMatchingService(MACH_PORT_NULL, IORegistryEntryIDMatching(id)));
    } else {
        const std::string path = handle.devicePath();
        io_string_t registryPath = {};
        if (path.size() >= sizeof registryPath) {
            status = widenStatus(kIOReturnBadArgument);  // longer than the call can take
            return entry;
        }
        std::memcpy(registryPath, path.c_str(), path.size());
        entry = ScopedIOObject::adopt(IORegistryEntryFromPath(MACH_PORT_NULL, registryPath));
    }
    if (!entry) {
        status = widenStatus(kIOReturnNoDevice);
    }
    return entry;
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
