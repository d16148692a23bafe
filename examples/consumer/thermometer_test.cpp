// The thermometer driver against a virtual thermometer: no hardware, no Mac. The virtual
// device's "firmware" answers the driver's requests the way the real device does, and the
// test ends by checking that the driver left no platform object behind.
#include "thermometer.h"

#include <vmac/gadget.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace {

const char* const kPath = "IOService:/vmac/Thermometer@14200000/Interface@0/HID";

std::wstring wide(const char* ascii) {
    return std::wstring(ascii, ascii + std::char_traits<char>::length(ascii));
}

class ThermometerTest : public ::testing::Test {
protected:
    void SetUp() override {
        vmac::reset();
        before_ = vmac::LiveCounts::now();
        vmac::Gadget thermometer;  // what the real device shows the I/O Registry
        thermometer.path = kPath;
        thermometer.primaryUsagePage = 0xFF00;
        thermometer.primaryUsage = 0x01;
        thermometer.maxInputReportSize = thermometer.maxOutputReportSize = 8;
        device_ = thermometer.plug();
    }

    void TearDown() override {
        vmac::reset();
        EXPECT_EQ(before_, vmac::LiveCounts::now()) << "platform objects leaked";
    }

    // The firmware: a request { 1, 0x10 } makes it send { 2, low, high } for `hundredths`;
    // it first sends `noise` (a button report) when asked to.
    void answerWith(int16_t hundredths, bool noise = false) {
        device_.setReportResponder([this, hundredths, noise](const vmac::ReportCall& call) {
            if (call.kind == vmac::ReportCallKind::Set && call.reportId == 1 &&
                call.bytes.size() >= 2 && call.bytes[1] == 0x10) {
                ++requests_;
                if (noise) {
                    device_.injectInputReport(3, {3, 0x01});
                }
                const auto raw = static_cast<uint16_t>(hundredths);
                device_.injectInputReport(
                    2, {2, static_cast<uint8_t>(raw & 0xFF), static_cast<uint8_t>(raw >> 8)});
            }
            return vmac::ReportAnswer{};
        });
    }

    vmac::VirtualDevice device_;
    std::atomic<int> requests_{0};
    vmac::LiveCounts before_;
};

TEST_F(ThermometerTest, MeasuresThroughTheDevice) {
    answerWith(2150);
    Thermometer thermometer(wide(kPath));
    ASSERT_TRUE(thermometer.connect());
    EXPECT_EQ(std::optional<double>(21.5), thermometer.measure());

    answerWith(-1025, /*noise=*/true);  // below zero, behind a report of another kind
    EXPECT_EQ(std::optional<double>(-10.25), thermometer.measure());
    EXPECT_EQ(2, requests_.load());
}

TEST_F(ThermometerTest, SilentOrUnpluggedDeviceGivesNoReading) {
    Thermometer thermometer(wide(kPath), /*timeoutMs=*/100);
    ASSERT_TRUE(thermometer.connect());
    EXPECT_EQ(std::nullopt, thermometer.measure());  // takes the request, never answers

    device_.unplug().wait();
    EXPECT_FALSE(thermometer.isConnected());
    EXPECT_EQ(std::nullopt, thermometer.measure());
}

}  // namespace
