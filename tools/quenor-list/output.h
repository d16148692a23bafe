// How quenor-list writes an entry: one text line, or one JSON object.
#pragma once

#include <string>

#include <quenor/mac/hiddeviceentry.h>

// "path  #index  vvvv:pppp  page:usage  "manufacturer"  "product"  "serial"".
std::string textLine(const HidDeviceEntry& entry);
// {"path": ..., "index": ..., "vendorId": ..., ...}; `event` is added when not empty.
std::string jsonObject(const HidDeviceEntry& entry, const char* event = "");
