// The application's driver for its USB thermometer, a vendor-defined HID device.
//
// Protocol: output report 1 = { 1, 0x10 } asks for a measurement; the device answers with
// input report 2 = { 2, low, high }, the temperature in hundredths of a degree Celsius as a
// signed 16-bit little-endian number.
//
// One thread uses a Thermometer at a time.
#pragma once

#include <quenor/abstracthiddevice.h>

#include <memory>
#include <optional>
#include <string>

class Thermometer {
public:
    // `registryPath` names the device in the I/O Registry; `timeoutMs` bounds each step.
    explicit Thermometer(const std::wstring& registryPath, long timeoutMs = 1000);

    // Opens the device (shared with other applications). True when it is open.
    bool connect();
    bool isConnected() const;
    // Degrees Celsius, or nothing when the device is not connected, does not take the request
    // or does not answer in time.
    std::optional<double> measure();

private:
    long m_timeoutMs;
    std::unique_ptr<AbstractHidDevice> m_device;
};
