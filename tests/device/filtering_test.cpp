// Report filtering by report ID: which injected input reports reach the input
// queue, with filtering switched on and off while the device is open and closed.
#include "devicefixture.h"

namespace devicetest {
namespace {

constexpr uint32_t kGadgetPage = 0xFF00;

class FilteringTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        gadget = plugGadget();
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
        while (true) {
            ReportBuffer buffer = bytes({0, 0});
            const auto read = await(device->getReport(buffer, 0));
            if (!read.success) {
                break;
            }
            queued.push_back((*buffer)[0]);
        }
        return queued;
    }

    vmac::VirtualDevice gadget;
    AbstractHidDevice* device = nullptr;
};

using Ids = std::vector<uint32_t>;

TEST_F(FilteringTest, OnlyIdsOfElementsOnTheDevicePagePass) {
    addElements(kGadgetPage, {2, 1, 2, 3});
    addElements(0x0001, {4, 5});  // another page does not count
    device->setReportFilteringEnabled(true);
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(Ids({1, 2, 3, 3, 2}), passing({1, 4, 2, 3, 5, 0, 3, 2}));
}

TEST_F(FilteringTest, ReportIdZeroIsAnOrdinaryId) {
    addElements(kGadgetPage, {0, 0});
    device->setReportFilteringEnabled(true);
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(Ids({0, 0}), passing({0, 1, 0, 255}));
}

TEST_F(FilteringTest, NoElementOnThePageAcceptsEverything) {
    addElements(0x0001, {1, 2});
    device->setReportFilteringEnabled(true);
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_TRUE(device->isReportFilteringEnabled());
    EXPECT_EQ(Ids({1, 7, 0}), passing({1, 7, 0}));
}

TEST_F(FilteringTest, SwitchedOnWhileClosedTakesEffectAtTheNextOpen) {
    addElements(kGadgetPage, {1});
    EXPECT_FALSE(device->isReportFilteringEnabled());
    device->setReportFilteringEnabled(true);
    EXPECT_TRUE(device->isReportFilteringEnabled());
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(Ids({1}), passing({1, 2}));
}

TEST_F(FilteringTest, SwitchingWhileOpenRebuildsOrEmptiesTheList) {
    addElements(kGadgetPage, {1});
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(Ids({1, 2}), passing({1, 2}));

    device->setReportFilteringEnabled(true);
    EXPECT_EQ(Ids({1}), passing({1, 2}));

    device->setReportFilteringEnabled(false);
    EXPECT_FALSE(device->isReportFilteringEnabled());
    EXPECT_EQ(Ids({1, 2}), passing({1, 2}));
}

TEST_F(FilteringTest, SwitchingOnTwiceDoesNotRebuild) {
    addElements(kGadgetPage, {1});
    ASSERT_TRUE(device->open(0, 1));
    device->setReportFilteringEnabled(true);
    addElements(kGadgetPage, {2});
    device->setReportFilteringEnabled(true);
    EXPECT_EQ(Ids({1}), passing({1, 2}));

    // Off and on again is the way to rebuild.
    device->setReportFilteringEnabled(false);
    device->setReportFilteringEnabled(true);
    EXPECT_EQ(Ids({1, 2}), passing({1, 2, 3}));
}

TEST_F(FilteringTest, ReopenRebuildsTheList) {
    addElements(kGadgetPage, {1});
    device->setReportFilteringEnabled(true);
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(Ids({1}), passing({1, 2}));

    ASSERT_TRUE(device->close());
    EXPECT_TRUE(device->isReportFilteringEnabled());
    addElements(kGadgetPage, {2});
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(Ids({1, 2}), passing({1, 2, 3}));

    // Switched off while closed: the next open accepts everything.
    ASSERT_TRUE(device->close());
    device->setReportFilteringEnabled(false);
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(Ids({1, 2, 3}), passing({1, 2, 3}));
}

TEST_F(FilteringTest, TheOpenedUsagePairChoosesThePage) {
    // Pair 1 selects page 0x0C; the primary page 0xFF00 plays no part then.
    CFArrayRef pairs = vmac::makeUsagePairs({{0xFF00, 1}, {0x0C, 1}});
    gadget.setProperty("DeviceUsagePairs", pairs);
    CFRelease(pairs);
    addElements(kGadgetPage, {1});
    addElements(0x0C, {2});
    AbstractHidDevice* second = makeDevice(kGadgetPath, 1);
    destroyDevice(device);
    device = second;
    device->setReportFilteringEnabled(true);
    ASSERT_TRUE(device->open(0, 1));
    ASSERT_EQ(0x0C, device->usagePage());
    EXPECT_EQ(Ids({2}), passing({1, 2}));
}

}  // namespace
}  // namespace devicetest
