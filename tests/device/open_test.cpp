// Opening, properties and closing of MacHidDevice on virtual gadgets.

#include <quenor/mac/hiddeviceidentity.h>
#include <quenor/mac/inputmonitoring.h>

#include "devicefixture.h"

namespace devicetest {
namespace {

using Options = std::vector<IOOptionBits>;

class ForeignHandle : public HidDescriptorHandleBase {};

TEST_F(DeviceTest, OpenFailsWithoutAHidDeviceBehindTheDescriptorAndTellsWhy) {
    vmac::VirtualDevice gadget = plugGadget();
    const struct {
        AbstractHidDevice* device;
        IOReturn status;
    } cases[] = {
        {makeDeviceFor(HidDeviceDescriptor()), kIOReturnBadArgument},
        {makeDeviceFor(HidDeviceDescriptor(new ForeignHandle)), kIOReturnBadArgument},
        {makeDevice("IOService:/vmac/Gadget@1/Interface@0/Other"), kIOReturnNoDevice},
        {makeDevice(std::string(kGadgetPath) + std::string(600, 'x')), kIOReturnBadArgument},
        {makeDeviceFor(HidDeviceDescriptor(new MacDeviceDescriptorHandle(
             std::wstring(kGadgetPath, kGadgetPath + strlen(kGadgetPath)), 0,
             gadget.entryId() + 1000))),
         kIOReturnNoDevice},  // the right path, but another device's ID
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(c.device->open(0, 1));
        EXPECT_EQ(widened(c.status), static_cast<MacHidDevice*>(c.device)->lastOpenStatus());
        EXPECT_FALSE(c.device->isOpened());
        EXPECT_FALSE(c.device->close());
    }
    EXPECT_EQ(0, gadget.openCount());
    EXPECT_EQ(0, gadget.deviceObjectCount());
}

// Bluetooth, SPI and user-space devices have no USB interface: they open all the
// same, and answer the USB questions from their HID properties.
TEST_F(DeviceTest, ADeviceWithoutUsbInterfaceOpensAndAnswersFromItsProperties) {
    vmac::VirtualDevice gadget = plugGadget(kGadgetPath, vmac::ParentKind::Other);
    gadget.setNumberProperty("VersionNumber", 0x0213);
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(0x0213, device->usbDeviceVersion());
    EXPECT_EQ(L"Echo Gadget", await(device->usbString(2)).value);
    device->cancelAll();
    EXPECT_TRUE(gadget.pipeCalls().empty());
    inject(gadget, 0, {7, 8});
    EXPECT_EQ((Bytes{7, 8}), readQueued(device));
    EXPECT_FALSE(readHidDeviceIdentity(device->descriptor()).value().usbStringsAvailable);
}

// Keyboards, mice and touch pads open only with the user's Input Monitoring
// permission; other devices (a joystick, a vendor page) open without it. A
// refusal tells its status.
TEST_F(GadgetTest, InputMonitoringGatesKeyboardsMiceAndTouchPadsOnly) {
    const struct {
        vmac::InputMonitoring state;
        InputMonitoringAccess access;
    } states[] = {{vmac::InputMonitoring::Denied, InputMonitoringAccess::Denied},
                  {vmac::InputMonitoring::Unknown, InputMonitoringAccess::Unknown},
                  {vmac::InputMonitoring::Granted, InputMonitoringAccess::Granted}};
    for (const auto& pair : {std::pair{1LL, 6LL}, {1LL, 2LL}, {0x0DLL, 5LL}, {1LL, 4LL}}) {
        CFArrayRef pairs = vmac::makeUsagePairs({{0xFF00, 1}, pair});
        gadget.setProperty("DeviceUsagePairs", pairs);
        CFRelease(pairs);
        for (const auto& s : states) {
            SCOPED_TRACE(::testing::Message() << pair.second << " state " << int(s.state));
            vmac::setInputMonitoring(s.state);
            EXPECT_EQ(s.access, checkInputMonitoringAccess());
            const bool granted = s.access == InputMonitoringAccess::Granted;
            EXPECT_EQ(granted, requestInputMonitoringAccess());
            const bool opens = granted || pair.second == 4;
            AbstractHidDevice* device = makeDevice();
            EXPECT_EQ(opens, device->open(0, 1));
            EXPECT_EQ(opens ? 0 : widened(kIOReturnNotPermitted),
                      static_cast<MacHidDevice*>(device)->lastOpenStatus());
            destroyDevice(device);
        }
    }
}

TEST_F(GadgetTest, ShareModeChoosesTheOpenOptionsAndCloseUndoesTheOpenOnce) {
    AbstractHidDevice* device = makeDevice();
    EXPECT_FALSE(device->close());  // never opened
    const struct {
        int accessMode, shareMode;
        IOOptionBits expected;
    } cases[] = {{0, 0, kIOHIDOptionsTypeSeizeDevice}, {0, 1, kIOHIDOptionsTypeNone},
                 {0, -1, kIOHIDOptionsTypeNone},       {0, 7, kIOHIDOptionsTypeNone},
                 {3, 0, kIOHIDOptionsTypeSeizeDevice},  // accessMode is ignored
                 {-5, 1, kIOHIDOptionsTypeNone}};
    Options closes;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "access " << c.accessMode << " share " << c.shareMode);
        ASSERT_TRUE(device->open(c.accessMode, c.shareMode));
        HeldObject object = holdPlatformObject(device);  // to watch it after close
        EXPECT_EQ(Options{c.expected}, gadget.openOptions());
        EXPECT_EQ(c.expected == kIOHIDOptionsTypeSeizeDevice, gadget.isSeized());
        EXPECT_TRUE(gadget.inputCallbackRegistered() && gadget.removalCallbackRegistered() &&
                    gadget.isScheduled());

