// Input reports and removal notices: delivered by copying into the registered
// buffer on the run loop the device object is scheduled on, and only there.
#include "vmacfixture.h"

#include "loopthread.h"
#include "quenor/mac/platform.h"

#include <mutex>
#include <thread>
#include <vector>

namespace vmactest {
namespace {

using quenor::mac::ScopedCFRef;

// What the callbacks saw. Written on the delivering thread; read after the
// ticket says the callback ran.
struct Sink {
    std::mutex mutex;
    struct Report {
        IOReturn result;
        void* sender;
        IOHIDReportType type;
        uint32_t id;
        std::vector<uint8_t> bytes;
        bool intoBuffer;
        std::thread::id thread;
    };
    std::vector<Report> reports;
    std::vector<std::thread::id> removals;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(4, 0);

    static void onReport(void* context, IOReturn result, void* sender, IOHIDReportType type,
                         uint32_t id, uint8_t* report, CFIndex length) {
        auto* self = static_cast<Sink*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->reports.push_back({result, sender, type, id,
                                 std::vector<uint8_t>(report, report + length),
                                 report == self->buffer.data(), std::this_thread::get_id()});
    }

    static void onRemoval(void* context, IOReturn, void*) {
        auto* self = static_cast<Sink*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->removals.push_back(std::this_thread::get_id());
    }
};

class DeliveryTest : public VmacTest {
protected:
    void SetUp() override {
        VmacTest::SetUp();
        device_ = vmac::plugDevice("IOService:/delivery");
        hid_ = ScopedCFRef<IOHIDDeviceRef>::adopt(
            IOHIDDeviceCreate(kCFAllocatorDefault, device_.entry()));
        ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid_.get(), kIOHIDOptionsTypeNone));
        IOHIDDeviceRegisterInputReportCallback(hid_.get(), sink_.buffer.data(),
                                               static_cast<CFIndex>(sink_.buffer.size()),
                                               Sink::onReport, &sink_);
        IOHIDDeviceRegisterRemovalCallback(hid_.get(), Sink::onRemoval, &sink_);
    }

    void TearDown() override {
        hid_.reset();
        VmacTest::TearDown();
    }

    CFStringRef mode_ = CFSTR("vmac.delivery");
    vmac::VirtualDevice device_;
    Sink sink_;
    ScopedCFRef<IOHIDDeviceRef> hid_;
};

TEST_F(DeliveryTest, ReportIsCopiedIntoTheBufferOnTheScheduledLoopThread) {
    LoopThread worker(mode_);
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), worker.loop(), mode_);
    EXPECT_EQ(std::vector<std::thread::id>{worker.id()}, device_.scheduledThreads());
    EXPECT_EQ(vmac::Outcome::Delivered, device_.injectInputReport(3, {3, 1, 2}).wait());
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), worker.loop(), mode_);
    std::lock_guard<std::mutex> lock(sink_.mutex);
    ASSERT_EQ(1u, sink_.reports.size());
    const auto& report = sink_.reports[0];
    EXPECT_EQ(kIOReturnSuccess, report.result);
    EXPECT_EQ(hid_.get(), report.sender);
    EXPECT_EQ(kIOHIDReportTypeInput, report.type);
    EXPECT_EQ(3u, report.id);
    EXPECT_EQ((std::vector<uint8_t>{3, 1, 2}), report.bytes);
    EXPECT_TRUE(report.intoBuffer);
    EXPECT_EQ(worker.id(), report.thread);
}

TEST_F(DeliveryTest, LongReportIsTruncatedToTheRegisteredSizeAndResultPassesThrough) {
    LoopThread worker(mode_);
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), worker.loop(), mode_);
    EXPECT_EQ(vmac::Outcome::Delivered,
              device_.injectInputReport(1, {1, 2, 3, 4, 5, 6}, kIOReturnAborted).wait());
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), worker.loop(), mode_);
    std::lock_guard<std::mutex> lock(sink_.mutex);
    ASSERT_EQ(1u, sink_.reports.size());
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), sink_.reports[0].bytes);
    EXPECT_EQ(kIOReturnAborted, sink_.reports[0].result);
}

TEST_F(DeliveryTest, ReportWaitsUntilTheLoopRunsInTheScheduledMode) {
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, mode_);
    // A scheduled device is a source: its mode does not finish.
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(mode_, 0.0, false));
    vmac::Ticket ticket = device_.injectInputReport(7, {7});
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(CFSTR("vmac.elsewhere"), 0.0, true));
    EXPECT_EQ(vmac::Outcome::Pending, ticket.outcome());
    EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(mode_, 1000.0, true));
    EXPECT_EQ(vmac::Outcome::Delivered, ticket.outcome());
    EXPECT_EQ(1u, sink_.reports.size());
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), loop, mode_);
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(mode_, 0.0, false));
}

TEST_F(DeliveryTest, ReportIsDroppedWithoutAnOpenScheduledRegisteredObject) {
    EXPECT_EQ(vmac::Outcome::Dropped, device_.injectInputReport(1, {1}).outcome())
        << "not scheduled";
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, mode_);
    IOHIDDeviceRegisterInputReportCallback(hid_.get(), nullptr, 0, nullptr, nullptr);
    EXPECT_FALSE(device_.inputCallbackRegistered());
    EXPECT_EQ(vmac::Outcome::Dropped, device_.injectInputReport(1, {1}).outcome())
        << "unregistered";
    IOHIDDeviceRegisterInputReportCallback(hid_.get(), sink_.buffer.data(), 4, Sink::onReport,
                                           &sink_);
    IOHIDDeviceClose(hid_.get(), kIOHIDOptionsTypeNone);
    EXPECT_EQ(vmac::Outcome::Dropped, device_.injectInputReport(1, {1}).outcome()) << "closed";
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), loop, mode_);
    EXPECT_TRUE(sink_.reports.empty());
}

