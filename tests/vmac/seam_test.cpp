// The seam's RAII owners: adopt versus retain, move, release and reset each
// account for exactly one reference.
#include "vmacfixture.h"

#include "quenor/mac/platform.h"

#include <utility>

namespace vmactest {
namespace {

using quenor::mac::ScopedCFRef;
using quenor::mac::ScopedCOMInterface;
using quenor::mac::ScopedIOObject;

using SeamTest = VmacTest;

TEST_F(SeamTest, ScopedCFRefAdoptsOrRetainsAndReleasesOnce) {
    const long before = vmac::liveObjectCount();
    CFStringRef text = vmac::makeString("x");
    {
        auto adopted = ScopedCFRef<CFStringRef>::adopt(text);
        auto retained = ScopedCFRef<CFStringRef>::retain(text);
        ScopedCFRef<CFStringRef> moved(std::move(retained));
        EXPECT_FALSE(retained);
        EXPECT_EQ(text, moved.get());
        moved.reset();
        EXPECT_FALSE(moved);
        EXPECT_EQ(before + 1, vmac::liveObjectCount());
        CFStringRef handedBack = adopted.release();
        EXPECT_FALSE(adopted);
        adopted = ScopedCFRef<CFStringRef>::adopt(handedBack);
    }
    EXPECT_EQ(before, vmac::liveObjectCount());
}

TEST_F(SeamTest, ScopedIOObjectReleasesItsReference) {
    auto device = vmac::plugDevice("IOService:/seam");
    const long before = vmac::liveIOObjectReferences();
    {
        auto entry =
            ScopedIOObject::adopt(IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/seam"));
        ScopedIOObject parent;
        ASSERT_EQ(kIOReturnSuccess, IORegistryEntryGetParentEntry(entry.get(), kIOServicePlane,
                                                                  parent.initializeInto()));
        ScopedIOObject moved;
        moved = std::move(parent);
        EXPECT_FALSE(parent);
        EXPECT_EQ(before + 2, vmac::liveIOObjectReferences());
    }
    EXPECT_EQ(before, vmac::liveIOObjectReferences());
}

TEST_F(SeamTest, ScopedCOMInterfaceRetainsAndReleases) {
    auto device = vmac::plugDevice("IOService:/seam-com");
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score;
    ASSERT_EQ(kIOReturnSuccess, IOCreatePlugInInterfaceForService(
                                    device.parentEntry(), kIOUSBInterfaceUserClientTypeID,
                                    kIOCFPlugInInterfaceID, &plugIn, &score));
    const long before = vmac::liveCOMReferences();
    {
        auto adopted = ScopedCOMInterface<IOCFPlugInInterface>::adopt(plugIn);
        auto retained = ScopedCOMInterface<IOCFPlugInInterface>::retain(plugIn);
        EXPECT_EQ(before + 1, vmac::liveCOMReferences());
        ScopedCOMInterface<IOCFPlugInInterface> moved(std::move(retained));
        EXPECT_EQ(before + 1, vmac::liveCOMReferences());
    }
    EXPECT_EQ(before - 1, vmac::liveCOMReferences());
}

}  // namespace
}  // namespace vmactest
