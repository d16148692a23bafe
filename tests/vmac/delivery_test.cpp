// Input reports and removal notices: delivered by copying into the registered
// buffer on the run loop the device object is scheduled on, and only there.
#include "vmacfixture.h"

#include "loopthread.h"

#include <mutex>
#include <stdexcept>
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
    device_.addElement({0xFF00, 1, 3});  // numbered reports: IDs 3 and 1
    device_.addElement({0xFF00, 2, 1});
    Sink otherSink;
    auto other = createHid(device_);
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(other.get(), kIOHIDOptionsTypeNone));
    otherSink.registerWith(other.get());
    std::thread::id workerId, otherWorkerId;
    {
        LoopThread worker(mode_), otherWorker(mode_);
        workerId = worker.id(), otherWorkerId = otherWorker.id();
        IOHIDDeviceScheduleWithRunLoop(hid_.get(), worker.loop(), mode_);
        IOHIDDeviceScheduleWithRunLoop(other.get(), otherWorker.loop(), mode_);
        EXPECT_EQ(2u, device_.scheduledThreads().size());
        EXPECT_EQ(vmac::Outcome::Delivered, device_.injectInputReport(3, {3, 1, 2}).wait());
        EXPECT_EQ(vmac::Outcome::Delivered,
                  device_.injectInputReport(1, {1, 2, 3, 4, 5, 6}, kIOReturnAborted).wait());
        EXPECT_EQ(vmac::Outcome::Delivered, device_.unplug().wait());
        EXPECT_EQ(vmac::Outcome::Dropped, inject());
    }
    // The loops have ended: the schedules may be changed from here now.
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), CFRunLoopGetCurrent(), mode_);
    IOHIDDeviceUnscheduleFromRunLoop(other.get(), CFRunLoopGetCurrent(), mode_);

    const auto input = kIOHIDReportTypeInput;
    std::scoped_lock lock(sink_.mutex, otherSink.mutex);
    EXPECT_EQ((std::vector<Report>{
                  {kIOReturnSuccess, hid_.get(), input, 3, {3, 1, 2}, true, workerId},
                  {kIOReturnAborted, hid_.get(), input, 1, {1, 2, 3, 4}, true, workerId}}),
              sink_.reports)
        << "a long report is truncated to the registered size";
    EXPECT_EQ(std::vector<std::thread::id>{workerId}, sink_.removals);
    EXPECT_EQ(Report(kIOReturnSuccess, other.get(), input, 3, {3, 1, 2}, true, otherWorkerId),
              otherSink.reports.at(0));
    EXPECT_EQ(std::vector<std::thread::id>{otherWorkerId}, otherSink.removals);
}

// The HID driver reads a numbered report's ID from byte 0 and drops reports it
// could not have parsed; a device without report IDs reports ID 0.
TEST_F(DeliveryTest, ReportIdsComeFromByteZeroAndUnparsableReportsAreDropped) {
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), CFRunLoopGetCurrent(), mode_);
    const auto deliver = [&](uint32_t id, const std::vector<uint8_t>& bytes) {
        vmac::Ticket ticket = device_.injectInputReport(id, bytes);
        CFRunLoopRunInMode(mode_, 0.0, false);
        return ticket.outcome();
    };
    EXPECT_EQ(vmac::Outcome::Delivered, deliver(5, {1, 2}));
    device_.addElement({0xFF00, 1, 5});
    device_.declareInputReport(6, 3);
    EXPECT_THROW(device_.injectInputReport(5, {1, 2}), std::invalid_argument)
        << "a numbered report's first byte is its ID";
    EXPECT_THROW(device_.injectInputReport(5, {}), std::invalid_argument);
    EXPECT_EQ(vmac::Outcome::Dropped, deliver(7, {7, 1, 2})) << "an ID the device lacks";
    EXPECT_EQ(vmac::Outcome::Dropped, deliver(6, {6, 1})) << "shorter than declared";
    EXPECT_EQ(vmac::Outcome::Delivered, deliver(6, {6, 1, 2}));
    EXPECT_EQ(vmac::Outcome::Delivered, deliver(5, {5}));
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), CFRunLoopGetCurrent(), mode_);
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> seen;
    for (const Report& report : sink_.reports)
        seen.emplace_back(std::get<3>(report), std::get<4>(report));
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, std::vector<uint8_t>>>{
                        {0, {1, 2}}, {6, {6, 1, 2}}, {5, {5}}}));
}

// A removal notice waits for each object's schedule: one that is scheduled only
// later gets it then. A removal never finishes the loop: the callback is the sign.
TEST_F(DeliveryTest, DeliveryWaitsForTheScheduleAndRemovalComesAfterEarlierReports) {
    auto late = createHid(device_);  // open and registered, scheduled only after the unplug
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(late.get(), kIOHIDOptionsTypeNone));
    sink_.registerWith(late.get());
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, mode_);
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(mode_, 0.0, false))
        << "a scheduled device is a source: its mode does not finish";
    vmac::Ticket report = device_.injectInputReport(7, {7});
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(CFSTR("vmac.elsewhere"), 0.0, true));
    vmac::Ticket removal = device_.unplug();
    EXPECT_EQ(vmac::Outcome::Pending, report.outcome());
    EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(mode_, 1000.0, true));
    EXPECT_EQ(vmac::Outcome::Delivered, report.outcome());
    EXPECT_EQ(1u, sink_.reports.size());
    EXPECT_EQ(std::vector<std::thread::id>{std::this_thread::get_id()}, sink_.removals);
    EXPECT_EQ(vmac::Outcome::Pending, removal.outcome()) << "the late object has not had it";
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(mode_, 0.0, false))
        << "the removed device's source stays scheduled";

    IOHIDDeviceScheduleWithRunLoop(late.get(), loop, CFSTR("vmac.late"));
    EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(CFSTR("vmac.late"), 1000.0, true));
    EXPECT_EQ(vmac::Outcome::Delivered, removal.outcome());
    EXPECT_EQ(2u, sink_.removals.size());
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), loop, mode_);
    IOHIDDeviceUnscheduleFromRunLoop(late.get(), loop, mode_);  // its arguments are ignored
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(mode_, 0.0, false));
}

