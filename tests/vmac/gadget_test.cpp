// The gadget builder and the live-count snapshot of <vmac/gadget.h>.
#include <vmac/gadget.h>

#include <sstream>
#include <stdexcept>

#include "vmacfixture.h"

namespace vmactest {
namespace {

using GadgetTest = VmacTest;

std::string textOf(CFTypeRef value) {
    char buffer[64] = {};
    const bool isText = value != nullptr && CFGetTypeID(value) == CFStringGetTypeID() &&
                        CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer,
                                           kCFStringEncodingUTF8);
    return isText ? buffer : "(not a string)";
}

// Every field reaches the device: properties in place when it is published,
// elements, the USB interface's answers and the report answers, in one plug().
TEST_F(GadgetTest, PlugsEveryFieldAsDescribed) {
    vmac::Gadget pad;
    pad.path = "IOService:/vmac/Pad@1/Interface@0/HIDDevice";
    pad.vendorId = 0x1209;
    pad.product = "Pad";
    pad.usagePairs = {{0xFF00, 1}, {0x000C, 1}};
    pad.maxInputReportSize = 9;
    pad.transport = "USB";
    pad.properties["Transport"] = vmac::HeldValue::adopt(vmac::makeNumber(5));  // wins, as a number
    pad.properties["Extra"] = std::string("more");
    pad.elements = {{0xFF00, 2, 1}};
    pad.releaseNumber = 0x0203;
    pad.numEndpoints = 3;
    pad.stringDescriptors[1] = vmac::stringDescriptor(u"Hi");
    pad.getReportAnswers = {{kIOReturnSuccess, {7, 8}}};
    pad.defaultSetReportAnswer.emplace().result = kIOReturnAborted;
    vmac::VirtualDevice device = pad.plug();

    auto matching = ScopedCFRef<CFMutableDictionaryRef>::adopt(IOServiceMatching(kIOHIDDeviceKey));
    const auto vendor = ScopedCFRef<CFNumberRef>::adopt(vmac::makeNumber(0x1209));
    CFDictionarySetValue(matching.get(), CFSTR("VendorID"), vendor.get());
    ScopedIOObject found;
    ASSERT_EQ(kIOReturnSuccess, IOServiceGetMatchingServices(MACH_PORT_NULL, matching.release(),
                                                             found.initializeInto()));
    EXPECT_TRUE(ScopedIOObject::adopt(IOIteratorNext(found.get()))) << "not matched at publish";

    const auto hid = createHid(device);
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid.get(), kIOHIDOptionsTypeNone));
    const auto property = [&](const char* key) {
        const auto name = ScopedCFRef<CFStringRef>::adopt(vmac::makeString(key));
        return IOHIDDeviceGetProperty(hid.get(), name.get());
    };
    EXPECT_EQ(0x1209, int32Of(property("VendorID")));
    EXPECT_EQ(9, int32Of(property("MaxInputReportSize")));
    EXPECT_EQ("Pad", textOf(property("Product")));
    EXPECT_EQ("more", textOf(property("Extra")));
    EXPECT_EQ(5, int32Of(property("Transport")));
    EXPECT_EQ(nullptr, property("Manufacturer")) << "a field left empty is no property";
    const CFTypeRef pairs = property("DeviceUsagePairs");
    ASSERT_TRUE(pairs && CFGetTypeID(pairs) == CFArrayGetTypeID());
    EXPECT_EQ(2, CFArrayGetCount(static_cast<CFArrayRef>(pairs)));
    const auto elements = ScopedCFRef<CFArrayRef>::adopt(
        IOHIDDeviceCopyMatchingElements(hid.get(), nullptr, kIOHIDOptionsTypeNone));
    ASSERT_EQ(1, CFArrayGetCount(elements.get()));
    EXPECT_EQ(1u, IOHIDElementGetReportID(static_cast<IOHIDElementRef>(
                      const_cast<void*>(CFArrayGetValueAtIndex(elements.get(), 0)))));

    const auto intf = usbInterfaceOf(device.parentEntry());
    ASSERT_TRUE(intf);
    IOUSBInterfaceStruct190** usb = intf.get();
    UInt16 release = 0;
    UInt8 endpoints = 0;
    EXPECT_EQ(kIOReturnSuccess, (*usb)->GetDeviceReleaseNumber(usb, &release));
    EXPECT_EQ(kIOReturnSuccess, (*usb)->GetNumEndpoints(usb, &endpoints));
    EXPECT_EQ(0x0203, release);
    EXPECT_EQ(3, endpoints);
    uint8_t descriptor[8] = {};
    IOUSBDevRequest request = {0x80, 6, 0x0301, 0x0409, sizeof descriptor, descriptor, 0};
    EXPECT_EQ(kIOReturnSuccess, (*usb)->ControlRequest(usb, 0, &request));
    EXPECT_EQ((std::vector<uint8_t>{6, 3, 'H', 0, 'i', 0, 0, 0}),
              std::vector<uint8_t>(descriptor, descriptor + 8));

    uint8_t report[4] = {};
    CFIndex length = sizeof report;
    EXPECT_EQ(kIOReturnSuccess,
              IOHIDDeviceGetReport(hid.get(), kIOHIDReportTypeFeature, 1, report, &length));
    EXPECT_EQ(2, length);
    EXPECT_EQ(8, report[1]);
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
    EXPECT_NE(before, during);
    EXPECT_EQ("CFType +2, io_object +1, COM 0, IONotificationPort +1", during.since(before));
    CFRelease(text);
    IOObjectRelease(entry);
    IONotificationPortDestroy(port);
    EXPECT_EQ(before, vmac::LiveCounts::now());
    EXPECT_EQ("CFType -2, io_object -1, COM 0, IONotificationPort -1",
              vmac::LiveCounts::now().since(during));
    std::ostringstream printed;
    printed << vmac::LiveCounts{1, 2, 3, 4};
    EXPECT_EQ("CFType 1, io_object 2, COM 3, IONotificationPort 4", printed.str());
}

}  // namespace
}  // namespace vmactest
