// The macOS enumerator over the virtual registry: the snapshot (one entry per usage
// pair, oldest device first), filters, identity read without opening (missing and
// mistyped properties included), readHidDeviceIdentity for descriptors an
// application built, and the DeviceEnumerator facade over the real enumerator.
#include <quenor/deviceenumerator.h>
#include <quenor/mac/hiddeviceidentity.h>
#include <quenor/mac/macdevicedescriptorhandle.h>
#include <quenor/mac/macnativedeviceenumerator.h>

#include "devicefixture.h"

namespace devicetest {
namespace {

using Wheres = std::vector<std::string>;

Wheres wheresOf(const MacNativeDeviceEnumerator& enumerator) {
    Wheres out;
    for (const HidDeviceEntry& entry : enumerator.entries())
        out.push_back(where(entry));
    return out;
}

Wheres wheresOf(const HidDeviceMatch& match) {
    return wheresOf(MacNativeDeviceEnumerator(match));
}

std::string text(const HidDeviceDescriptor& descriptor) {
    const std::wstring wide = descriptor.toString();
    return std::string(wide.begin(), wide.end());
}

class EnumeratorTest : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        // Plugged in this order; the paths sort the other way round.
        keyboard = plugHid("IOService:/z/Keyboard", 0x05AC, 0x0250, {{1, 6}, {0x0C, 1}});
        gadget = plugHid(kGadgetPath, 0x1209, 0x0001, {{0xFF00, 1}});
        plain = plugHid("IOService:/a/Plain", 0x1209, 0x0002, {});
    }

    vmac::VirtualDevice keyboard, gadget, plain;
};

TEST_F(EnumeratorTest, SnapshotListsEveryUsagePairOldestDeviceFirstAndStaysAsTaken) {
    MacNativeDeviceEnumerator enumerator;
    EXPECT_EQ(wheresOf(enumerator),
              (Wheres{"IOService:/z/Keyboard/0", "IOService:/z/Keyboard/1",
                      std::string(kGadgetPath) + "/0", "IOService:/a/Plain/0"}));
    const auto& entries = enumerator.entries();
    EXPECT_LT(entries[1].registryEntryId, entries[2].registryEntryId);
    EXPECT_EQ(entries[0].registryEntryId, entries[1].registryEntryId);

    // vendor, product, release, manufacturer, product, serial number, usage page
    // and usage of the pair, primary page and usage, the three report sizes,
    // transport, location, USB strings.
    const HidDeviceIdentity expected{
        0x05AC, 0x0250, 0x0100, "Maker 1452", "Product 592", "SN-Keyboard", 0x0C, 1, 1, 6, 64, 64,
        8,      "USB",  0,      true};
    EXPECT_EQ(entries[1].identity, expected);
    EXPECT_EQ(entries[0].identity.usagePage, 1);
    EXPECT_EQ(entries[3].identity.usagePage, 1) << "no pairs: the primary pair";

    // Later arrivals and removals leave the snapshot alone.
    plugHid("IOService:/b/Late", 1, 2, {});
    keyboard.unplug();
    EXPECT_EQ(enumerator.count(), 4);
    EXPECT_EQ(MacNativeDeviceEnumerator().count(), 3);

    // Each get() hands out a descriptor of its own, ready to open.
    ASSERT_TRUE(enumerator.moveTo(2));
    HidDeviceDescriptor first = enumerator.get();
    std::dynamic_pointer_cast<MacDeviceDescriptorHandle>(first.handle())->setUsagePairIndex(5);
    EXPECT_EQ(text(enumerator.get()), std::string(kGadgetPath) + "/0");
    AbstractHidDevice* device = makeDeviceFor(enumerator.get());
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(device->usagePage(), 0xFF00);
    EXPECT_EQ(enumerator.entry().identity.serialNumber, "SN-HIDDevice");

    // A clone starts where its source stands (the facade's own copy and move
    // rules are the core suite's); the cursor ends one past the last entry.
    DeviceEnumerator cursor(enumerator.clone());
    EXPECT_EQ(text(cursor.get()), std::string(kGadgetPath) + "/0");
    EXPECT_TRUE(cursor.moveTo(4) && cursor.atEnd() && !cursor.get());
    EXPECT_FALSE(cursor.moveTo(5) || cursor.moveToNext());
    EXPECT_TRUE(cursor.moveTo(0) && cursor.atBegin() && !cursor.moveToPrevious());
    // The postfix ++ answers the old position; a move clones, leaving the source as it was.
    const std::string atBegin = text(cursor.get());
    DeviceEnumerator before = cursor++;
    DeviceEnumerator moved(std::move(before));
    EXPECT_NE(atBegin, text(cursor.get()));
    EXPECT_EQ(atBegin, text(moved.get()));
    EXPECT_EQ(atBegin, text(before.get()));  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(DeviceEnumerator(QuenorDeviceClass::Hid).count(), 3);
}

