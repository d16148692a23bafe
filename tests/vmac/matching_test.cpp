// Registry matching, entry reading and matching notifications of the virtual
// platform: consumed dictionaries, IOKit's matching rules for HID devices,
// references needed to read an entry, arming by draining, newest-first
// notification queues, and what destroying a port or releasing a notification
// does to messages already queued.
#include "vmacfixture.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using vmactest::pathOf;
using vmactest::ScopedCFRef;
using vmactest::ScopedIOObject;
constexpr auto number = vmac::makeNumber;

using Dictionary = ScopedCFRef<CFMutableDictionaryRef>;

// IOServiceMatching(kIOHIDDeviceKey) plus `values` under their keys; the values are handed over.
Dictionary hidMatching(std::initializer_list<std::pair<const char*, CFTypeRef>> values = {}) {
    auto matching = Dictionary::adopt(IOServiceMatching(kIOHIDDeviceKey));
    for (const auto& [key, value] : values) {
        auto name = ScopedCFRef<CFStringRef>::adopt(vmac::makeString(key));
        CFDictionarySetValue(matching.get(), name.get(), value);
        CFRelease(value);
    }
    return matching;
}

// Reads an iterator to its end, releasing each entry; the paths in the order given.
std::vector<std::string> drainPaths(io_iterator_t iterator) {
    std::vector<std::string> paths;
    while (auto entry = ScopedIOObject::adopt(IOIteratorNext(iterator)))
        paths.push_back(pathOf(entry.get()));
    return paths;
}

// The paths of the matching services, sorted; the dictionary is handed over.
std::vector<std::string> matchingPaths(Dictionary matching) {
    ScopedIOObject iterator;
    EXPECT_EQ(kIOReturnSuccess, IOServiceGetMatchingServices(MACH_PORT_NULL, matching.release(),
                                                             iterator.initializeInto()));
    std::vector<std::string> paths = drainPaths(iterator.get());
    std::sort(paths.begin(), paths.end());
    return paths;
}

using Paths = std::vector<std::string>;

class MatchingTest : public vmactest::VmacTest {
protected:
    void SetUp() override {
        VmacTest::SetUp();
        vmac::Gadget a, b, c;
        a.path = "IOService:/A", b.path = "IOService:/B", c.path = "IOService:/C";
        a.vendorId = b.vendorId = 0x1234, c.vendorId = 0x5678;
        a.productId = 1, b.productId = 2, b.primaryUsagePage = 1, c.product = "Keys";
        a.usagePairs = {{0xFF00, 1}, {0x0C, 1}}, c.usagePairs = {{{1, 6}}};
        a.plug(), b.plug(), c.plug();
        vmac::plugDevice("IOService:/D");  // published without properties
    }
};

TEST_F(MatchingTest, HidDevicesMatchByClassIdentityAndUsagePairsAsIOKitMatchesThem) {
    struct {
        const char* what;
        Dictionary matching;
        Paths expected;
    } cases[] = {
        {"class", hidMatching(), {"IOService:/A", "IOService:/B", "IOService:/C", "IOService:/D"}},
        // B and D publish no usage pairs: the HID family fails every criterion
        // of theirs, so only the class alone finds them.
        {"vendor", hidMatching({{"VendorID", number(0x1234)}}), {"IOService:/A"}},
        {"product",
         hidMatching({{"VendorID", number(0x1234)}, {"ProductID", number(1)}}),
         {"IOService:/A"}},
        {"string", hidMatching({{"Product", vmac::makeString("Keys")}}), {"IOService:/C"}},
        // Usage keys look through the pairs.
        {"page",
         hidMatching({{"DeviceUsagePage", number(0x0C)}, {"DeviceUsage", number(1)}}),
         {"IOService:/A"}},
        // A usage without a page asks for nothing.
        {"usage", hidMatching({{"DeviceUsage", number(6)}}), {"IOService:/A", "IOService:/C"}},
        {"pairs",
         hidMatching({{"DeviceUsagePairs", vmac::makeUsagePairs({{7, 7}, {1, 6}})}}),
         {"IOService:/C"}},
        // Keys no HID driver looks at are ignored, but still fail devices without pairs.
        {"ignored", hidMatching({{"NoSuchKey", number(1)}}), {"IOService:/A", "IOService:/C"}},
    };
    for (auto& c : cases) {
        EXPECT_EQ(matchingPaths(std::move(c.matching)), c.expected) << c.what;
    }
    // Another class matches no HID device.
    ScopedIOObject none;
    EXPECT_EQ(kIOReturnSuccess,
              IOServiceGetMatchingServices(MACH_PORT_NULL, IOServiceMatching("IOUSBHostInterface"),
                                           none.initializeInto()));
    EXPECT_FALSE(none) << "no match is success with a null iterator";
}

