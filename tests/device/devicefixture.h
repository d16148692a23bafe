// DeviceTest: the fixture of the device suites. Each test plugs virtual devices,
// drives a MacHidDevice against them and ends with every platform object it
// made released exactly once: live CF objects, registry references and COM
// references are back where they started.
#pragma once

#include <quenor/abstracthiddevice.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/hiddeviceentry.h>
#include <quenor/mac/macdevicedescriptorhandle.h>
#include <quenor/mac/machiddevice.h>
#include <vmac/control.h>
#include <vmac/gadget.h>

#include "tests/vmac/testkit.h"

#include <gtest/gtest.h>

// The standard headers the device suites use.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

namespace devicetest {

using vmactest::eventually;
using vmactest::fault;

inline constexpr const char* kGadgetPath = "IOService:/vmac/Gadget@1/Interface@0/HIDDevice";

// Long enough never to fire on a loaded machine; short enough to fail, not hang.
inline constexpr std::chrono::seconds kPatience{20};

using Bytes = std::vector<uint8_t>;
using Result = AbstractHidDevice::AsyncOpResult;

// An IOReturn as the device reports a status: widened with its sign.
inline int64_t widened(IOReturn code) {
    return static_cast<int32_t>(code);
}

// The record of a read that ran on a device that was not open.
inline const Result kNotOpenRead{false, 0, nullptr, 0, 0};

// The record of an input read that found no report: the caller's buffer.
inline Result noReport(const ReportBuffer& buffer) {
    return {false, -1, buffer, 0, 0};
}

// Whether a thread of this process carries `name`, as the host lists them.
inline bool aThreadIsNamed(const std::string& name) {
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::string taskName;
        if (std::getline(std::ifstream(task.path() / "comm"), taskName) && taskName == name)
            return true;
    }
    return false;
}

// usage, usagePage and the input, output and feature report sizes, as read by an open.
inline std::vector<int> numbersOf(AbstractHidDevice* device) {
    return {device->usage(), device->usagePage(), device->reportSize(AbstractHidDevice::Input),
            device->reportSize(AbstractHidDevice::Output),
            device->reportSize(AbstractHidDevice::Feature)};
}

// All five fields, the buffer by identity (the caller's own buffer, not a copy).
inline std::string record(const Result& r) {
    std::ostringstream out;
    out << "{" << r.success << ", " << r.bytesTransferred << ", " << r.buffer.get() << ", "
        << int(r.reportId) << ", " << r.status << "}";
    return out.str();
}

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        vmac::reset();
        live_ = vmac::LiveCounts::now();
    }

    void TearDown() override {
        devices_.clear();  // closes and joins everything the test left open
        vmac::reset();
        // A call left running past the grace lets its references go on its own thread
        // when it returns, which may be after the test's last step.
        eventually([&] { return live_ == vmac::LiveCounts::now(); });
        EXPECT_EQ(live_, vmac::LiveCounts::now()) << "leaked or over-released";
    }

    // A small vendor-defined gadget under a USB interface: usage 1 on page 0xFF00,
    // 64-byte input and output reports, 16-byte feature reports, three strings.
    vmac::VirtualDevice plugGadget(const std::string& path = kGadgetPath,
                                   vmac::ParentKind parent = vmac::ParentKind::UsbInterface) {
        vmac::Gadget gadget;
        gadget.path = path, gadget.parent = parent;
        gadget.primaryUsage = 1, gadget.primaryUsagePage = 0xFF00;
        gadget.maxInputReportSize = gadget.maxOutputReportSize = 64;
        gadget.maxFeatureReportSize = 16;
        gadget.manufacturer = "Quenor Test Works", gadget.product = "Echo Gadget";
        gadget.serialNumber = "QT-0001";
        return gadget.plug();
    }

    // A device for any descriptor, owned by the fixture: deleted at the end of the
    // test, or earlier through destroyDevice().
    AbstractHidDevice* makeDeviceFor(const HidDeviceDescriptor& descriptor) {
        devices_.emplace_back(AbstractHidDevice::create(descriptor));
        return devices_.back().get();
    }

    // A device for `path` and usage pair `index`, owned like those of makeDeviceFor.
    AbstractHidDevice* makeDevice(const std::string& path = kGadgetPath, int index = 0) {
        return makeDeviceFor(HidDeviceDescriptor(
            new MacDeviceDescriptorHandle(std::wstring(path.begin(), path.end()), index)));
    }

    void destroyDevice(AbstractHidDevice* device) {
        auto it = std::find_if(devices_.begin(), devices_.end(),
                               [&](const auto& owned) { return owned.get() == device; });
        ASSERT_NE(devices_.end(), it) << "not a fixture device";
        devices_.erase(it);
    }

    // Waits for a request and returns its value; fails the test if it never comes.
    template <typename T>
    static T await(const hidutil::async_request<T>& request) {
        if (!request.wait_for(kPatience)) {
            ADD_FAILURE() << "request still pending after " << kPatience.count() << " s";
            return T{};
        }
        return request.value();
    }

    // The record a transfer answers with; a failure if it never does.
    static std::string answer(const hidutil::async_request<Result>& request) {
        return record(await(request));
    }

    static ReportBuffer bytes(Bytes content) { return std::make_shared<Bytes>(std::move(content)); }

    static void inject(vmac::VirtualDevice& gadget, uint32_t id, const Bytes& report) {
        EXPECT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(id, report).wait());
    }

    // Reads one input report without waiting: its bytes, or nothing.
    static Bytes readQueued(AbstractHidDevice* device) {
        ReportBuffer buffer = bytes(Bytes(64));
        const int32_t length = await(device->getReport(buffer, 0)).bytesTransferred;  // -1: none
        return {buffer->begin(), buffer->begin() + std::max(0, length)};
    }

    // A reference to the device's platform object (if any), to watch it after the
    // device let it go. It counts as live: drop it before the test ends.
    using HeldObject = std::unique_ptr<const void, void (*)(const void*)>;
    static HeldObject holdPlatformObject(AbstractHidDevice* device) {
        const void* object = device->nativeHandle();
        return HeldObject(object ? CFRetain(object) : nullptr,
                          [](const void* held) { CFRelease(held); });
    }