        EXPECT_TRUE(device->close());
        EXPECT_FALSE(device->close());
        closes.push_back(c.expected);
        EXPECT_EQ(closes, gadget.closeCalls());
        EXPECT_EQ(nullptr, device->nativeHandle());
        EXPECT_EQ(0, gadget.openCount());
        EXPECT_FALSE(gadget.inputCallbackRegistered() || gadget.removalCallbackRegistered() ||
                     gadget.isScheduled());
    }
    // A close the platform refuses still ends the open: the object stays open
    // while it lives, and closes once released.
    ASSERT_TRUE(device->open(0, 1));
    HeldObject held = holdPlatformObject(device);
    gadget.failCalls(fault(vmac::Call::DeviceClose, 1, kIOReturnNotPermitted));
    EXPECT_TRUE(device->close());
    EXPECT_EQ(0, gadget.pendingCallFaults(vmac::Call::DeviceClose));
    EXPECT_EQ(1, gadget.openCount());
    held.reset();
    EXPECT_EQ(0, gadget.openCount());
    EXPECT_EQ(0, gadget.deviceObjectCount());
}

// A seized device refuses other opens; shared opens coexist, each with a worker
// thread of its own; a reopen replaces the platform object.
TEST_F(GadgetTest, SeizedDeviceRefusesOtherOpensWhileSharedOpensCoexistAndReopensReplace) {
    AbstractHidDevice* owner = makeDevice();
    AbstractHidDevice* other = makeDevice();
    ASSERT_TRUE(owner->open(0, 0));
    void* const first = owner->nativeHandle();
    EXPECT_FALSE(other->open(0, 1));
    EXPECT_FALSE(other->open(0, 0));
    EXPECT_FALSE(owner->open(0, 0));  // reopening asks for a second platform object too
    EXPECT_FALSE(other->isOpened());
    EXPECT_EQ(first, owner->nativeHandle());
    EXPECT_EQ(1, gadget.openCount());
    EXPECT_EQ(1, gadget.deviceObjectCount());  // the refused objects were released
    EXPECT_TRUE(gadget.closeCalls().empty());
    inject(gadget, 0, {5});
    EXPECT_EQ(Bytes{5}, readQueued(owner));

    ASSERT_TRUE(owner->close());
    ASSERT_TRUE(other->open(0, 1));
    ASSERT_TRUE(owner->open(0, 1));
    EXPECT_EQ(2, gadget.openCount());
    EXPECT_NE(owner->nativeHandle(), other->nativeHandle());
    const std::vector<std::thread::id> workers = gadget.scheduledThreads();
    ASSERT_EQ(2u, workers.size());
    EXPECT_TRUE(workers[0] != workers[1] && workers[0] != std::this_thread::get_id());
    inject(gadget, 0, {1, 2});
    EXPECT_EQ((Bytes{1, 2}), readQueued(owner));
    EXPECT_EQ((Bytes{1, 2}), readQueued(other));
    EXPECT_TRUE(other->close());

    // Opening an open device builds a second open state and retires the first.
    HeldObject retired = holdPlatformObject(owner);
    gadget.setNumberProperty("PrimaryUsage", 2);
    ASSERT_TRUE(owner->open(0, 1));
    EXPECT_NE(retired.get(), owner->nativeHandle());
    EXPECT_EQ(2, owner->usage());
    EXPECT_EQ((Options{kIOHIDOptionsTypeSeizeDevice, kIOHIDOptionsTypeNone, kIOHIDOptionsTypeNone}),
              gadget.closeCalls());
    EXPECT_EQ(1, gadget.openCount());
    EXPECT_EQ(1u, gadget.scheduledThreads().size());
    inject(gadget, 0, {4});
    EXPECT_EQ(Bytes{4}, readQueued(owner));
    EXPECT_TRUE(readQueued(owner).empty());  // delivered once, not once per open state
}

