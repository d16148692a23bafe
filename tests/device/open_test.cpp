// Opening, properties and closing of MacHidDevice on virtual gadgets: every way
// opening can fail, the open options, exclusive access, the usage pair and the
// other cached properties, close and reopen. The fixture checks at the end of
// each test that no platform object was leaked or released twice.
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "devicefixture.h"

namespace devicetest {
namespace {

using ReportType = AbstractHidDevice::ReportType;

std::vector<IOOptionBits> options(std::initializer_list<IOOptionBits> list) {
    return list;
}

// Reads one input report without waiting; the report's bytes, or nothing.
std::vector<uint8_t> readQueued(AbstractHidDevice* device) {
    auto buffer = std::make_shared<std::vector<uint8_t>>(64);
    auto request = device->getReport(buffer, 0);
    if (!request.wait_for(kPatience)) {
        ADD_FAILURE() << "input read never completed";
        return {};
    }
    const auto result = request.value();
    if (!result.success) {
        return {};
    }
    return {buffer->begin(), buffer->begin() + result.bytesTransferred};
}

TEST_F(DeviceTest, EndToEndOpenEchoClose) {
    vmac::VirtualDevice gadget = plugGadget();
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_TRUE(device->isOpened());
    EXPECT_EQ(1, device->usage());
    EXPECT_EQ(0xFF00, device->usagePage());

    ReportBuffer out = device->allocateReport(AbstractHidDevice::Output);
    (*out)[0] = 0x42;
    auto sent = await(device->setReport(2, out, 1000));
    EXPECT_TRUE(sent.success);
    EXPECT_EQ(64, sent.bytesTransferred);
    ASSERT_EQ(1u, gadget.reportCalls().size());
    EXPECT_EQ(0x42, gadget.reportCalls()[0].bytes.at(0));

    ReportBuffer in = device->allocateReport(AbstractHidDevice::Input);
    auto read = device->getReport(in, -1);
    EXPECT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(3, {3, 1, 2}).wait());
    auto got = await(read);
    EXPECT_TRUE(got.success);
    EXPECT_EQ(3, got.bytesTransferred);
    EXPECT_EQ(in, got.buffer);
    EXPECT_EQ((std::vector<uint8_t>{3, 1, 2}), std::vector<uint8_t>(in->begin(), in->begin() + 3));

