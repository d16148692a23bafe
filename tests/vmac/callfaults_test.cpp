// Call faults: every platform call the device makes can be failed on demand, per device or
// process-wide, for a chosen number of calls. Failing the device's calls and the creation
// calls is held by the device suite's faults and open tests; these are the rules around
// them. (The allocator hook, insidePlatformCall(), is held by the device suite's failing
// allocator.)
#include "vmacfixture.h"

#include <stdexcept>

namespace vmactest {
namespace {

using CallFaultTest = OpenDeviceTest;

// A fault fails the reads of its key only, as often as chosen (the device suite's key faults
// would not notice one that failed every key). A wrong-typed answer (for every read, count -1)
// lives like a property value: until the device goes, one object however often it is answered.
TEST_F(CallFaultTest, PropertyReadsFailOrAnswerAnotherTypeAsOftenAsChosen) {
    device_.setNumberProperty("MaxInputReportSize", 64);
    device_.setNumberProperty("PrimaryUsage", 1);
    vmac::CallFault missing = fault(vmac::Call::GetProperty, 2);
    missing.key = "MaxInputReportSize";
    device_.failCalls(missing);
    EXPECT_EQ(1, int32Of(IOHIDDeviceGetProperty(hid_.get(), CFSTR("PrimaryUsage"))));
    for (int left : {1, 0}) {
        EXPECT_EQ(nullptr, IOHIDDeviceGetProperty(hid_.get(), CFSTR("MaxInputReportSize")));
        EXPECT_EQ(left, device_.pendingCallFaults(vmac::Call::GetProperty));
    }
    EXPECT_EQ(64, int32Of(IOHIDDeviceGetProperty(hid_.get(), CFSTR("MaxInputReportSize"))));

    const long before = vmac::liveObjectCount();
    vmac::CallFault wrongType = fault(vmac::Call::GetProperty, -1);
    auto text = ScopedCFRef<CFStringRef>::adopt(vmac::makeString("sixty-four"));
    wrongType.value = text.get();
    device_.failCalls(wrongType);
    text.reset();
    EXPECT_EQ(-1, device_.pendingCallFaults(vmac::Call::GetProperty));
    for (CFStringRef key : {CFSTR("MaxInputReportSize"), CFSTR("Product"), CFSTR("Product")}) {
        CFTypeRef value = IOHIDDeviceGetProperty(hid_.get(), key);
        ASSERT_NE(nullptr, value);
        EXPECT_EQ(CFStringGetTypeID(), CFGetTypeID(value));
    }
    EXPECT_EQ(before + 1, vmac::liveObjectCount());  // one string, however often answered
    device_.clearCallFaults();
    EXPECT_EQ(nullptr, IOHIDDeviceGetProperty(hid_.get(), CFSTR("Product")));
    device_.unplug();
    EXPECT_EQ(before + 1, vmac::liveObjectCount()) << "kept until detached: the device is open";
    IOHIDDeviceClose(hid_.get(), kIOHIDOptionsTypeNone);
    EXPECT_EQ(before, vmac::liveObjectCount());
}

TEST_F(CallFaultTest, FaultsAreArmedOnlyWhereTheyBelong) {
    EXPECT_THROW(device_.failCalls(fault(vmac::Call::RunLoopSourceCreate, 1)),
                 std::invalid_argument);
    EXPECT_THROW(vmac::failCalls(fault(vmac::Call::GetProperty, 1)), std::invalid_argument);
    device_.failCalls(fault(vmac::Call::GetProperty, 0));  // nothing to fail
    EXPECT_EQ(0, device_.pendingCallFaults(vmac::Call::GetProperty));
}

// Creation calls fail on whoever calls next, except the control API's builders; a reset
// clears what is left.
TEST_F(VmacTest, CreationFaultsSpareTheBuildersAndEndWithAReset) {
    vmac::failCalls(fault(vmac::Call::StringCreateWithCString, 1));
    vmac::failCalls(fault(vmac::Call::NumberCreate, 2));
    EXPECT_TRUE(ScopedCFRef<CFArrayRef>::adopt(vmac::makeUsagePairs({{1, 2}})));
    EXPECT_EQ(1, vmac::pendingCallFaults(vmac::Call::StringCreateWithCString));
    EXPECT_EQ(2, vmac::pendingCallFaults(vmac::Call::NumberCreate));
    vmac::reset();
    EXPECT_EQ(0, vmac::pendingCallFaults(vmac::Call::NumberCreate));
    int value = 5;
    EXPECT_TRUE(ScopedCFRef<CFNumberRef>::adopt(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &value)));
}

}  // namespace
}  // namespace vmactest
