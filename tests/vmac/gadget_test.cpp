// The gadget builder and the live-count snapshot of <vmac/gadget.h>. A gadget's properties and
// elements are held by hiddevice_test.cpp; that they are in place when it is published, by the
// matching notifications' tests.
#include <vmac/gadget.h>

#include <sstream>

#include "vmacfixture.h"

namespace vmactest {
namespace {

using GadgetTest = VmacTest;

// The fields the properties and elements tests of hiddevice_test.cpp do not plug reach the
// device: the USB interface's answers and the report answers.
TEST_F(GadgetTest, PlugsEveryFieldAsDescribed) {
    vmac::Gadget pad;
    pad.releaseNumber = 0x0203, pad.numEndpoints = 3;
    pad.stringDescriptors[1] = vmac::stringDescriptor(u"Hi");
    pad.getReportAnswers = {{kIOReturnSuccess, {7, 8}}};
    pad.defaultSetReportAnswer.emplace().result = kIOReturnAborted;
    vmac::VirtualDevice device = pad.plug();
    const auto hid = createHid(device);
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid.get(), kIOHIDOptionsTypeNone));

    const auto intf = usbInterfaceOf(device.parentEntry());
    ASSERT_TRUE(intf);
    IOUSBInterfaceStruct190** usb = intf.get();
    UInt16 release = 0;
    UInt8 endpoints = 0;
    (*usb)->GetDeviceReleaseNumber(usb, &release), (*usb)->GetNumEndpoints(usb, &endpoints);
    EXPECT_EQ(std::make_pair(UInt16{0x0203}, UInt8{3}), std::make_pair(release, endpoints));
    uint8_t descriptor[8] = {};
    IOUSBDevRequest request = {0x80, 6, 0x0301, 0x0409, sizeof descriptor, descriptor, 0};
    EXPECT_EQ(kIOReturnSuccess, (*usb)->ControlRequest(usb, 0, &request));
    EXPECT_EQ((std::vector<uint8_t>{6, 3, 'H', 0, 'i', 0, 0, 0}),
              std::vector<uint8_t>(descriptor, descriptor + 8));

    uint8_t report[4] = {};
    CFIndex length = sizeof report;
    EXPECT_EQ(kIOReturnSuccess,
              IOHIDDeviceGetReport(hid.get(), kIOHIDReportTypeFeature, 1, report, &length));
    EXPECT_EQ(std::make_pair(CFIndex{2}, uint8_t{8}), std::make_pair(length, report[1]));
    EXPECT_EQ(kIOReturnAborted,
              IOHIDDeviceSetReport(hid.get(), kIOHIDReportTypeOutput, 1, report, 1));

    // The description stays as it was: plugged again, it makes another device.
    vmac::Gadget copy = pad;
    copy.path += "2";
    EXPECT_TRUE(copy.plug().isPlugged());
}

TEST_F(GadgetTest, LiveCountsSayWhatMoved) {
    vmac::VirtualDevice device = vmac::Gadget().plug();
    const vmac::LiveCounts before = vmac::LiveCounts::now();
    CFStringRef text = vmac::makeString("x");
    io_registry_entry_t entry = IORegistryEntryFromPath(MACH_PORT_NULL, device.path().c_str());
    IONotificationPortRef port = IONotificationPortCreate(MACH_PORT_NULL);  // and its source
    const vmac::LiveCounts during = vmac::LiveCounts::now();
    EXPECT_EQ("CFType +2, io_object +1, COM 0, IONotificationPort +1", during.since(before));
    CFRelease(text), IOObjectRelease(entry), IONotificationPortDestroy(port);
    EXPECT_EQ(before, vmac::LiveCounts::now());
    EXPECT_NE(before, during);
    std::ostringstream printed;
    printed << vmac::LiveCounts{1, 2, 3, 4};
    EXPECT_EQ("CFType 1, io_object 2, COM 3, IONotificationPort 4", printed.str());
}

}  // namespace
}  // namespace vmactest
