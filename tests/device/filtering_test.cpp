// Report filtering by report ID: which injected input reports reach the input
// queue, with filtering switched on and off while the device is open and closed.
#include "devicefixture.h"

namespace devicetest {
namespace {

constexpr uint32_t kGadgetPage = 0xFF00;

class FilteringTest : public GadgetTest {
protected:
    void SetUp() override {
        GadgetTest::SetUp();
        // A device with report IDs sends only the IDs its descriptor declares.
        for (uint32_t id : {1, 2, 3, 4, 5, 7, 255}) {
            gadget.declareInputReport(id, 2);
        }
        device = makeDevice();
    }

    void addElements(uint32_t usagePage, const std::vector<uint32_t>& reportIds) {
        for (uint32_t id : reportIds) {
            gadget.addElement({usagePage, 1, id});
        }
    }

    // Injects one report per ID (its first byte is the ID) and returns the IDs of
    // the reports that reached the input queue, in order, draining it.
    std::vector<uint32_t> passing(const std::vector<uint32_t>& reportIds) {
        for (uint32_t id : reportIds) {
            EXPECT_EQ(vmac::Outcome::Delivered,
                      gadget.injectInputReport(id, {static_cast<uint8_t>(id), 0xEE}).wait());
        }
        std::vector<uint32_t> queued;
        ReportBuffer buffer = bytes({0});
        while (await(device->getReport(buffer, 0)).success) {
            queued.push_back((*buffer)[0]);
        }
        return queued;
    }

    AbstractHidDevice* device = nullptr;
};

using Ids = std::vector<uint32_t>;

// The list holds the report IDs of every element on the device's page, whatever
// their order or repetition; an empty list accepts everything. The flag belongs
// to the device object; the list to the open device, built by the open or by
// switching on while open, emptied by switching off.
TEST_F(FilteringTest, OnlyIdsOfElementsOnTheDevicePagePassWhileSwitchedOn) {
    addElements(0x0001, {4, 5});  // another page does not count
    EXPECT_FALSE(device->isReportFilteringEnabled());
    device->setReportFilteringEnabled(true);
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(Ids({1, 4, 255}), passing({1, 4, 255}));

    addElements(kGadgetPage, {2, 1, 2});
    device->setReportFilteringEnabled(false);
    EXPECT_EQ(Ids({1, 4}), passing({1, 4}));
    device->setReportFilteringEnabled(true);  // on again while open: rebuilt
    addElements(kGadgetPage, {3});
    device->setReportFilteringEnabled(true);  // on twice: not rebuilt
    EXPECT_EQ(Ids({1, 2, 2, 1}), passing({1, 4, 2, 3, 5, 255, 2, 1}));

    // The flag outlives the close, and the reopen rebuilds from the device.
    ASSERT_TRUE(device->close());
    EXPECT_TRUE(device->isReportFilteringEnabled());
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(Ids({1, 2, 3}), passing({1, 2, 3, 4}));

    // Switched off while closed: the next open accepts everything.
    ASSERT_TRUE(device->close());
    device->setReportFilteringEnabled(false);
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(Ids({1, 2, 3, 4}), passing({1, 2, 3, 4}));
}

TEST_F(FilteringTest, TheOpenedUsagePairChoosesThePage) {
    // Pair 1 selects page 0x0C; the primary page 0xFF00 plays no part then.
    CFArrayRef pairs = vmac::makeUsagePairs({{0xFF00, 1}, {0x0C, 1}});
    gadget.setProperty("DeviceUsagePairs", pairs);
    CFRelease(pairs);
    addElements(kGadgetPage, {1});
    addElements(0x0C, {2});
    device = makeDevice(kGadgetPath, 1);
    device->setReportFilteringEnabled(true);
    ASSERT_TRUE(device->open(0, 1));
    ASSERT_EQ(0x0C, device->usagePage());
    EXPECT_EQ(Ids({2}), passing({1, 2}));
}

}  // namespace
}  // namespace devicetest
