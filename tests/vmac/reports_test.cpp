// SetReport / GetReport: scripted answers, the call log and the HID driver's
// request time-out that ends a blocked call. How release, unplug and
// pthread_cancel end the two kinds of blocked call is held by the device suites.
#include "vmacfixture.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

namespace vmactest {
namespace {

class ReportsTest : public OpenDeviceTest {
protected:
    IOReturn setReport(CFIndex id, std::vector<uint8_t> bytes) {
        return IOHIDDeviceSetReport(hid_.get(), kIOHIDReportTypeOutput, id, bytes.data(),
                                    static_cast<CFIndex>(bytes.size()));
    }

    IOReturn getReport(CFIndex id, uint8_t* buffer, CFIndex* length) {
        return IOHIDDeviceGetReport(hid_.get(), kIOHIDReportTypeFeature, id, buffer, length);
    }
};

// A GetReport of up to 4 bytes (or a SetReport of 1) on a thread of its own, for calls that block.
struct Caller {
    explicit Caller(IOHIDDeviceRef hid, vmac::ReportCallKind kind = vmac::ReportCallKind::Get)
        : thread([this, hid, kind] {
              struct Guard {
                  std::atomic<bool>& left;
                  ~Guard() { left = true; }
              } guard{left};
              uint8_t buffer[4] = {};
              CFIndex length = 4;
              result = kind == vmac::ReportCallKind::Get
                           ? IOHIDDeviceGetReport(hid, kIOHIDReportTypeFeature, 1, buffer, &length)
                           : IOHIDDeviceSetReport(hid, kIOHIDReportTypeOutput, 1, buffer, 1);
              received = length;
              returned = true;
          }) {}

    std::atomic<bool> left{false};  // the thread's frame was left, by return or by unwinding
    std::atomic<bool> returned{false};
    std::atomic<IOReturn> result{kIOReturnError};
    std::atomic<CFIndex> received{-1};  // GetReport's length once returned
    std::thread thread;
};

// Queued answers come first, in order, then the responder, then the default answer.
TEST_F(ReportsTest, QueuedAnswersThenTheResponderThenTheDefaultAndCallsAreLogged) {
    IOHIDDeviceClose(hid_.get(), kIOHIDOptionsTypeNone);
    EXPECT_EQ(kIOReturnNotOpen, setReport(1, {1})) << "not logged either";
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid_.get(), kIOHIDOptionsTypeNone));
    device_.queueSetReportAnswer({kIOReturnError, {}, vmac::Block::None});
    device_.queueSetReportAnswer({kIOReturnTimeout, {}, vmac::Block::None});
    device_.setDefaultSetReportAnswer({kIOReturnAborted, {}, vmac::Block::None});
    std::vector<uint8_t> remembered;
    device_.setReportResponder([&](const vmac::ReportCall& call) {
        vmac::ReportAnswer answer;
        if (call.kind == vmac::ReportCallKind::Set) {
            remembered = call.bytes;
            // No platform lock is held here, and the call is already in the log.
            EXPECT_EQ(call.bytes, device_.reportCalls().back().bytes);
        } else {
            answer.data = remembered;
        }
        return answer;
    });
    std::thread other([&] { EXPECT_EQ(kIOReturnError, setReport(5, {1, 2, 3})); });
    ASSERT_TRUE(device_.waitForReportCalls(1));
    other.join();
    EXPECT_EQ(kIOReturnTimeout, setReport(0, {0}));
    EXPECT_TRUE(remembered.empty());
    EXPECT_EQ(kIOReturnSuccess, setReport(4, {4, 5, 6}));
    uint8_t out[8] = {};
    CFIndex length = sizeof out;
    ASSERT_EQ(kIOReturnSuccess, getReport(4, out, &length));
    EXPECT_EQ(std::vector<uint8_t>(out, out + length), (std::vector<uint8_t>{4, 5, 6}));
    device_.setReportResponder({});  // unset: the default answers again
    EXPECT_EQ(kIOReturnAborted, setReport(0, {0}));
    ASSERT_EQ(kIOReturnSuccess, getReport(4, out, &length));
    EXPECT_EQ(0, length);
    const auto calls = device_.reportCalls();
    ASSERT_EQ(6u, calls.size());
    EXPECT_EQ(std::make_tuple(vmac::ReportCallKind::Set, kIOHIDReportTypeOutput, 5,
                              std::vector<uint8_t>{1, 2, 3}),
              std::make_tuple(calls[0].kind, calls[0].type, calls[0].reportId, calls[0].bytes));
    EXPECT_NE(std::this_thread::get_id(), calls[0].thread);
    EXPECT_EQ(std::this_thread::get_id(), calls[1].thread);
}

