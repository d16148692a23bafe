// Opening, properties and closing of MacHidDevice on virtual gadgets.
#include <stdexcept>
#include <string>
#include <vector>

#include "devicefixture.h"

namespace devicetest {
namespace {

using Options = std::vector<IOOptionBits>;

class ForeignHandle : public HidDescriptorHandleBase {};

TEST_F(DeviceTest, OpenFailsWithoutAUsbHidDeviceBehindTheDescriptor) {
    vmac::VirtualDevice gadget = plugGadget(kGadgetPath, vmac::ParentKind::Other);
    for (AbstractHidDevice* device : {makeDeviceFor(HidDeviceDescriptor()),
                                      makeDeviceFor(HidDeviceDescriptor(new ForeignHandle)),
                                      makeDevice("IOService:/vmac/Gadget@1/Interface@0/Other"),
                                      makeDevice(std::string(kGadgetPath) + std::string(600, 'x')),
                                      makeDevice() /* its parent is no USB interface */}) {
        EXPECT_FALSE(device->open(0, 1));
        EXPECT_FALSE(device->isOpened());
        EXPECT_FALSE(device->close());
    }
    EXPECT_EQ(0, gadget.openCount());
    EXPECT_EQ(0, gadget.deviceObjectCount());
}

struct FailingStep {
    const char* name;
    void (*inject)(vmac::OpenFaults&);
    int inputSize = 64;  // negative: open throws after IOHIDDeviceOpen succeeded
};

const FailingStep kFailingSteps[] = {
    {"CreateReturnsNull", [](vmac::OpenFaults& f) { f.createReturnsNull = true; }},
    {"ParentLookupFails", [](vmac::OpenFaults& f) { f.parentLookupResult = kIOReturnNotAttached; }},
    {"PlugInCreationFails", [](vmac::OpenFaults& f) { f.plugInResult = kIOReturnUnsupported; }},
    {"PlugInNull", [](vmac::OpenFaults& f) { f.plugInNull = true; }},
    {"QueryInterfaceNegative", [](vmac::OpenFaults& f) { f.queryResult = E_NOINTERFACE; }},
    {"QueryInterfaceNull", [](vmac::OpenFaults& f) { f.queryReturnsNull = true; }},
    {"DeviceOpenFails", [](vmac::OpenFaults& f) { f.openResult = kIOReturnNotPrivileged; }},
    {"NegativeInputReportSize", [](vmac::OpenFaults&) {}, -1},
};

class FailingOpenTest : public GadgetTest, public ::testing::WithParamInterface<FailingStep> {
protected:
    void breakOpening() {
        vmac::OpenFaults faults;
        GetParam().inject(faults);
        gadget.setOpenFaults(faults);
        gadget.setNumberProperty("MaxInputReportSize", GetParam().inputSize);
    }

    void expectOpenFails(AbstractHidDevice* device, int shareMode) {
        if (GetParam().inputSize < 0) {
            EXPECT_THROW(device->open(0, shareMode), std::length_error);
        } else {
            EXPECT_FALSE(device->open(0, shareMode));
        }
    }
};

TEST_P(FailingOpenTest, LeavesNothingOpenAndKeepsThePreviousOpen) {
    const bool wasOpened = GetParam().inputSize < 0;  // and so is closed again
    breakOpening();
    AbstractHidDevice* device = makeDevice();
    expectOpenFails(device, 0);
    EXPECT_FALSE(device->isOpened());
    EXPECT_EQ(0, device->usage());  // nothing was cached
    EXPECT_EQ(0, gadget.openCount());
    EXPECT_EQ(0, gadget.deviceObjectCount());
    EXPECT_EQ((wasOpened ? Options{kIOHIDOptionsTypeSeizeDevice} : Options{}), gadget.closeCalls());

    gadget.setOpenFaults(vmac::OpenFaults());
    gadget.setNumberProperty("MaxInputReportSize", 64);
    ASSERT_TRUE(device->open(0, 1));
    void* const first = device->nativeHandle();
    gadget.setNumberProperty("PrimaryUsage", 7);  // a successful reopen would read it
    breakOpening();
    expectOpenFails(device, 1);
    EXPECT_TRUE(device->isOpened());
    EXPECT_EQ(first, device->nativeHandle());
    EXPECT_EQ(1, device->usage());
    EXPECT_EQ(1, gadget.openCount());
    EXPECT_EQ(1, gadget.deviceObjectCount());
    EXPECT_EQ(
        (wasOpened ? Options{kIOHIDOptionsTypeSeizeDevice, kIOHIDOptionsTypeNone} : Options{}),
        gadget.closeCalls());
    inject(gadget, 0, {9});
    EXPECT_EQ(Bytes{9}, readQueued(device));
}

INSTANTIATE_TEST_SUITE_P(EachStep, FailingOpenTest, ::testing::ValuesIn(kFailingSteps),
                         [](const auto& info) { return std::string(info.param.name); });

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
        EXPECT_TRUE(gadget.inputCallbackRegistered() && gadget.removalCallbackRegistered());
        EXPECT_TRUE(gadget.isScheduled());

