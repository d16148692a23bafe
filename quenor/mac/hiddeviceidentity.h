// What a HID device says about itself in the I/O Registry, read without opening it.
//
// A plain value: copy it, compare it, keep it after the device has gone. Every field
// is read from a registry property of the device; a property that is missing or of
// the wrong type reads as 0 or empty, exactly as opening the device reads it (numbers
// as signed 32-bit values cut to their low 16 bits, text as UTF-8 of at most 1,023
// bytes). `usagePage` and `usage` are those of the usage pair the entry names, and
// fall back to the primary pair where opening the device would.
#pragma once

#include <quenor/export.h>
#include <quenor/hiddevicedescriptor.h>

#include <cstdint>
#include <optional>
#include <string>

struct QUENOR_EXPORT HidDeviceIdentity {
    uint16_t vendorId = 0;       // "VendorID"
    uint16_t productId = 0;      // "ProductID"
    uint16_t releaseNumber = 0;  // "VersionNumber", BCD as the device reports it
    std::string manufacturer;    // "Manufacturer"
    std::string product;         // "Product"
    std::string serialNumber;    // "SerialNumber"
    uint16_t usagePage = 0;      // of the entry's usage pair
    uint16_t usage = 0;
    uint16_t primaryUsagePage = 0;  // "PrimaryUsagePage"
    uint16_t primaryUsage = 0;      // "PrimaryUsage"
    uint16_t maxInputReportSize = 0;
    uint16_t maxOutputReportSize = 0;
    uint16_t maxFeatureReportSize = 0;
    std::string transport;    // "Transport": "USB", "Bluetooth", ...
    uint32_t locationId = 0;  // "LocationID"
    // The device's parent is a USB interface, so usbString() and usbDeviceVersion()
    // ask the USB device. Without one (Bluetooth, SPI, user-space devices) the
    // device still opens; usbString() then answers the product name and
    // usbDeviceVersion() the "VersionNumber" property.
    bool usbStringsAvailable = false;

    bool operator==(const HidDeviceIdentity& other) const;
    bool operator!=(const HidDeviceIdentity& other) const { return !(*this == other); }
};

// The identity of the device a descriptor names (its MacDeviceDescriptorHandle's entry
// ID, or path, and usage-pair index), read from the registry now. Empty when the
// descriptor has no macOS handle or names no registered device (it is not plugged in).
QUENOR_EXPORT std::optional<HidDeviceIdentity> readHidDeviceIdentity(
    const HidDeviceDescriptor& descriptor);