TEST_F(ReportsTest, GetReportCopiesUpToTheCallersLengthAndKeepsItOnFailure) {
    uint8_t none[1] = {};
    CFIndex empty = 0;
    EXPECT_EQ(kIOReturnBadArgument, getReport(0, none, &empty)) << "macOS refuses length 0";
    std::vector<uint8_t> large(0x10001);
    CFIndex tooLong = 0x10001;
    EXPECT_EQ(kIOReturnBadArgument, getReport(0, large.data(), &tooLong)) << "and above 64 KiB";
    EXPECT_TRUE(device_.reportCalls().empty());
    device_.queueGetReportAnswer({kIOReturnSuccess, {1, 2, 3, 4}, vmac::Block::None});
    device_.queueGetReportAnswer({kIOReturnError, {5}, vmac::Block::None});
    std::vector<uint8_t> buffer(3, 0xEE);
    CFIndex length = 2;
    ASSERT_EQ(kIOReturnSuccess, getReport(0, buffer.data(), &length));
    EXPECT_EQ(2, length);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 0xEE}), buffer);
    EXPECT_EQ(2, device_.reportCalls().at(0).length) << "the length on entry";
    EXPECT_EQ(kIOReturnError, getReport(0, buffer.data(), &length));
    EXPECT_EQ(2, length);
}

// The HID driver ends a blocked call after the device's "RequestTimeout" (microseconds, used
// from 50,000 to 1,200,000,000; else one second) with kIOReturnTimeout, GetReport writing
// nothing; a driver scripted never to return leaves the call blocked.
TEST_F(ReportsTest, BlockedCallsEndAtTheDriversRequestTimeoutUnlessItNeverReturns) {
    // Ends the caller's call within `limit`, or fails and releases it.
    const auto endsWithin = [this](Caller& caller, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!caller.left && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const bool ended = caller.left;
        device_.releaseBlockedCalls();
        caller.thread.join();
        return ended;
    };
    device_.setNumberProperty("RequestTimeout", 50000);
    for (vmac::Block block : {vmac::Block::NonCancellable, vmac::Block::Cancellable}) {
        device_.queueGetReportAnswer({kIOReturnSuccess, {1, 2}, block});
        device_.queueSetReportAnswer({kIOReturnSuccess, {}, block});
        Caller get(hid_.get());
        EXPECT_TRUE(endsWithin(get, std::chrono::seconds(5)));
        EXPECT_EQ(kIOReturnTimeout, get.result);
        EXPECT_EQ(4, get.received) << "nothing written";
        Caller set(hid_.get(), vmac::ReportCallKind::Set);
        EXPECT_TRUE(endsWithin(set, std::chrono::seconds(5)));
        EXPECT_EQ(kIOReturnTimeout, set.result);
    }
    device_.queueGetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable, true});
    Caller hung(hid_.get());
    EXPECT_FALSE(endsWithin(hung, std::chrono::milliseconds(300)));  // six request time-outs
    EXPECT_EQ(kIOReturnSuccess, hung.result) << "released";

    device_.setNumberProperty("RequestTimeout", 49999);  // below the driver's minimum
    device_.queueGetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable});
    const auto start = std::chrono::steady_clock::now();
    Caller byDefault(hid_.get());
    EXPECT_TRUE(endsWithin(byDefault, std::chrono::seconds(5)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
    EXPECT_EQ(kIOReturnTimeout, byDefault.result);
    EXPECT_EQ(0u, device_.cancelledCallCount());
}

// An unplug between the call's admission and its block must still end the call.
TEST_F(ReportsTest, UnplugJustBeforeTheBlockStillEndsTheCall) {
    device_.setReportResponder([this](const vmac::ReportCall&) {
        device_.unplug(kIOReturnNoDevice);
        return vmac::ReportAnswer{kIOReturnSuccess, {}, vmac::Block::NonCancellable, true};
    });
    EXPECT_EQ(kIOReturnNoDevice, setReport(1, {1})) << "the code the unplug chose";
}

}  // namespace
}  // namespace vmactest
