// The table holds codes by value rather than by the platform's macros so that it builds on every
// host; the values are IOKit's (IOReturn.h, usb/USB.h) and never change.
#include "quenor/status.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

namespace quenor {
namespace {

struct KnownStatus {
    std::uint32_t code;
    const char* name;
    const char* meaning;
};

constexpr KnownStatus knownStatuses[] = {
    {0x00000000, "kIOReturnSuccess", "success"},
    {0xE00002BC, "kIOReturnError", "the device or its driver failed without giving a reason"},
    {0xE00002BD, "kIOReturnNoMemory", "out of memory"},
    {0xE00002BE, "kIOReturnNoResources", "the system ran short of a resource the call needs"},
    {0xE00002BF, "kIOReturnIPCError", "the call to the system's HID service failed in transit"},
    {0xE00002C0, "kIOReturnNoDevice", "no such device"},
    {0xE00002C1, "kIOReturnNotPrivileged", "this process lacks the privilege for the call"},
    {0xE00002C2, "kIOReturnBadArgument",
     "an argument was refused (an empty or oversized report, or a bad size)"},
    {0xE00002C5, "kIOReturnExclusiveAccess",
     "another client holds the device exclusively, or it is in use and exclusive access was asked"},
    {0xE00002C7, "kIOReturnUnsupported", "the device or its driver does not support this call"},
    {0xE00002CA, "kIOReturnIOError", "an input/output error on the bus"},
    {0xE00002CD, "kIOReturnNotOpen", "the device is not open"},
    {0xE00002CE, "kIOReturnNotReadable", "the device cannot be read this way"},
    {0xE00002CF, "kIOReturnNotWritable", "the device cannot be written this way"},
    {0xE00002D5, "kIOReturnBusy", "the device is busy"},
    {0xE00002D6, "kIOReturnTimeout", "timed out: the device did not answer in time"},
    {0xE00002D7, "kIOReturnOffline", "the device is offline"},
    {0xE00002D8, "kIOReturnNotReady", "the device is not ready"},
    {0xE00002D9, "kIOReturnNotAttached", "the device is gone"},
    {0xE00002DB, "kIOReturnNoSpace", "no space for the data"},
    {0xE00002E2, "kIOReturnNotPermitted",
     "not permitted: allow this application under Input Monitoring in System Settings > Privacy & "
     "Security"},
    {0xE00002E3, "kIOReturnNoPower", "the device has no power"},
    {0xE00002E7, "kIOReturnUnderrun", "data underrun"},
    {0xE00002E8, "kIOReturnOverrun", "data overrun"},
    {0xE00002E9, "kIOReturnDeviceError", "the device is not working properly"},
    {0xE00002EB, "kIOReturnAborted",
     "aborted: the request was cancelled (the device was closed or deleted, or its pipes aborted)"},
    {0xE00002ED, "kIOReturnNotResponding", "the device does not respond"},
    {0xE00002F0, "kIOReturnNotFound", "not found"},
    {0xE000404F, "kIOUSBPipeStalled", "the device stalled the pipe: it refused the request"},
    {0xE0004050, "kIOUSBTransactionReturned", "the USB transfer was returned unfinished"},
    {0xE0004051, "kIOUSBTransactionTimeout", "timed out: the USB transfer got no answer"},
    {0xE0004061, "kIOUSBUnknownPipeErr", "the USB pipe is not known"},
};

}  // namespace

std::string describeStatus(std::int64_t status) {
    // IOReturn is 32 bits: both its sign-widened and its plain unsigned form name the same code.
    constexpr std::int64_t lowest = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t highest = std::numeric_limits<std::uint32_t>::max();
    char hex[2 + 16 + 1];
    if (status < lowest || status > highest) {
        std::snprintf(hex, sizeof hex, "0x%016" PRIX64, static_cast<std::uint64_t>(status));
        return std::string(hex) + ": unknown status";
    }
    const auto code = static_cast<std::uint32_t>(status);
    std::snprintf(hex, sizeof hex, "0x%08" PRIX32, code);
    for (const KnownStatus& known : knownStatuses) {
        if (known.code == code) {
            return std::string(known.name) + " (" + hex + "): " + known.meaning;
        }
    }
    return std::string(hex) + ": unknown status";
}

}  // namespace quenor