TEST_F(MatchingTest, EveryPathConsumesTheDictionaryOnce) {
    // The fixture's live count catches a dictionary that is not consumed; one that
    // is consumed twice aborts.
    EXPECT_EQ(
        kIOReturnBadArgument,
        IOServiceGetMatchingServices(MACH_PORT_NULL, IOServiceMatching(kIOHIDDeviceKey), nullptr));
    io_iterator_t iterator = IO_OBJECT_NULL;
    EXPECT_EQ(kIOReturnBadArgument,
              IOServiceGetMatchingServices(7, IOServiceMatching(kIOHIDDeviceKey), &iterator));
    EXPECT_EQ(kIOReturnBadArgument,
              IOServiceGetMatchingServices(MACH_PORT_NULL, nullptr, &iterator));
    IONotificationPortRef port = IONotificationPortCreate(MACH_PORT_NULL);
    EXPECT_EQ(kIOReturnBadArgument,
              IOServiceAddMatchingNotification(
                  port, "NoSuchNotification", IOServiceMatching(kIOHIDDeviceKey),
                  [](void*, io_iterator_t) {}, nullptr, &iterator));
    IONotificationPortDestroy(port);
    EXPECT_EQ(0, vmac::liveNotificationPortCount());
}

// A notification port on the test thread's run loop, in a mode of its own:
// deliver() runs the loop once, so every message queued so far is delivered.
class NotificationTest : public MatchingTest {
protected:
    void SetUp() override {
        MatchingTest::SetUp();
        port_ = IONotificationPortCreate(MACH_PORT_NULL);
        ASSERT_NE(port_, nullptr);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port_),
                           mode());
    }
    void TearDown() override {
        if (port_ != nullptr)
            IONotificationPortDestroy(port_);
        MatchingTest::TearDown();  // its live counts include the notification ports
    }

    static CFStringRef mode() { return CFSTR("vmac.test.notices"); }
    static void deliver() { CFRunLoopRunInMode(mode(), 0, false); }

    static void record(void* refCon, io_iterator_t iterator) {
        static_cast<std::vector<io_iterator_t>*>(refCon)->push_back(iterator);
    }

    ScopedIOObject add(const char* type, Dictionary matching) {
        ScopedIOObject notification;
        EXPECT_EQ(kIOReturnSuccess,
                  IOServiceAddMatchingNotification(port_, type, matching.release(), record, &calls_,
                                                   notification.initializeInto()));
        return notification;
    }

    IONotificationPortRef port_ = nullptr;
    std::vector<io_iterator_t> calls_;
};

