// Reading typed properties of a platform HID device. Values are borrowed from the
// device object; nothing here takes or releases a reference. Missing or mistyped
// properties read as 0 or empty, never as an error.
#pragma once

#include <cstdint>
#include <string>

#include "quenor/mac/platform.h"

namespace quenor::mac {

// The property as a signed 32-bit number; 0 unless it exists and is a CFNumber.
int32_t numberProperty(IOHIDDeviceRef device, CFStringRef key);

// The property as UTF-8 text of at most 1,023 bytes, cut at the first zero byte;
// empty unless it exists and is a CFString.
std::string getStringProperty(IOHIDDeviceRef device, CFStringRef key);

// The usage pair at `index` of "DeviceUsagePairs", as { usage, usagePage }; both
// are -1 when the index, the array or the pair is missing or mistyped.
struct UsagePair {
    int32_t usage = -1;
    int32_t usagePage = -1;
};
UsagePair usagePairAt(IOHIDDeviceRef device, int index);

// The same readings on a value already in hand (from a device object or a
// registry entry), so that every reader applies one rule.
int32_t numberValue(CFTypeRef value);
// A CFNumber as a 64-bit number (for unsigned 32-bit properties); 0 otherwise.
int64_t number64Value(CFTypeRef value);
std::string stringValue(CFTypeRef value);
UsagePair usagePairIn(CFTypeRef pairs, int index);

}  // namespace quenor::mac
