#include "thermometer.h"

#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>

#include <algorithm>
#include <cstdint>

namespace {
constexpr unsigned char kRequestId = 1;
constexpr uint8_t kMeasure = 0x10;
constexpr uint8_t kAnswerId = 2;
}  // namespace

Thermometer::Thermometer(const std::wstring& registryPath, long timeoutMs)
    : m_timeoutMs(timeoutMs),
      m_device(AbstractHidDevice::create(
          HidDeviceDescriptor(new MacDeviceDescriptorHandle(registryPath, 0)))) {}

bool Thermometer::connect() {
    constexpr int kShared = 1;
    return m_device->isOpened() || m_device->open(0, kShared);
}

bool Thermometer::isConnected() const {
    return m_device->isOpened();
}

std::optional<double> Thermometer::measure() {
    ReportBuffer request = m_device->allocateReport(AbstractHidDevice::Output);
    if (request->size() < 2) {
        return std::nullopt;
    }
    std::fill(request->begin(), request->end(), 0);
    (*request)[0] = kRequestId;
    (*request)[1] = kMeasure;
    auto sent = m_device->setReport(kRequestId, request, m_timeoutMs);
    if (!sent.wait_for(2 * m_timeoutMs) || !sent.value().success) {
        return std::nullopt;
    }
    // Other input reports may come first (a button, say); the answer is the first report 2.
    while (true) {
        ReportBuffer answer = m_device->allocateReport(AbstractHidDevice::Input);
        auto read = m_device->getReport(answer, m_timeoutMs);
        if (!read.wait_for(2 * m_timeoutMs) || !read.value().success) {
            return std::nullopt;
        }
        if (read.value().bytesTransferred >= 3 && (*answer)[0] == kAnswerId) {
            const auto hundredths = static_cast<int16_t>((*answer)[1] | ((*answer)[2] << 8));
            return hundredths / 100.0;
        }
    }
}
