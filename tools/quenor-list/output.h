// How quenor-list writes an entry: one text line, or one JSON object.
#pragma once

#include <cstdint>
#include <string>

#include <quenor/mac/hiddeviceentry.h>

// "path  #index  vvvv:pppp  page:usage  "manufacturer"  "product"  "serial"  transport".
std::string textLine(const HidDeviceEntry& entry);
// {"path": ..., "index": ..., "registryEntryId": ..., "vendorId": ..., ...}; `event` is
// added when not empty.
std::string jsonObject(const HidDeviceEntry& entry, const char* event = "");

// Tries to open the entry's device (shared) and closes it again: 0 when it opened,
// otherwise MacHidDevice::lastOpenStatus().
std::int64_t tryOpen(const HidDeviceEntry& entry);
// "opens", or "cannot open: <the status in words>".
std::string openText(std::int64_t status);
// `object` (from jsonObject) with "opens" and, when it did not, "openStatus" and "openError".
std::string withOpenResult(const std::string& object, std::int64_t status);