// A path need not name one device (user-space devices share theirs) and may be
// longer than IORegistryEntryGetPath can read: entries carry the entry ID, their
// descriptors compare by it, and each opens its own device.
TEST_F(EnumeratorTest, EntryIdsNameDevicesThatShareAPathOrHaveALongOne) {
    vmac::reset();
    const std::string shared =
        "IOService:/IOResources/IOHIDResource/IOHIDResourceDeviceUserClient/IOHIDUserDevice";
    const std::string deep = "IOService:/" + std::string(520, 'd') + "/HID";
    vmac::VirtualDevice devices[] = {plugHid(shared, 1, 1, {{0xFF00, 1}}),
                                     plugHid(shared, 1, 2, {{0xFF00, 1}}),
                                     plugHid(deep, 1, 3, {{0xFF00, 1}})};
    MacNativeDeviceEnumerator enumerator;
    ASSERT_EQ(enumerator.count(), 3) << "no device is dropped for its path";
    const auto& entries = enumerator.entries();
    EXPECT_EQ(std::wstring(deep.begin(), deep.end()), entries[2].path);
    EXPECT_FALSE(entries[0].descriptor() == entries[1].descriptor());
    EXPECT_TRUE(entries[1].descriptor() == entries[1].descriptor());
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(devices[i].entryId(), entries[i].registryEntryId);
        AbstractHidDevice* device = makeDeviceFor(entries[i].descriptor());
        ASSERT_TRUE(device->open(0, 1));
        EXPECT_EQ(1, devices[i].openCount());
        EXPECT_EQ(i + 1, readHidDeviceIdentity(entries[i].descriptor()).value().productId);
        destroyDevice(device);
    }
    // Gone is gone, even when another device has the path.
    devices[0].unplug();
    EXPECT_FALSE(makeDeviceFor(entries[0].descriptor())->open(0, 1));
    EXPECT_FALSE(readHidDeviceIdentity(entries[0].descriptor()));
}

TEST_F(EnumeratorTest, FiltersTakeAnySubsetAndPickSinglePairs) {
    HidDeviceMatch vendor;
    vendor.vendorId = 0x1209;
    EXPECT_EQ(wheresOf(vendor), (Wheres{std::string(kGadgetPath) + "/0", "IOService:/a/Plain/0"}));
    vendor.productId = 2;
    EXPECT_EQ(wheresOf(vendor), (Wheres{"IOService:/a/Plain/0"}));

    // The platform lets a device without pairs through a page match; the pair
    // filter then keeps only the pairs that match.
    HidDeviceMatch consumer;
    consumer.usagePage = 0x0C;
    EXPECT_EQ(wheresOf(consumer), (Wheres{"IOService:/z/Keyboard/1"}));
    consumer.usage = 2;
    EXPECT_TRUE(wheresOf(consumer).empty());

    HidDeviceMatch usageOnly;  // usage 1 on any page
    usageOnly.usage = 1;
    EXPECT_EQ(wheresOf(usageOnly),
              (Wheres{"IOService:/z/Keyboard/1", std::string(kGadgetPath) + "/0",
                      "IOService:/a/Plain/0"}));

    HidDeviceMatch nothing;
    nothing.vendorId = 0x05AC;
    nothing.usagePage = 0xFF00;
    MacNativeDeviceEnumerator empty(nothing);
    EXPECT_TRUE(empty.count() == 0 && empty.atEnd() && empty.atBegin());
    EXPECT_FALSE(empty.get());
    EXPECT_FALSE(empty.moveToNext() || empty.moveToPrevious());

    vmac::NotificationFaults refused;
    refused.matchingServicesResult = kIOReturnNoResources;
    vmac::setNotificationFaults(refused);
    EXPECT_EQ(MacNativeDeviceEnumerator().count(), 0) << "the platform refused";
    vmac::setNotificationFaults({});
    vmac::reset();
    EXPECT_EQ(MacNativeDeviceEnumerator().count(), 0) << "an empty registry";
}