// An array of one pair dictionary holding `page` and `usage` (null ones left out),
// which it takes over.
CFTypeRef pairOf(CFTypeRef page, CFTypeRef usage) {
    CFMutableDictionaryRef pair = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (auto [key, value] :
         {std::pair{CFSTR("DeviceUsagePage"), page}, {CFSTR("DeviceUsage"), usage}}) {
        if (value) {
            CFDictionarySetValue(pair, key, value);
            CFRelease(value);
        }
    }
    CFArrayRef pairs = vmac::makeArray({pair});
    CFRelease(pair);
    return pairs;
}

// Without a usable pair at the descriptor's index the device's primary usage
// (1 on page 0xFF00) is taken.
TEST_F(GadgetTest, UsagePairAtTheDescriptorsIndexOrThePrimaryUsage) {
    CFNumberRef six = vmac::makeNumber(6);
    const struct {
        CFTypeRef pairs;  // the "DeviceUsagePairs" value, taken over; null: none
        int index, usage, usagePage;
    } cases[] = {
        {vmac::makeUsagePairs({{0x01, 0x06}, {0x0C, 0x01}}), 0, 0x06, 0x01},
        {vmac::makeUsagePairs({{0x01, 0x06}, {0x0C, 0x01}}), 1, 0x01, 0x0C},
        {vmac::makeUsagePairs({{0x10001, 0x20006}}), 0, 6, 1},  // truncated to 16 bits
        {vmac::makeUsagePairs({{0, 0}}), 0, 0, 0},
        {vmac::makeUsagePairs({{1, 6}}), -1, 1, 0xFF00},
        {vmac::makeUsagePairs({{1, 6}}), 1, 1, 0xFF00},
        {vmac::makeUsagePairs({{-1, 6}}), 0, 1, 0xFF00},
        {vmac::makeUsagePairs({{1, -6}}), 0, 1, 0xFF00},
        {nullptr, 0, 1, 0xFF00},
        {vmac::makeUsagePair(1, 6), 0, 1, 0xFF00},                     // no array
        {vmac::makeArray({six}), 0, 1, 0xFF00},                        // no dictionary in it
        {pairOf(nullptr, CFRetain(six)), 0, 1, 0xFF00},                // no page
        {pairOf(CFRetain(six), vmac::makeString("6")), 0, 1, 0xFF00},  // a usage that is text
    };
    CFRelease(six);
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        gadget.setProperty("DeviceUsagePairs", c.pairs);
        if (c.pairs) {
            CFRelease(c.pairs);
        }
        AbstractHidDevice* device = makeDevice(kGadgetPath, c.index);
        EXPECT_TRUE(device->open(0, 1));
        EXPECT_EQ(c.usage, device->usage());
        EXPECT_EQ(c.usagePage, device->usagePage());
        destroyDevice(device);
    }
}