    EXPECT_EQ(L"Echo Gadget", await(device->productName()).value);
    EXPECT_TRUE(device->close());
    EXPECT_FALSE(device->isOpened());
    EXPECT_EQ(0, gadget.openCount());
    EXPECT_EQ(0, gadget.deviceObjectCount());
}

// ---- Failing opens ----------------------------------------------------------

class ForeignHandle : public HidDescriptorHandleBase {};

TEST_F(DeviceTest, OpenWithoutAMacHandleFails) {
    plugGadget();
    AbstractHidDevice* empty = makeDeviceFor(HidDeviceDescriptor());
    EXPECT_FALSE(empty->open(0, 1));
    EXPECT_FALSE(empty->isOpened());
    AbstractHidDevice* foreign = makeDeviceFor(HidDeviceDescriptor(new ForeignHandle));
    EXPECT_FALSE(foreign->open(0, 1));
    EXPECT_FALSE(foreign->isOpened());
    EXPECT_FALSE(foreign->close());
}

TEST_F(DeviceTest, OpenOfAPathWithoutRegistryEntryFails) {
    vmac::VirtualDevice gadget = plugGadget();
    AbstractHidDevice* elsewhere = makeDevice("IOService:/vmac/Gadget@1/Interface@0/Other");
    EXPECT_FALSE(elsewhere->open(0, 1));
    AbstractHidDevice* tooLong = makeDevice(std::string(kGadgetPath) + std::string(600, 'x'));
    EXPECT_FALSE(tooLong->open(0, 1));
    EXPECT_FALSE(elsewhere->isOpened());
    EXPECT_FALSE(tooLong->isOpened());
    EXPECT_EQ(0, gadget.deviceObjectCount());
}

TEST_F(DeviceTest, OpenUnderAParentThatIsNoUsbInterfaceFails) {
    vmac::VirtualDevice gadget = plugGadget(kGadgetPath, vmac::ParentKind::Other);
    AbstractHidDevice* device = makeDevice();
    EXPECT_FALSE(device->open(0, 1));
    EXPECT_FALSE(device->isOpened());
    EXPECT_EQ(nullptr, device->nativeHandle());
    EXPECT_EQ(0, gadget.openCount());
    EXPECT_EQ(0, gadget.deviceObjectCount());
}

struct FailingStep {
    const char* name;
    void (*inject)(vmac::OpenFaults&);
};

std::ostream& operator<<(std::ostream& out, const FailingStep& step) {
    return out << step.name;
}

const FailingStep kFailingSteps[] = {
    {"CreateReturnsNull", [](vmac::OpenFaults& f) { f.createReturnsNull = true; }},
    {"ParentLookupFails", [](vmac::OpenFaults& f) { f.parentLookupResult = kIOReturnNotAttached; }},
    {"PlugInCreationFails", [](vmac::OpenFaults& f) { f.plugInResult = kIOReturnUnsupported; }},
    {"PlugInNull", [](vmac::OpenFaults& f) { f.plugInNull = true; }},
    {"QueryInterfaceNegative", [](vmac::OpenFaults& f) { f.queryResult = E_NOINTERFACE; }},
    {"QueryInterfaceNull", [](vmac::OpenFaults& f) { f.queryReturnsNull = true; }},
    {"DeviceOpenFails", [](vmac::OpenFaults& f) { f.openResult = kIOReturnNotPrivileged; }},
};

class FailingOpenTest : public DeviceTest, public ::testing::WithParamInterface<FailingStep> {
protected:
    static vmac::OpenFaults faults() {
        vmac::OpenFaults faults;
        GetParam().inject(faults);
        return faults;
    }
};

TEST_P(FailingOpenTest, LeavesNothingOpenAndOpensOnceTheFaultIsGone) {
    vmac::VirtualDevice gadget = plugGadget();
    gadget.setOpenFaults(faults());
    AbstractHidDevice* device = makeDevice();

    EXPECT_FALSE(device->open(0, 0));
    EXPECT_FALSE(device->isOpened());
    EXPECT_EQ(nullptr, device->nativeHandle());
    EXPECT_EQ(0, gadget.openCount());
    EXPECT_EQ(0, gadget.deviceObjectCount());
    EXPECT_FALSE(gadget.isSeized());
    EXPECT_FALSE(gadget.isScheduled());
    EXPECT_TRUE(gadget.closeCalls().empty());
    EXPECT_EQ(0, device->usage());  // nothing was cached
    EXPECT_FALSE(device->close());

    gadget.setOpenFaults(vmac::OpenFaults());
    ASSERT_TRUE(device->open(0, 0));
    EXPECT_EQ(options({kIOHIDOptionsTypeSeizeDevice}), gadget.openOptions());
}

TEST_P(FailingOpenTest, KeepsThePreviousOpenAsItWas) {
    vmac::VirtualDevice gadget = plugGadget();
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 1));
    void* const first = device->nativeHandle();

    gadget.setNumberProperty("PrimaryUsage", 7);  // a successful reopen would read it
    gadget.setOpenFaults(faults());
    EXPECT_FALSE(device->open(0, 1));

    EXPECT_TRUE(device->isOpened());
    EXPECT_EQ(first, device->nativeHandle());
    EXPECT_EQ(1, device->usage());
    EXPECT_EQ(1, gadget.openCount());
    EXPECT_EQ(1, gadget.deviceObjectCount());
    EXPECT_TRUE(gadget.closeCalls().empty());
    EXPECT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(0, {9}).wait());
    EXPECT_EQ(std::vector<uint8_t>{9}, readQueued(device));
}

INSTANTIATE_TEST_SUITE_P(EachStep, FailingOpenTest, ::testing::ValuesIn(kFailingSteps),
                         [](const auto& info) { return std::string(info.param.name); });