        EXPECT_TRUE(device->close());
        EXPECT_FALSE(device->close());
        closes.push_back(c.expected);
        EXPECT_EQ(closes, gadget.closeCalls());
        EXPECT_EQ(nullptr, device->nativeHandle());
        EXPECT_EQ(0, gadget.openCount());
        EXPECT_FALSE(gadget.inputCallbackRegistered() || gadget.removalCallbackRegistered());
        EXPECT_FALSE(gadget.isScheduled());
    }
}

TEST_F(GadgetTest, SeizedDeviceRefusesOtherOpensWhileSharedOpensCoexist) {
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
    inject(gadget, 0, {1, 2});
    EXPECT_EQ((Bytes{1, 2}), readQueued(owner));
    EXPECT_EQ((Bytes{1, 2}), readQueued(other));
    EXPECT_TRUE(other->close());
    EXPECT_EQ(1, gadget.openCount());
}

// Opening an open device builds a second open state and retires the first.
TEST_F(GadgetTest, ReopeningAnOpenDeviceReplacesItsPlatformObject) {
    AbstractHidDevice* device = openDevice();
    HeldObject first = holdPlatformObject(device);
    gadget.setNumberProperty("PrimaryUsage", 2);

    ASSERT_TRUE(device->open(0, 1));
    EXPECT_NE(first.get(), device->nativeHandle());
    EXPECT_EQ(2, device->usage());
    EXPECT_EQ(Options{kIOHIDOptionsTypeNone}, gadget.closeCalls());
    EXPECT_EQ(1, gadget.openCount());
    EXPECT_EQ(2, gadget.deviceObjectCount());  // the held one and the new one
    EXPECT_EQ(1u, gadget.scheduledThreads().size());
    inject(gadget, 0, {4});
    EXPECT_EQ(Bytes{4}, readQueued(device));
    EXPECT_TRUE(readQueued(device).empty());  // delivered once, not once per open state
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

// usage, usagePage and the input, output and feature report sizes, as read by an open.
std::vector<int> numbersOf(AbstractHidDevice* device) {
    return {device->usage(), device->usagePage(), device->reportSize(AbstractHidDevice::Input),
            device->reportSize(AbstractHidDevice::Output),
            device->reportSize(AbstractHidDevice::Feature)};
}

// Numbers keep their low 16 bits. Strings are read into a 1,024-byte buffer: 1,023
// bytes of UTF-8 fit, a longer text does not convert and reads as empty, not cut.
TEST_F(GadgetTest, PropertiesKeepLow16BitsAndMissingMistypedOrOverlongReadAsZeroOrEmpty) {
    gadget.setNumberProperty("PrimaryUsage", 0x10002);
    gadget.setNumberProperty("PrimaryUsagePage", 0x2000C);
    gadget.setNumberProperty("MaxInputReportSize", 65);
    gadget.setNumberProperty("MaxOutputReportSize", 65536);
    gadget.setNumberProperty("MaxFeatureReportSize", 65536 + 9);
    AbstractHidDevice* device = openDevice();
    EXPECT_EQ((std::vector<int>{2, 0x0C, 65, 0, 9}), numbersOf(device));
    EXPECT_EQ(0, device->reportSize(static_cast<AbstractHidDevice::ReportType>(3)));
    EXPECT_EQ(Bytes(9, 0), *device->allocateReport(AbstractHidDevice::Feature));

    gadget.removeProperty("PrimaryUsage");
    gadget.setStringProperty("PrimaryUsagePage", "65280");
    gadget.removeProperty("MaxFeatureReportSize");
    gadget.setStringProperty("MaxOutputReportSize", "64");
    gadget.setStringProperty("Manufacturer", std::string(1021, 'm') + "\xC3\xA9");  // 1,023 bytes
    gadget.setStringProperty("Product", std::string(1022, 'p') + "\xC3\xA9");       // 1,024 bytes
    CFNumberRef number = vmac::makeNumber(42);
    gadget.setProperty("SerialNumber", number);
    CFRelease(number);
    ASSERT_TRUE(device->open(0, 1));  // reads everything again
    EXPECT_EQ((std::vector<int>{0, 0, 65, 0, 0}), numbersOf(device));
    EXPECT_EQ(std::wstring(1021, L'm') + L"\u00E9", await(device->manufacturerName()).value);
    EXPECT_EQ(L"", await(device->productName()).value);
    EXPECT_EQ(L"", await(device->serialNumber()).value);
}

TEST_F(GadgetTest, CloseKeepsTheCachedInfoAndTheReportPoolForTheNextOpen) {
    gadget.setReleaseNumber(0x0213);
    AbstractHidDevice* device = makeDevice();
    EXPECT_EQ(std::vector<int>(5, 0), numbersOf(device));  // before the first open
    EXPECT_EQ(0, device->usbDeviceVersion());

    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(0x0213, device->usbDeviceVersion());  // asked of the interface each time
    gadget.setReleaseNumber(0x0213, kIOReturnNotPermitted);
    EXPECT_EQ(0, device->usbDeviceVersion());
    gadget.setReleaseNumber(0x0100);
    EXPECT_EQ(0x0100, device->usbDeviceVersion());
    ReportBuffer pooled = device->allocateReport(AbstractHidDevice::Input);
    const auto* const pooledAddress = pooled.get();
    (*pooled)[0] = 0x5A;
    pooled.reset();
    ASSERT_TRUE(device->close());
    EXPECT_EQ(0, device->usbDeviceVersion());

    // What changes now is read by the next open only.
    gadget.setNumberProperty("PrimaryUsage", 2);
    gadget.setNumberProperty("MaxInputReportSize", 32);
    EXPECT_EQ((std::vector<int>{1, 0xFF00, 64, 64, 16}), numbersOf(device));

    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ((std::vector<int>{2, 0xFF00, 32, 64, 16}), numbersOf(device));
    ReportBuffer again = device->allocateReport(AbstractHidDevice::Input);
    EXPECT_EQ(pooledAddress, again.get());  // the pool's buffer, as it was left
    EXPECT_EQ(64u, again->size());
    EXPECT_EQ(0x5A, (*again)[0]);
    inject(gadget, 0, {8, 8});
    EXPECT_EQ((Bytes{8, 8}), readQueued(device));
}

// A device whose input reports have no bytes ("MaxInputReportSize" 0) still gives
// the platform a real buffer (it declares the buffer non-null; vmac aborts on NULL),
// and its reports are read as empty.
TEST_F(GadgetTest, NoInputBytesStillRegistersARealBuffer) {
    gadget.setNumberProperty("MaxInputReportSize", 0);
    AbstractHidDevice* device = openDevice();
    EXPECT_EQ(0, device->reportSize(AbstractHidDevice::ReportType::Input));
    inject(gadget, 4, {4, 5});
    ReportBuffer buffer = bytes({0xEE});
    EXPECT_EQ(record({false, -1, buffer, 0, 0}), record(await(device->getReport(buffer, 0))))
        << "a report of no bytes reads as no report";
}

// A device that claims a huge input size costs no huge buffer: the platform gets
// 64 KiB, and a longer report arrives truncated to it.
TEST_F(GadgetTest, HugeInputSizeClaimsGetA64KiBBuffer) {
    gadget.setNumberProperty("MaxInputReportSize", 0x7FFFFFFF);
    AbstractHidDevice* device = openDevice();
    inject(gadget, 1, Bytes(70000, 7));
    ReportBuffer buffer = bytes(Bytes(80000));
    EXPECT_EQ(record({true, 0xFFFF, buffer, 0, 0}), record(await(device->getReport(buffer, 0))));
}

}  // namespace
}  // namespace devicetest
