// Input reports and removal notices: delivered by copying into the registered
// buffer on the run loop the device object is scheduled on, and only there.
#include "vmacfixture.h"

#include "loopthread.h"

#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

namespace vmactest {
namespace {

// result, sender, type, report ID, bytes, copied into the registered buffer, thread
using Report = std::tuple<IOReturn, void*, IOHIDReportType, uint32_t, std::vector<uint8_t>, bool,
                          std::thread::id>;

// What the callbacks of the device objects registered with it saw; filled on
// the delivering threads.
struct Sink {
    void registerWith(IOHIDDeviceRef hid) {
        IOHIDDeviceRegisterInputReportCallback(hid, buffer, sizeof buffer, onReport, this);
        IOHIDDeviceRegisterRemovalCallback(hid, onRemoval, this);
    }

    static void onReport(void* context, IOReturn result, void* sender, IOHIDReportType type,
                         uint32_t id, uint8_t* report, CFIndex length) {
        auto* self = static_cast<Sink*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->reports.emplace_back(result, sender, type, id,
                                   std::vector<uint8_t>(report, report + length),
                                   report == self->buffer, std::this_thread::get_id());
    }

    static void onRemoval(void* context, IOReturn, void*) {
        auto* self = static_cast<Sink*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->removals.push_back(std::this_thread::get_id());
    }

    uint8_t buffer[4] = {};
    std::mutex mutex;
    std::vector<Report> reports;            // guarded by mutex
    std::vector<std::thread::id> removals;  // guarded by mutex
};

class DeliveryTest : public OpenDeviceTest {
protected:
    void SetUp() override {
        OpenDeviceTest::SetUp();
        sink_.registerWith(hid_.get());
    }

    vmac::Outcome inject() { return device_.injectInputReport(1, {1}).outcome(); }

    CFStringRef mode_ = CFSTR("vmac.delivery");
    Sink sink_;
};

TEST_F(DeliveryTest, EachScheduledObjectGetsItsCopyOnItsOwnLoopThread) {
    Sink otherSink;
    auto other = createHid(device_);
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(other.get(), kIOHIDOptionsTypeNone));
    otherSink.registerWith(other.get());
    LoopThread worker(mode_);
    LoopThread otherWorker(mode_);
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), worker.loop(), mode_);
    IOHIDDeviceScheduleWithRunLoop(other.get(), otherWorker.loop(), mode_);
    EXPECT_EQ(2u, device_.scheduledThreads().size());
    EXPECT_EQ(vmac::Outcome::Delivered, device_.injectInputReport(3, {3, 1, 2}).wait());
    EXPECT_EQ(vmac::Outcome::Delivered,
              device_.injectInputReport(1, {1, 2, 3, 4, 5, 6}, kIOReturnAborted).wait());
    EXPECT_EQ(vmac::Outcome::Delivered, device_.unplug().wait());
    EXPECT_EQ(vmac::Outcome::Dropped, inject());
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), worker.loop(), mode_);
    IOHIDDeviceUnscheduleFromRunLoop(other.get(), otherWorker.loop(), mode_);

    const auto input = kIOHIDReportTypeInput;
    std::lock_guard<std::mutex> lock(sink_.mutex);
    std::lock_guard<std::mutex> otherLock(otherSink.mutex);
    EXPECT_EQ((std::vector<Report>{
                  {kIOReturnSuccess, hid_.get(), input, 3, {3, 1, 2}, true, worker.id()},
                  {kIOReturnAborted, hid_.get(), input, 1, {1, 2, 3, 4}, true, worker.id()}}),
              sink_.reports)
        << "a long report is truncated to the registered size";
    EXPECT_EQ(std::vector<std::thread::id>{worker.id()}, sink_.removals);
    EXPECT_EQ(Report(kIOReturnSuccess, other.get(), input, 3, {3, 1, 2}, true, otherWorker.id()),
              otherSink.reports.at(0));
    EXPECT_EQ(std::vector<std::thread::id>{otherWorker.id()}, otherSink.removals);
}

TEST_F(DeliveryTest, DeliveryWaitsForTheScheduledModeAndRemovalComesAfterEarlierReports) {
    auto unscheduled = createHid(device_);  // open and registered, but never scheduled
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(unscheduled.get(), kIOHIDOptionsTypeNone));
    sink_.registerWith(unscheduled.get());
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, mode_);
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(mode_, 0.0, false))
        << "a scheduled device is a source: its mode does not finish";
    vmac::Ticket report = device_.injectInputReport(7, {7});
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(CFSTR("vmac.elsewhere"), 0.0, true));
    vmac::Ticket removal = device_.unplug();
    EXPECT_EQ(vmac::Outcome::Pending, report.outcome());
    EXPECT_EQ(vmac::Outcome::Pending, removal.outcome());
    EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(mode_, 1000.0, true));
    EXPECT_EQ(vmac::Outcome::Delivered, report.outcome());
    EXPECT_EQ(vmac::Outcome::Delivered, removal.outcome());
    EXPECT_EQ(1u, sink_.reports.size());
    EXPECT_EQ(std::vector<std::thread::id>{std::this_thread::get_id()}, sink_.removals);
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), loop, mode_);
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(mode_, 0.0, false));
}

TEST_F(DeliveryTest, DroppedUnlessOpenScheduledAndRegisteredUntilDelivery) {
    EXPECT_EQ(vmac::Outcome::Dropped, inject()) << "not scheduled";
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, mode_);
    vmac::Ticket pending = device_.injectInputReport(1, {1});
    IOHIDDeviceRegisterInputReportCallback(hid_.get(), nullptr, 0, nullptr, nullptr);
    EXPECT_FALSE(device_.inputCallbackRegistered());
    EXPECT_EQ(vmac::Outcome::Dropped, pending.outcome()) << "unregistered before delivery";
    EXPECT_EQ(vmac::Outcome::Dropped, inject()) << "unregistered";

    sink_.registerWith(hid_.get());
    pending = device_.injectInputReport(2, {2});
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), loop, mode_);
    EXPECT_EQ(vmac::Outcome::Dropped, pending.outcome()) << "unscheduled before delivery";
    EXPECT_FALSE(device_.isScheduled());

    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, mode_);
    pending = device_.injectInputReport(3, {3});
    IOHIDDeviceClose(hid_.get(), kIOHIDOptionsTypeNone);
    EXPECT_EQ(vmac::Outcome::Dropped, pending.outcome()) << "closed before delivery";
    EXPECT_EQ(vmac::Outcome::Dropped, inject()) << "closed";

    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid_.get(), kIOHIDOptionsTypeNone));
    IOHIDDeviceRegisterRemovalCallback(hid_.get(), nullptr, nullptr);
    EXPECT_FALSE(device_.removalCallbackRegistered());
    EXPECT_EQ(vmac::Outcome::Dropped, device_.unplug().outcome()) << "removal unregistered";
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), loop, mode_);
    EXPECT_TRUE(sink_.reports.empty());
    EXPECT_TRUE(sink_.removals.empty());
}

}  // namespace
}  // namespace vmactest