// A negative input report size cannot be allocated; the platform object opened
// for it is closed and released before the error leaves open().
TEST_F(DeviceTest, NegativeInputReportSizeThrowsAndLeavesNothingOpen) {
    vmac::VirtualDevice gadget = plugGadget();
    gadget.setNumberProperty("MaxInputReportSize", -1);
    AbstractHidDevice* device = makeDevice();
    EXPECT_THROW(device->open(0, 0), std::length_error);
    EXPECT_FALSE(device->isOpened());
    EXPECT_EQ(0, gadget.openCount());
    EXPECT_EQ(0, gadget.deviceObjectCount());
    EXPECT_EQ(options({kIOHIDOptionsTypeSeizeDevice}), gadget.closeCalls());
    EXPECT_FALSE(gadget.inputCallbackRegistered());
    EXPECT_FALSE(gadget.isScheduled());
    EXPECT_EQ(0, device->usage());
}

TEST_F(DeviceTest, NegativeInputReportSizeOnReopenKeepsThePreviousOpen) {
    vmac::VirtualDevice gadget = plugGadget();
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 1));
    void* const first = device->nativeHandle();
    gadget.setNumberProperty("MaxInputReportSize", -1);  // read by the next platform object
    EXPECT_THROW(device->open(0, 1), std::length_error);
    EXPECT_TRUE(device->isOpened());
    EXPECT_EQ(first, device->nativeHandle());
    EXPECT_EQ(64, device->reportSize(AbstractHidDevice::Input));
    EXPECT_EQ(1, gadget.openCount());
    EXPECT_EQ(options({kIOHIDOptionsTypeNone}), gadget.closeCalls());
}

// ---- Open options and exclusive access ---------------------------------------

struct ShareCase {
    int accessMode;
    int shareMode;
    IOOptionBits expected;
};

std::ostream& operator<<(std::ostream& out, const ShareCase& c) {
    return out << "access " << c.accessMode << " share " << c.shareMode;
}

class ShareModeTest : public DeviceTest, public ::testing::WithParamInterface<ShareCase> {};

TEST_P(ShareModeTest, ChoosesTheOpenOptionsAndClosesWithThem) {
    vmac::VirtualDevice gadget = plugGadget();
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(GetParam().accessMode, GetParam().shareMode));
    EXPECT_EQ(options({GetParam().expected}), gadget.openOptions());
    EXPECT_EQ(GetParam().expected == kIOHIDOptionsTypeSeizeDevice, gadget.isSeized());
    EXPECT_TRUE(device->close());
    EXPECT_EQ(options({GetParam().expected}), gadget.closeCalls());
    EXPECT_FALSE(gadget.isSeized());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ShareModeTest,
    ::testing::Values(ShareCase{0, 0, kIOHIDOptionsTypeSeizeDevice},
                      ShareCase{0, 1, kIOHIDOptionsTypeNone},
                      ShareCase{0, -1, kIOHIDOptionsTypeNone},
                      ShareCase{0, 7, kIOHIDOptionsTypeNone},
                      ShareCase{3, 0, kIOHIDOptionsTypeSeizeDevice},  // accessMode is ignored
                      ShareCase{-5, 1, kIOHIDOptionsTypeNone}));

TEST_F(DeviceTest, SeizedDeviceRefusesASecondOpenAndKeepsTheFirst) {
    vmac::VirtualDevice gadget = plugGadget();
    AbstractHidDevice* owner = makeDevice();
    AbstractHidDevice* other = makeDevice();
    ASSERT_TRUE(owner->open(0, 0));

    EXPECT_FALSE(other->open(0, 1));
    EXPECT_FALSE(other->open(0, 0));
    EXPECT_FALSE(other->isOpened());
    EXPECT_EQ(nullptr, other->nativeHandle());

    EXPECT_TRUE(owner->isOpened());
    EXPECT_TRUE(gadget.isSeized());
    EXPECT_EQ(1, gadget.openCount());
    EXPECT_EQ(1, gadget.deviceObjectCount());  // the refused object was released
    EXPECT_TRUE(gadget.closeCalls().empty());
    EXPECT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(0, {5}).wait());
    EXPECT_EQ(std::vector<uint8_t>{5}, readQueued(owner));

    // Opening the same device object again also asks for a second platform object.
    void* const first = owner->nativeHandle();
    EXPECT_FALSE(owner->open(0, 0));
    EXPECT_TRUE(owner->isOpened());
    EXPECT_EQ(first, owner->nativeHandle());

    ASSERT_TRUE(owner->close());
    EXPECT_TRUE(other->open(0, 1));
}