TEST_F(DeliveryTest, PendingReportIsDroppedWhenTheObjectLeavesBeforeDelivery) {
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, mode_);
    vmac::Ticket unregistered = device_.injectInputReport(1, {1});
    IOHIDDeviceRegisterInputReportCallback(hid_.get(), nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(vmac::Outcome::Dropped, unregistered.outcome());

    IOHIDDeviceRegisterInputReportCallback(hid_.get(), sink_.buffer.data(), 4, Sink::onReport,
                                           &sink_);
    vmac::Ticket unscheduled = device_.injectInputReport(2, {2});
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), loop, mode_);
    EXPECT_EQ(vmac::Outcome::Dropped, unscheduled.outcome());
    EXPECT_FALSE(device_.isScheduled());

    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, mode_);
    vmac::Ticket closed = device_.injectInputReport(3, {3});
    IOHIDDeviceClose(hid_.get(), kIOHIDOptionsTypeNone);
    EXPECT_EQ(vmac::Outcome::Dropped, closed.outcome());
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), loop, mode_);
    EXPECT_TRUE(sink_.reports.empty());
}

TEST_F(DeliveryTest, EveryQualifyingObjectGetsItsCopy) {
    Sink second;
    auto other =
        ScopedCFRef<IOHIDDeviceRef>::adopt(IOHIDDeviceCreate(kCFAllocatorDefault, device_.entry()));
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(other.get(), kIOHIDOptionsTypeNone));
    IOHIDDeviceRegisterInputReportCallback(other.get(), second.buffer.data(), 4, Sink::onReport,
                                           &second);
    LoopThread firstWorker(mode_);
    LoopThread secondWorker(mode_);
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), firstWorker.loop(), mode_);
    IOHIDDeviceScheduleWithRunLoop(other.get(), secondWorker.loop(), mode_);
    EXPECT_EQ(vmac::Outcome::Delivered, device_.injectInputReport(4, {4}).wait());
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), firstWorker.loop(), mode_);
    IOHIDDeviceUnscheduleFromRunLoop(other.get(), secondWorker.loop(), mode_);
    std::lock_guard<std::mutex> first(sink_.mutex);
    std::lock_guard<std::mutex> lock(second.mutex);
    ASSERT_EQ(1u, sink_.reports.size());
    ASSERT_EQ(1u, second.reports.size());
    EXPECT_EQ(firstWorker.id(), sink_.reports[0].thread);
    EXPECT_EQ(secondWorker.id(), second.reports[0].thread);
    EXPECT_EQ(other.get(), second.reports[0].sender);
}

TEST_F(DeliveryTest, UnplugRunsTheRemovalCallbackOnTheLoopAfterEarlierReports) {
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, mode_);
    vmac::Ticket report = device_.injectInputReport(5, {5});
    vmac::Ticket removal = device_.unplug();
    EXPECT_EQ(vmac::Outcome::Pending, removal.outcome());
    EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(mode_, 1000.0, true));
    EXPECT_EQ(vmac::Outcome::Delivered, report.outcome());
    EXPECT_EQ(vmac::Outcome::Delivered, removal.outcome());
    ASSERT_EQ(1u, sink_.removals.size());
    EXPECT_EQ(std::this_thread::get_id(), sink_.removals[0]);
    EXPECT_EQ(1u, sink_.reports.size());
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), loop, mode_);
}

TEST_F(DeliveryTest, RemovalIsDroppedForAnObjectThatUnregisteredOrIsNotScheduled) {
    EXPECT_EQ(vmac::Outcome::Dropped, device_.unplug().outcome());
    EXPECT_TRUE(sink_.removals.empty());
}

TEST_F(DeliveryTest, RemovalCallbackOnALoopThread) {
    LoopThread worker(mode_);
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), worker.loop(), mode_);
    EXPECT_EQ(vmac::Outcome::Delivered, device_.unplug().wait());
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), worker.loop(), mode_);
    std::lock_guard<std::mutex> lock(sink_.mutex);
    EXPECT_EQ(std::vector<std::thread::id>{worker.id()}, sink_.removals);
    EXPECT_EQ(vmac::Outcome::Dropped, device_.injectInputReport(1, {1}).outcome());
}

TEST_F(DeliveryTest, ObservationFollowsRegistrationAndScheduling) {
    EXPECT_TRUE(device_.inputCallbackRegistered());
    EXPECT_TRUE(device_.removalCallbackRegistered());
    EXPECT_FALSE(device_.isScheduled());
    IOHIDDeviceRegisterRemovalCallback(hid_.get(), nullptr, &sink_);
    EXPECT_FALSE(device_.removalCallbackRegistered());
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, mode_);
    EXPECT_EQ(std::vector<std::thread::id>{std::this_thread::get_id()}, device_.scheduledThreads());
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), loop, mode_);
    EXPECT_TRUE(device_.scheduledThreads().empty());
}

}  // namespace
}  // namespace vmactest
