// The USB interface: release number, endpoints, pipe calls, and string
// descriptors served to GET_DESCRIPTOR control requests.
#include "vmacfixture.h"

#include "quenor/mac/platform.h"

namespace vmactest {
namespace {

using quenor::mac::ScopedCOMInterface;

class UsbInterfaceTest : public VmacTest {
protected:
    void SetUp() override {
        VmacTest::SetUp();
        device_ = vmac::plugDevice("IOService:/usb/if@0");
        IOCFPlugInInterface** plugIn = nullptr;
        SInt32 score;
        ASSERT_EQ(kIOReturnSuccess, IOCreatePlugInInterfaceForService(
                                        device_.parentEntry(), kIOUSBInterfaceUserClientTypeID,
                                        kIOCFPlugInInterfaceID, &plugIn, &score));
        auto owner = ScopedCOMInterface<IOCFPlugInInterface>::adopt(plugIn);
        IOUSBInterfaceStruct190** intf = nullptr;
        ASSERT_EQ(S_OK, (*plugIn)->QueryInterface(plugIn,
                                                  CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID190),
                                                  reinterpret_cast<LPVOID*>(&intf)));
        intf_ = ScopedCOMInterface<IOUSBInterfaceStruct190>::adopt(intf);
    }

    void TearDown() override {
        intf_.reset();
        VmacTest::TearDown();
    }

    IOReturn getString(int index, std::vector<uint8_t>& buffer, UInt32* done = nullptr) {
        IOUSBDevRequest request{};
        request.bmRequestType = 0x80;
        request.bRequest = 6;
        request.wValue = static_cast<UInt16>(0x0300 | index);
        request.wIndex = 0x0409;
        request.wLength = static_cast<UInt16>(buffer.size());
        request.pData = buffer.data();
        IOUSBInterfaceStruct190** intf = intf_.get();
        const IOReturn result = (*intf)->ControlRequest(intf, 0, &request);
        if (done != nullptr)
            *done = request.wLenDone;
        return result;
    }