TEST_F(DeviceTest, SharedOpensCoexistAndEachGetsTheReports) {
    vmac::VirtualDevice gadget = plugGadget();
    AbstractHidDevice* first = makeDevice();
    AbstractHidDevice* second = makeDevice();
    ASSERT_TRUE(first->open(0, 1));
    ASSERT_TRUE(second->open(0, 1));
    EXPECT_EQ(2, gadget.openCount());
    EXPECT_NE(first->nativeHandle(), second->nativeHandle());
    EXPECT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(0, {1, 2}).wait());
    EXPECT_EQ((std::vector<uint8_t>{1, 2}), readQueued(first));
    EXPECT_EQ((std::vector<uint8_t>{1, 2}), readQueued(second));
    EXPECT_TRUE(first->close());
    EXPECT_TRUE(second->isOpened());
    EXPECT_EQ(1, gadget.openCount());
}

// Opening an open device builds a second open state and retires the first.
TEST_F(DeviceTest, ReopeningAnOpenDeviceReplacesItsPlatformObject) {
    vmac::VirtualDevice gadget = plugGadget();
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 1));
    HeldObject first = holdPlatformObject(device);
    gadget.setNumberProperty("PrimaryUsage", 2);

    ASSERT_TRUE(device->open(0, 1));
    EXPECT_TRUE(device->isOpened());
    EXPECT_NE(first.get(), device->nativeHandle());
    EXPECT_EQ(2, device->usage());
    EXPECT_EQ(options({kIOHIDOptionsTypeNone}), gadget.closeCalls());
    EXPECT_EQ(1, gadget.openCount());
    EXPECT_EQ(2, gadget.deviceObjectCount());  // ours, held above, and the new one
    EXPECT_EQ(1u, gadget.scheduledThreads().size());

    // One report reaches the one remaining open state exactly once.
    EXPECT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(0, {4}).wait());
    EXPECT_EQ(std::vector<uint8_t>{4}, readQueued(device));
    EXPECT_TRUE(readQueued(device).empty());
    first.reset();
    EXPECT_EQ(1, gadget.deviceObjectCount());
}

// A device unplugged while open is replaced by the one plugged at its path; the
// retired open state skips closing the object of the gadget that is gone.
TEST_F(DeviceTest, ReopenAfterReplugRetiresTheRemovedOpen) {
    vmac::VirtualDevice gone = plugGadget();
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 0));
    EXPECT_EQ(vmac::Outcome::Delivered, gone.unplug().wait());
    EXPECT_FALSE(device->isOpened());

    vmac::VirtualDevice replugged = plugGadget();
    ASSERT_TRUE(device->open(0, 0));
    EXPECT_TRUE(device->isOpened());
    EXPECT_TRUE(gone.closeCalls().empty());
    EXPECT_EQ(0, gone.deviceObjectCount());
    EXPECT_EQ(1, replugged.openCount());
    EXPECT_TRUE(replugged.isSeized());
}

// ---- Usage pair ----------------------------------------------------------------

struct UsageCase {
    const char* name;
    void (*configure)(vmac::VirtualDevice&);
    int index;
    int usage;
    int usagePage;
};

std::ostream& operator<<(std::ostream& out, const UsageCase& c) {
    return out << c.name;
}

void adopt(vmac::VirtualDevice& gadget, const char* key, CFTypeRef created) {
    gadget.setProperty(key, created);
    CFRelease(created);
}