// What an open reads stays until the next open, across a close; a close keeps
// the report pool too, and a buffer whose transfer record is still held stays out of it. Numbers
// keep their low 16 bits. Strings are read into a 1,024-byte buffer: 1,023 bytes of UTF-8 fit, a
// longer text does not convert and reads as empty, not cut. The USB version is asked of the
// interface each time.
TEST_F(GadgetTest, CloseKeepsWhatTheLastOpenReadAndTheReportPool) {
    gadget.setReleaseNumber(0x0213);
    AbstractHidDevice* device = makeDevice();
    EXPECT_EQ(std::vector<int>(5, 0), numbersOf(device));  // before the first open
    EXPECT_EQ(0, device->usbDeviceVersion());

    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(0x0213, device->usbDeviceVersion());
    gadget.setReleaseNumber(0x0213, kIOReturnNotPermitted);
    EXPECT_EQ(0, device->usbDeviceVersion());
    gadget.setReleaseNumber(0x0100);
    EXPECT_EQ(0x0100, device->usbDeviceVersion());
    ReportBuffer pooled = device->allocateReport(AbstractHidDevice::Input);
    const auto* const pooledAddress = pooled.get();
    (*pooled)[0] = 0x5A;
    auto held = std::make_optional(device->setReport(1, pooled, 1000));  // a held record holds it
    ASSERT_TRUE(await(*held).success);
    ASSERT_TRUE(await(device->getFeature(1, bytes({0}))).success);  // the queue has moved on
    pooled.reset();
    EXPECT_NE(pooledAddress, device->allocateReport(AbstractHidDevice::Input).get());
    held.reset();  // a finished transfer's buffer goes back once its record is let go
    ASSERT_TRUE(device->close());
    EXPECT_EQ(0, device->usbDeviceVersion());

    gadget.setNumberProperty("PrimaryUsage", 0x10002);
    gadget.setNumberProperty("PrimaryUsagePage", 0x2000C);
    gadget.setNumberProperty("MaxInputReportSize", 65);
    gadget.setNumberProperty("MaxOutputReportSize", 65536);
    gadget.setNumberProperty("MaxFeatureReportSize", 65536 + 9);
    gadget.setStringProperty("Manufacturer", std::string(1021, 'm') + "\xC3\xA9");  // 1,023 bytes
    gadget.setStringProperty("Product", std::string(1022, 'p') + "\xC3\xA9");       // 1,024 bytes
    EXPECT_EQ((std::vector<int>{1, 0xFF00, 64, 64, 16}), numbersOf(device));

    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ((std::vector<int>{2, 0x0C, 65, 0, 9}), numbersOf(device));
    EXPECT_EQ(0, device->reportSize(static_cast<AbstractHidDevice::ReportType>(3)));
    EXPECT_EQ(Bytes(9, 0), *device->allocateReport(AbstractHidDevice::Feature));
    EXPECT_EQ(std::wstring(1021, L'm') + L"\u00E9", await(device->manufacturerName()).value);
    EXPECT_EQ(L"", await(device->productName()).value);
    ReportBuffer again = device->allocateReport(AbstractHidDevice::Input);
    EXPECT_EQ(pooledAddress, again.get());  // the pool's buffer, as it was left
    EXPECT_EQ(64u, again->size());
    EXPECT_EQ(0x5A, (*again)[0]);
    inject(gadget, 0, {8, 8});
    EXPECT_EQ((Bytes{8, 8}), readQueued(device));
}

// The input buffer the platform gets. A device without input bytes still gives
// it a real one (the platform declares it non-null; vmac aborts on NULL), and
// its reports read as empty. A huge claim costs no huge buffer: 64 KiB, and a
// longer report arrives truncated to it. The private object and the cached
// record read "MaxInputReportSize" apart: a read that fails for the first alone
// leaves a buffer of no bytes, and reports arrive empty rather than overrunning it.
TEST_F(GadgetTest, InputBufferSizes) {
    const struct {
        int claimed, cached;
        bool failFirstRead;
        Bytes report;
        int32_t read;  // bytes read; -1: no report
    } cases[] = {{0, 0, false, {4, 5}, -1},
                 {0x7FFFFFFF, 0xFFFF, false, Bytes(70000, 7), 0xFFFF},
                 {64, 64, true, {1, 2, 3}, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.claimed);
        gadget.setNumberProperty("MaxInputReportSize", c.claimed);
        vmac::CallFault once = fault(vmac::Call::GetProperty);
        once.key = "MaxInputReportSize";
        if (c.failFirstRead) {
            gadget.failCalls(once);
        }
        AbstractHidDevice* device = openDevice();
        EXPECT_EQ(c.cached, device->reportSize(AbstractHidDevice::ReportType::Input));
        inject(gadget, 1, c.report);
        ReportBuffer buffer = bytes(Bytes(80000, 0xEE));
        EXPECT_EQ(record({c.read > 0, c.read, buffer, 0, 0}), answer(device->getReport(buffer, 0)));
        destroyDevice(device);
    }
}

}  // namespace
}  // namespace devicetest