TEST_F(EnumeratorTest, MissingAndMistypedPropertiesReadAsZeroOrEmpty) {
    vmac::reset();
    CFTypeRef pairs[] = {vmac::makeUsagePair(0xFF00, 1), vmac::makeNumber(5),
                         vmac::makeUsagePair(1, 2)};
    vmac::Gadget odd, located;
    odd.path = "IOService:/Odd", located.path = "IOService:/Located";
    odd.properties = {{"DeviceUsagePairs",
                       vmac::HeldValue::adopt(vmac::makeArray({pairs[0], pairs[1], pairs[2]}))},
                      {"VendorID", std::string("0x1234")},
                      {"ProductID", 0x12345LL},
                      {"Manufacturer", 7LL},
                      {"Product", std::string("Odd")},
                      {"PrimaryUsagePage", 0xFFLL},
                      {"PrimaryUsage", 3LL},
                      {"LocationID", std::string("somewhere")},
                      {"Transport", 1LL}};
    for (CFTypeRef value : pairs)
        CFRelease(value);
    odd.plug();
    located.locationId = 0xFA120000;
    located.properties = {{"DeviceUsagePairs", 4LL}};
    located.plug();
    vmac::Gadget unpaired;  // an empty pairs array: listed once, with its primary pair
    unpaired.path = "IOService:/Unpaired", unpaired.primaryUsagePage = 0x0C;
    unpaired.usagePairs.emplace();
    unpaired.plug();
    vmac::plugDevice("IOService:/Bare");  // no properties at all

    MacNativeDeviceEnumerator enumerator;
    ASSERT_EQ(wheresOf(enumerator),
              (Wheres{"IOService:/Odd/0", "IOService:/Odd/1", "IOService:/Odd/2",
                      "IOService:/Located/0", "IOService:/Unpaired/0", "IOService:/Bare/0"}));
    const auto& entries = enumerator.entries();
    const HidDeviceIdentity& odd0 = entries[0].identity;
    EXPECT_EQ(odd0.vendorId, 0) << "a string is no number";
    EXPECT_EQ(odd0.productId, 0x2345) << "cut to the low 16 bits";
    EXPECT_EQ(odd0.manufacturer, "");
    EXPECT_EQ(odd0.product, "Odd");
    EXPECT_EQ(odd0.transport, "");
    EXPECT_EQ(odd0.locationId, 0u);
    EXPECT_EQ(entries[1].identity.usagePage, 0xFF) << "a pair that is no dictionary: primary";
    EXPECT_EQ(entries[1].identity.usage, 3);
    EXPECT_EQ(entries[2].identity.usagePage, 1);
    EXPECT_EQ(entries[2].identity.usage, 2);
    EXPECT_EQ(entries[3].identity.locationId, 0xFA120000u);
    EXPECT_EQ(entries[4].identity.usagePage, 0x0C);
    HidDeviceIdentity bare;
    bare.usbStringsAvailable = true;  // what the registry says, not a property
    EXPECT_EQ(entries[5].identity, bare) << "nothing to read";

    // Any descriptor, also one built by hand; an index out of range reads the
    // primary pair, as opening does.
    auto identity = readHidDeviceIdentity(
        HidDeviceDescriptor(new MacDeviceDescriptorHandle(L"IOService:/Odd", 9)));
    ASSERT_TRUE(identity.has_value());
    EXPECT_EQ(identity->usagePage, 0xFF);
    EXPECT_FALSE(readHidDeviceIdentity(HidDeviceDescriptor()));
    EXPECT_FALSE(readHidDeviceIdentity(HidDeviceDescriptor(new HidDescriptorHandleBase)));
}

}  // namespace
}  // namespace devicetest