// Two pairs: usage 6 on page 1 (a keyboard) and usage 1 on page 0x0C.
void twoPairs(vmac::VirtualDevice& gadget) {
    adopt(gadget, "DeviceUsagePairs", vmac::makeUsagePairs({{0x01, 0x06}, {0x0C, 0x01}}));
}

// A pairs array whose one element is a dictionary with a single entry.
void pairWithOnly(vmac::VirtualDevice& gadget, const char* key) {
    CFMutableDictionaryRef pair = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFNumberRef value = vmac::makeNumber(6);
    CFStringRef name = vmac::makeString(key);
    CFDictionarySetValue(pair, name, value);
    CFRelease(name);
    CFRelease(value);
    adopt(gadget, "DeviceUsagePairs", vmac::makeArray({pair}));
    CFRelease(pair);
}

const UsageCase kUsageCases[] = {
    {"FirstPair", twoPairs, 0, 0x06, 0x01},
    {"SecondPair", twoPairs, 1, 0x01, 0x0C},
    {"IndexMinusOne", twoPairs, -1, 1, 0xFF00},
    {"IndexEqualToCount", twoPairs, 2, 1, 0xFF00},
    {"NoPairs", [](vmac::VirtualDevice&) {}, 0, 1, 0xFF00},
    {"PairsNotAnArray",
     [](vmac::VirtualDevice& g) { adopt(g, "DeviceUsagePairs", vmac::makeUsagePair(0x01, 0x06)); },
     0, 1, 0xFF00},
    {"ElementNotADictionary",
     [](vmac::VirtualDevice& g) {
         CFNumberRef number = vmac::makeNumber(6);
         adopt(g, "DeviceUsagePairs", vmac::makeArray({number}));
         CFRelease(number);
     },
     0, 1, 0xFF00},
    {"ElementWithoutPage", [](vmac::VirtualDevice& g) { pairWithOnly(g, "DeviceUsage"); }, 0, 1,
     0xFF00},
    {"ElementWithoutUsage", [](vmac::VirtualDevice& g) { pairWithOnly(g, "DeviceUsagePage"); }, 0,
     1, 0xFF00},
    {"UsageNotANumber",
     [](vmac::VirtualDevice& g) {
         CFMutableDictionaryRef pair =
             CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                       &kCFTypeDictionaryValueCallBacks);
         CFNumberRef page = vmac::makeNumber(1);
         CFStringRef usage = vmac::makeString("6");
         CFDictionarySetValue(pair, CFSTR("DeviceUsagePage"), page);
         CFDictionarySetValue(pair, CFSTR("DeviceUsage"), usage);
         CFRelease(page);
         CFRelease(usage);
         adopt(g, "DeviceUsagePairs", vmac::makeArray({pair}));
         CFRelease(pair);
     },
     0, 1, 0xFF00},
    {"NegativePage",
     [](vmac::VirtualDevice& g) {
         adopt(g, "DeviceUsagePairs", vmac::makeUsagePairs({{-1, 6}}));
     },
     0, 1, 0xFF00},
    {"NegativeUsage",
     [](vmac::VirtualDevice& g) {
         adopt(g, "DeviceUsagePairs", vmac::makeUsagePairs({{1, -6}}));
     },
     0, 1, 0xFF00},
    {"ZeroPairIsTaken",
     [](vmac::VirtualDevice& g) {
         adopt(g, "DeviceUsagePairs", vmac::makeUsagePairs({{0, 0}}));
     },
     0, 0, 0},
    {"PairTruncatedTo16Bits",
     [](vmac::VirtualDevice& g) {
         adopt(g, "DeviceUsagePairs", vmac::makeUsagePairs({{0x1FF00, 0x10001}}));
     },
     0, 1, 0xFF00},
    {"PrimaryTruncatedTo16Bits",
     [](vmac::VirtualDevice& g) {
         g.setNumberProperty("PrimaryUsage", 0x10002);
         g.setNumberProperty("PrimaryUsagePage", 0x2000C);
     },
     -1, 2, 0x0C},
    {"PrimaryMissingAndMistyped",
     [](vmac::VirtualDevice& g) {
         g.removeProperty("PrimaryUsage");
         g.setStringProperty("PrimaryUsagePage", "65280");
     },
     -1, 0, 0},
};

