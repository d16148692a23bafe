#include "devicefixture.h"

namespace devicetest {
namespace {

TEST_F(DeviceTest, SmokeOpenEchoClose) {
    vmac::VirtualDevice gadget = plugGadget();
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(1, device->usage());
    EXPECT_EQ(0xFF00, device->usagePage());
    ReportBuffer out = device->allocateReport(AbstractHidDevice::Output);
    auto sent = await(device->setReport(2, out, 1000));
    EXPECT_TRUE(sent.success);
    EXPECT_EQ(64, sent.bytesTransferred);
    auto in = device->allocateReport(AbstractHidDevice::Input);
    auto read = device->getReport(in, -1);
    EXPECT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(3, {3, 1, 2}).wait());
    auto got = await(read);
    EXPECT_TRUE(got.success);
    EXPECT_EQ(3, got.bytesTransferred);
    EXPECT_EQ(L"Echo Gadget", await(device->productName()).value);
    EXPECT_TRUE(device->close());
}

}  // namespace
}  // namespace devicetest