private:
    std::vector<std::unique_ptr<AbstractHidDevice>> devices_;
    vmac::LiveCounts live_;
};

// A DeviceTest with the standard gadget plugged in as `gadget`. A platform call
// left blocked by a failed expectation would hold the device's destruction up for
// good; TearDown lets it return so that the test fails instead of hanging.
class GadgetTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        gadget = plugGadget();
    }

    AbstractHidDevice* openDevice(int shareMode = 1) {
        AbstractHidDevice* device = makeDevice();
        EXPECT_TRUE(device->open(0, shareMode));
        return device;
    }

    void TearDown() override {
        gadget.releaseBlockedCalls();
        DeviceTest::TearDown();
    }

    vmac::VirtualDevice gadget;
};

// RegistryTest: a DeviceTest that plugs devices with their registry properties in
// place (as a real device is published), for the enumerator and monitor suites.
using Pairs = std::vector<std::pair<long long, long long>>;

// "path/index", the way a descriptor prints, narrowed.
inline std::string where(const HidDeviceEntry& entry) {
    return std::string(entry.path.begin(), entry.path.end()) + "/" +
           std::to_string(entry.usagePairIndex);
}

class RegistryTest : public DeviceTest {
protected:
    void TearDown() override {
        vmac::setNotificationFaults({});
        DeviceTest::TearDown();  // its live counts include the notification ports
    }

    // A USB HID device with an identity of its own; `pairs` empty leaves
    // "DeviceUsagePairs" out, and the primary pair is the first pair (or 1/1).
    static vmac::VirtualDevice plugHid(const std::string& path, long long vendor, long long product,
                                       const Pairs& pairs) {
        vmac::Gadget hid;
        hid.path = path, hid.vendorId = vendor, hid.productId = product, hid.versionNumber = 0x0100;
        hid.manufacturer = "Maker " + std::to_string(vendor);
        hid.product = "Product " + std::to_string(product);
        hid.serialNumber = "SN-" + path.substr(path.rfind('/') + 1);
        hid.primaryUsagePage = pairs.empty() ? 1 : pairs.front().first;
        hid.primaryUsage = pairs.empty() ? 1 : pairs.front().second;
        hid.maxInputReportSize = hid.maxOutputReportSize = 64;
        hid.maxFeatureReportSize = 8, hid.transport = "USB";
        if (!pairs.empty()) {
            hid.usagePairs.emplace();
            for (const auto& [page, usage] : pairs)
                hid.usagePairs->push_back({page, usage});
        }
        return hid.plug();
    }
};

}  // namespace devicetest