class UsagePairTest : public DeviceTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsagePairTest, SelectsThePairOrFallsBackToThePrimaryUsage) {
    vmac::VirtualDevice gadget = plugGadget();
    GetParam().configure(gadget);
    AbstractHidDevice* device = makeDevice(kGadgetPath, GetParam().index);
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(GetParam().usage, device->usage());
    EXPECT_EQ(GetParam().usagePage, device->usagePage());
}

INSTANTIATE_TEST_SUITE_P(Cases, UsagePairTest, ::testing::ValuesIn(kUsageCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Report sizes and strings ----------------------------------------------------

TEST_F(DeviceTest, PropertiesReadZeroBeforeTheFirstOpen) {
    plugGadget();
    AbstractHidDevice* device = makeDevice();
    EXPECT_EQ(0, device->usage());
    EXPECT_EQ(0, device->usagePage());
    EXPECT_EQ(0, device->reportSize(AbstractHidDevice::Input));
    EXPECT_EQ(0, device->reportSize(AbstractHidDevice::Output));
    EXPECT_EQ(0, device->reportSize(AbstractHidDevice::Feature));
    EXPECT_EQ(0u, device->allocateReport(AbstractHidDevice::Feature)->size());
    EXPECT_EQ(0, device->usbDeviceVersion());
    EXPECT_EQ(nullptr, device->nativeHandle());
    EXPECT_EQ(nullptr, device->linkCollection());
}

TEST_F(DeviceTest, ReportSizesKeepTheirLow16Bits) {
    vmac::VirtualDevice gadget = plugGadget();
    gadget.setNumberProperty("MaxInputReportSize", 65);
    gadget.setNumberProperty("MaxOutputReportSize", 65536);
    gadget.setNumberProperty("MaxFeatureReportSize", 65536 + 9);
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(65, device->reportSize(AbstractHidDevice::Input));
    EXPECT_EQ(0, device->reportSize(AbstractHidDevice::Output));
    EXPECT_EQ(9, device->reportSize(AbstractHidDevice::Feature));
    EXPECT_EQ(0, device->reportSize(static_cast<ReportType>(3)));

    ReportBuffer input = device->allocateReport(AbstractHidDevice::Input);
    EXPECT_EQ(std::vector<uint8_t>(65, 0), *input);
    EXPECT_EQ(0u, device->allocateReport(AbstractHidDevice::Output)->size());
    EXPECT_EQ(std::vector<uint8_t>(9, 0), *device->allocateReport(AbstractHidDevice::Feature));
}

TEST_F(DeviceTest, MissingAndMistypedPropertiesReadAsZeroOrEmpty) {
    vmac::VirtualDevice gadget = plugGadget();
    gadget.removeProperty("MaxFeatureReportSize");
    gadget.setStringProperty("MaxOutputReportSize", "64");
    gadget.removeProperty("Manufacturer");
    adopt(gadget, "Product", vmac::makeNumber(42));
    adopt(gadget, "SerialNumber", vmac::makeUsagePairs({{1, 2}}));
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(64, device->reportSize(AbstractHidDevice::Input));
    EXPECT_EQ(0, device->reportSize(AbstractHidDevice::Output));
    EXPECT_EQ(0, device->reportSize(AbstractHidDevice::Feature));
    EXPECT_EQ(0u, device->allocateReport(AbstractHidDevice::Feature)->size());
    EXPECT_EQ(L"", await(device->manufacturerName()).value);
    EXPECT_EQ(L"", await(device->productName()).value);
    EXPECT_EQ(L"", await(device->serialNumber()).value);
}

// Strings are read into a 1,024-byte buffer: 1,023 bytes of UTF-8 fit, a longer
// text does not convert and reads as empty rather than as a fragment.
TEST_F(DeviceTest, StringPropertiesUpTo1023Utf8BytesAreKept) {
    vmac::VirtualDevice gadget = plugGadget();
    const std::string fits = std::string(1021, 'm') + "\xC3\xA9";     // 1,023 bytes
    const std::string tooLong = std::string(1022, 'p') + "\xC3\xA9";  // 1,024 bytes
    gadget.setStringProperty("Manufacturer", fits);
    gadget.setStringProperty("Product", tooLong);
    gadget.setStringProperty("SerialNumber", "Nr \xE2\x84\x96 7");
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(std::wstring(1021, L'm') + L"\u00E9", await(device->manufacturerName()).value);
    EXPECT_EQ(L"", await(device->productName()).value);
    EXPECT_EQ(L"Nr \u2116 7", await(device->serialNumber()).value);
}

// ---- Close, reopen, release number -------------------------------------------------

TEST_F(DeviceTest, CloseAnswersTrueOnceThenFalse) {
    vmac::VirtualDevice gadget = plugGadget();
    AbstractHidDevice* device = makeDevice();
    EXPECT_FALSE(device->close());  // never opened
    ASSERT_TRUE(device->open(0, 0));
    EXPECT_TRUE(device->close());
    EXPECT_FALSE(device->close());
    EXPECT_FALSE(device->isOpened());
    EXPECT_EQ(nullptr, device->nativeHandle());
    EXPECT_EQ(options({kIOHIDOptionsTypeSeizeDevice}), gadget.closeCalls());
    EXPECT_EQ(0, gadget.openCount());
    EXPECT_EQ(0, gadget.deviceObjectCount());
}

TEST_F(DeviceTest, CloseKeepsTheCachedInfoAndTheReportPoolForTheNextOpen) {
    vmac::VirtualDevice gadget = plugGadget();
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 1));
    ReportBuffer pooled = device->allocateReport(AbstractHidDevice::Input);
    const auto* const pooledAddress = pooled.get();
    (*pooled)[0] = 0x5A;
    pooled.reset();
    ASSERT_TRUE(device->close());

    // What changes now is read by the next open only.
    gadget.setNumberProperty("PrimaryUsage", 2);
    gadget.setNumberProperty("MaxInputReportSize", 32);
    gadget.setStringProperty("Product", "Echo Gadget II");
    EXPECT_EQ(1, device->usage());
    EXPECT_EQ(0xFF00, device->usagePage());
    EXPECT_EQ(64, device->reportSize(AbstractHidDevice::Input));
    EXPECT_EQ(L"Echo Gadget", await(device->productName()).value);

    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(2, device->usage());
    EXPECT_EQ(32, device->reportSize(AbstractHidDevice::Input));
    EXPECT_EQ(L"Echo Gadget II", await(device->productName()).value);
    ReportBuffer again = device->allocateReport(AbstractHidDevice::Input);
    EXPECT_EQ(pooledAddress, again.get());  // the pool's buffer, as it was left
    EXPECT_EQ(64u, again->size());
    EXPECT_EQ(0x5A, (*again)[0]);

    EXPECT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(0, {8, 8}).wait());
    EXPECT_EQ((std::vector<uint8_t>{8, 8}), readQueued(device));
}

TEST_F(DeviceTest, UsbDeviceVersionAsksTheOpenInterfaceEachTime) {
    vmac::VirtualDevice gadget = plugGadget();
    gadget.setReleaseNumber(0x0213);
    AbstractHidDevice* device = makeDevice();
    EXPECT_EQ(0, device->usbDeviceVersion());
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(0x0213, device->usbDeviceVersion());
    gadget.setReleaseNumber(0x0213, kIOReturnNotPermitted);
    EXPECT_EQ(0, device->usbDeviceVersion());
    gadget.setReleaseNumber(0x0100);
    EXPECT_EQ(0x0100, device->usbDeviceVersion());
    ASSERT_TRUE(device->close());
    EXPECT_EQ(0, device->usbDeviceVersion());
}

}  // namespace
}  // namespace devicetest