    vmac::VirtualDevice device_;
    ScopedCOMInterface<IOUSBInterfaceStruct190> intf_;
};

TEST_F(UsbInterfaceTest, ReleaseNumberAndEndpointsAsScripted) {
    IOUSBInterfaceStruct190** intf = intf_.get();
    device_.setReleaseNumber(0x0213);
    device_.setNumEndpoints(3);
    UInt16 release = 0;
    UInt8 endpoints = 0;
    EXPECT_EQ(kIOReturnSuccess, (*intf)->GetDeviceReleaseNumber(intf, &release));
    EXPECT_EQ(kIOReturnSuccess, (*intf)->GetNumEndpoints(intf, &endpoints));
    EXPECT_EQ(0x0213, release);
    EXPECT_EQ(3, endpoints);
    device_.setReleaseNumber(0x0300, kIOReturnError);
    device_.setNumEndpoints(4, kIOReturnAborted);
    EXPECT_EQ(kIOReturnError, (*intf)->GetDeviceReleaseNumber(intf, &release));
    EXPECT_EQ(kIOReturnAborted, (*intf)->GetNumEndpoints(intf, &endpoints));
    EXPECT_EQ(0x0213, release);
    EXPECT_EQ(3, endpoints);
}

TEST_F(UsbInterfaceTest, PipeCallsAreLoggedInOrder) {
    IOUSBInterfaceStruct190** intf = intf_.get();
    device_.setNumEndpoints(3);
    EXPECT_EQ(kIOReturnSuccess, (*intf)->AbortPipe(intf, 1));
    EXPECT_EQ(kIOReturnSuccess, (*intf)->ClearPipeStallBothEnds(intf, 1));
    EXPECT_EQ(kIOReturnSuccess, (*intf)->AbortPipe(intf, 2));
    EXPECT_EQ(kIOReturnBadArgument, (*intf)->AbortPipe(intf, 4));
    const auto calls = device_.pipeCalls();
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ(vmac::PipeCallKind::AbortPipe, calls[0].kind);
    EXPECT_EQ(1, calls[0].pipe);
    EXPECT_EQ(vmac::PipeCallKind::ClearPipeStallBothEnds, calls[1].kind);
    EXPECT_EQ(1, calls[1].pipe);
    EXPECT_EQ(2, calls[2].pipe);
    EXPECT_EQ(4, calls[3].pipe);
}

TEST_F(UsbInterfaceTest, StringDescriptorIsCopiedUpToTheRequestedLength) {
    device_.setStringDescriptorText(2, u"abc");
    std::vector<uint8_t> buffer(130, 0);
    UInt32 done = 0;
    ASSERT_EQ(kIOReturnSuccess, getString(2, buffer, &done));
    EXPECT_EQ(8u, done);
    EXPECT_EQ((std::vector<uint8_t>{8, 3, 'a', 0, 'b', 0, 'c', 0, 0}),
              std::vector<uint8_t>(buffer.begin(), buffer.begin() + 9));
    std::vector<uint8_t> shortBuffer(3, 0xEE);
    ASSERT_EQ(kIOReturnSuccess, getString(2, shortBuffer, &done));
    EXPECT_EQ(3u, done);
    EXPECT_EQ((std::vector<uint8_t>{8, 3, 'a'}), shortBuffer);

    const auto calls = device_.pipeCalls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(vmac::PipeCallKind::ControlRequest, calls[0].kind);
    EXPECT_EQ(0, calls[0].pipe);
    EXPECT_EQ(0x80, calls[0].bmRequestType);
    EXPECT_EQ(6, calls[0].bRequest);
    EXPECT_EQ(0x0302, calls[0].wValue);
    EXPECT_EQ(0x0409, calls[0].wIndex);
    EXPECT_EQ(130, calls[0].wLength);
}

TEST_F(UsbInterfaceTest, LanguageTableAndMalformedDescriptorsAreServedVerbatim) {
    std::vector<uint8_t> buffer(130, 0);
    ASSERT_EQ(kIOReturnSuccess, getString(0, buffer));
    EXPECT_EQ((std::vector<uint8_t>{4, 3, 0x09, 0x04}),
              std::vector<uint8_t>(buffer.begin(), buffer.begin() + 4));
    device_.setStringDescriptor(5, {200, 3, 'x', 0, 'y'});  // bLength larger than the data
    std::fill(buffer.begin(), buffer.end(), 0);
    UInt32 done = 0;
    ASSERT_EQ(kIOReturnSuccess, getString(5, buffer, &done));
    EXPECT_EQ(5u, done);
    EXPECT_EQ(200, buffer[0]);
}

TEST_F(UsbInterfaceTest, MissingIndexStallsAndAScriptedResultFailsEveryRequest) {
    std::vector<uint8_t> buffer(130, 0);
    EXPECT_EQ(vmac::kPipeStalled, getString(7, buffer));
    device_.setControlRequestResult(kIOReturnNoResources);
    EXPECT_EQ(kIOReturnNoResources, getString(0, buffer));
}

TEST_F(UsbInterfaceTest, CallsAfterUnplugFailNoDevice) {
    IOUSBInterfaceStruct190** intf = intf_.get();
    device_.unplug();
    UInt16 release = 0;
    UInt8 endpoints = 0;
    std::vector<uint8_t> buffer(130, 0);
    EXPECT_EQ(kIOReturnNoDevice, (*intf)->GetDeviceReleaseNumber(intf, &release));
    EXPECT_EQ(kIOReturnNoDevice, (*intf)->GetNumEndpoints(intf, &endpoints));
    EXPECT_EQ(kIOReturnNoDevice, (*intf)->AbortPipe(intf, 1));
    EXPECT_EQ(kIOReturnNoDevice, getString(0, buffer));
}

}  // namespace
}  // namespace vmactest