// Reports flow only to open, scheduled objects. Unregistering the callback
// keeps the buffer registered: it is still written, but nothing is delivered.
TEST_F(DeliveryTest, ReportsNeedOpenAndScheduledAndAnUnregisteredBufferIsStillWritten) {
    EXPECT_EQ(vmac::Outcome::Dropped, inject()) << "not scheduled";
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, mode_);
    vmac::Ticket pending = device_.injectInputReport(1, {9});
    IOHIDDeviceRegisterInputReportCallback(hid_.get(), sink_.buffer, sizeof sink_.buffer, nullptr,
                                           nullptr);
    EXPECT_FALSE(device_.inputCallbackRegistered());
    CFRunLoopRunInMode(mode_, 0.0, true);
    EXPECT_EQ(vmac::Outcome::Dropped, pending.outcome()) << "no callback at delivery";
    EXPECT_EQ(9, sink_.buffer[0]) << "yet the buffer was written";

    sink_.registerWith(hid_.get());
    pending = device_.injectInputReport(2, {2});
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), loop, mode_);
    EXPECT_EQ(vmac::Outcome::Dropped, pending.outcome()) << "unscheduled before delivery";
    EXPECT_FALSE(device_.isScheduled());

    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, mode_);
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), loop, CFSTR("vmac.moved"));
    EXPECT_EQ(1u, device_.scheduledThreads().size()) << "scheduling again moves the schedule";
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(mode_, 0.0, false));
    pending = device_.injectInputReport(3, {3});
    IOHIDDeviceClose(hid_.get(), kIOHIDOptionsTypeNone);
    EXPECT_EQ(vmac::Outcome::Dropped, pending.outcome()) << "closed before delivery";
    EXPECT_EQ(vmac::Outcome::Dropped, inject()) << "closed";

    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid_.get(), kIOHIDOptionsTypeNone));
    IOHIDDeviceRegisterRemovalCallback(hid_.get(), nullptr, nullptr);
    EXPECT_FALSE(device_.removalCallbackRegistered());
    vmac::Ticket removal = device_.unplug();
    CFRunLoopRunInMode(CFSTR("vmac.moved"), 0.0, true);
    EXPECT_EQ(vmac::Outcome::Dropped, removal.outcome()) << "removal unregistered";
    IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), loop, mode_);  // its arguments are ignored
    EXPECT_FALSE(device_.isScheduled());
    EXPECT_TRUE(sink_.reports.empty());
    EXPECT_TRUE(sink_.removals.empty());
}

// Callbacks and schedules may change only on the scheduled loop's thread, or
// while that loop does not run; the report buffer is never NULL.
TEST_F(DeliveryTest, MisuseAbortsAsItWouldCorruptAMac) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(IOHIDDeviceRegisterInputReportCallback(hid_.get(), nullptr, 0, nullptr, nullptr),
                 "NULL report buffer");
    // The mode is kept without a reference: releasing it while scheduled is a fault.
    EXPECT_DEATH(
        {
            CFStringRef owned = vmac::makeString("vmac.released");
            IOHIDDeviceScheduleWithRunLoop(hid_.get(), CFRunLoopGetCurrent(), owned);
            CFRelease(owned);
            IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), CFRunLoopGetCurrent(), mode_);
        },
        "released CFString");
    LoopThread worker(mode_);
    IOHIDDeviceScheduleWithRunLoop(hid_.get(), worker.loop(), mode_);
    ASSERT_EQ(vmac::Outcome::Delivered, device_.injectInputReport(1, {1}).wait())
        << "so the worker's loop is running";
    EXPECT_DEATH(IOHIDDeviceRegisterRemovalCallback(hid_.get(), nullptr, nullptr),
                 "another thread than that of the run loop");
    EXPECT_DEATH(IOHIDDeviceUnscheduleFromRunLoop(hid_.get(), worker.loop(), mode_),
                 "another thread than that of the run loop");
    CFRunLoopSourceContext context{};
    context.info = hid_.get();
    context.perform = [](void* hid) {
        IOHIDDeviceUnscheduleFromRunLoop(static_cast<IOHIDDeviceRef>(hid), CFRunLoopGetCurrent(),
                                         CFSTR("vmac.any"));
    };
    auto unschedule = ScopedCFRef<CFRunLoopSourceRef>::adopt(
        CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context));
    CFRunLoopAddSource(worker.loop(), unschedule.get(), mode_);
    CFRunLoopSourceSignal(unschedule.get());
    CFRunLoopWakeUp(worker.loop());
    EXPECT_TRUE(eventually([&] { return !device_.isScheduled(); })) << "fine on the loop's thread";
    CFRunLoopRemoveSource(worker.loop(), unschedule.get(), mode_);
}

}  // namespace
}  // namespace vmactest