TEST_F(NotificationTest, FirstMatchFiresOnlyWhenArmedAndHandsOutTheNewestFirst) {
    ScopedIOObject arrivals = add(kIOFirstMatchNotification, hidMatching());
    vmac::plugDevice("IOService:/E");
    deliver();
    EXPECT_TRUE(calls_.empty()) << "not armed before the iterator was read to its end";
    EXPECT_EQ(drainPaths(arrivals.get()), (Paths{"IOService:/E", "IOService:/D", "IOService:/C",
                                                 "IOService:/B", "IOService:/A"}));

    vmac::plugDevice("IOService:/F");
    vmac::plugDevice("IOService:/G");
    EXPECT_TRUE(calls_.empty()) << "delivered only by the port's run loop";
    deliver();
    EXPECT_EQ(calls_, std::vector<io_iterator_t>{arrivals.get()}) << "one message per arming";
    EXPECT_EQ(drainPaths(arrivals.get()), (Paths{"IOService:/G", "IOService:/F"}));

    // A filtered notification sees the properties a device is published with.
    ScopedIOObject wanted =
        add(kIOFirstMatchNotification, hidMatching({{"VendorID", number(0x1234)}}));
    EXPECT_EQ(drainPaths(wanted.get()), (Paths{"IOService:/A"}));
    vmac::Gadget h;
    h.path = "IOService:/H", h.vendorId = 0x1234, h.usagePairs = {{{0xFF00, 1}}};
    h.plug();
    vmac::plugDevice("IOService:/I");
    deliver();
    EXPECT_EQ(calls_, (std::vector<io_iterator_t>{arrivals.get(), arrivals.get(), wanted.get()}));
    EXPECT_EQ(drainPaths(wanted.get()), (Paths{"IOService:/H"}));
}

// The kernel keeps at most 1024 services pending per notification and drops the
// rest silently. (A port without a run-loop source is the device suite's.)
TEST_F(NotificationTest, AtMost1024PendingServices) {
    ScopedIOObject arrivals = add(kIOFirstMatchNotification, hidMatching());
    drainPaths(arrivals.get());
    for (size_t i = 0; i < vmac::kMaxPendingNotificationObjects + 6; ++i)
        vmac::plugDevice("IOService:/many/" + std::to_string(i));
    EXPECT_EQ(vmac::kMaxPendingNotificationObjects, drainPaths(arrivals.get()).size());
}

TEST_F(NotificationTest, TerminationsComeWithTheEntryThatLeft) {
    ScopedIOObject removals =
        add(kIOTerminatedNotification, hidMatching({{"VendorID", number(0x5678)}}));
    EXPECT_TRUE(drainPaths(removals.get()).empty()) << "nothing has left yet";
    auto keepC = ScopedIOObject::adopt(IORegistryEntryFromPath(MACH_PORT_NULL, "IOService:/C"));
    uint64_t idC = 0;
    IORegistryEntryGetRegistryEntryID(keepC.get(), &idC);
    vmac::reset();  // unplugs all; only C matched, on the properties it had
    deliver();
    ASSERT_EQ(calls_, std::vector<io_iterator_t>{removals.get()});
    auto gone = ScopedIOObject::adopt(IOIteratorNext(removals.get()));
    uint64_t id = 0;
    EXPECT_EQ(kIOReturnSuccess, IORegistryEntryGetRegistryEntryID(gone.get(), &id));
    EXPECT_EQ(id, idC) << "an unplugged entry keeps its ID, not its path";
    EXPECT_EQ("(no path)", pathOf(gone.get()));
    EXPECT_EQ(IO_OBJECT_NULL, IOIteratorNext(removals.get()));
}

TEST_F(NotificationTest, DestroyingThePortDropsQueuedMessagesButAReleasedNotificationStillCalls) {
    ScopedIOObject arrivals = add(kIOFirstMatchNotification, hidMatching());
    drainPaths(arrivals.get());
    vmac::plugDevice("IOService:/E");
    // Released with a message queued: the message still arrives, on a dead iterator.
    const io_iterator_t dead = arrivals.get();
    arrivals.reset();
    deliver();
    EXPECT_EQ(calls_, std::vector<io_iterator_t>{dead});
    EXPECT_EQ(IO_OBJECT_NULL, IOIteratorNext(dead));

    ScopedIOObject again = add(kIOFirstMatchNotification, hidMatching());
    drainPaths(again.get());
    vmac::plugDevice("IOService:/F");
    IONotificationPortDestroy(std::exchange(port_, nullptr));
    deliver();
    EXPECT_EQ(calls_.size(), 1u) << "the destroyed port's message was dropped";
    EXPECT_EQ(CFRunLoopRunInMode(mode(), 0, false), kCFRunLoopRunFinished)
        << "destroying the port took its source out of the loop";
}

}  // namespace
