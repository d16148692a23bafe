// SetReport / GetReport: scripted answers, the call log, and the two kinds of
// blocked call (cancellable by pthread_cancel, and IOKit-like uncancellable).
#include "vmacfixture.h"

#include <pthread.h>

#include <atomic>
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

// A GetReport of up to 4 bytes on a thread of its own, for calls that block.
struct Caller {
    explicit Caller(IOHIDDeviceRef hid)
        : thread([this, hid] {
              struct Guard {
                  std::atomic<bool>& left;
                  ~Guard() { left = true; }
              } guard{left};
              uint8_t buffer[4];
              CFIndex received = 4;
              result = IOHIDDeviceGetReport(hid, kIOHIDReportTypeFeature, 1, buffer, &received);
              returned = true;
          }) {}

    std::atomic<bool> left{false};  // the thread's frame was left, by return or by unwinding
    std::atomic<bool> returned{false};
    std::atomic<IOReturn> result{kIOReturnError};
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

// An uncancellable call ignores pthread_cancel until released or unplugged; a cancellable one
// unwinds on it, or answers as scripted when released.
TEST_F(ReportsTest, BlockedCallsEndByCancelReleaseOrUnplugAsTheirKindAllows) {
    device_.queueGetReportAnswer({kIOReturnTimeout, {}, vmac::Block::NonCancellable});
    device_.queueGetReportAnswer({kIOReturnSuccess, {1}, vmac::Block::Cancellable});
    device_.queueGetReportAnswer({kIOReturnTimeout, {}, vmac::Block::Cancellable});
    device_.queueGetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable});
    Caller released(hid_.get());
    ASSERT_TRUE(device_.waitForBlockedCalls(1));
    Caller cancelled(hid_.get());
    ASSERT_TRUE(device_.waitForBlockedCalls(2));
    ASSERT_EQ(0, pthread_cancel(released.thread.native_handle()));
    ASSERT_EQ(0, pthread_cancel(cancelled.thread.native_handle()));
    cancelled.thread.join();  // cancelled later and unwound: the first had every chance
    EXPECT_TRUE(cancelled.left) << "the caller's frames were unwound";
    EXPECT_FALSE(cancelled.returned);
    EXPECT_EQ(1u, device_.cancelledCallCount());
    EXPECT_EQ(1u, device_.blockedCallCount());
    EXPECT_FALSE(released.left);
    device_.releaseBlockedCalls();
    EXPECT_EQ(0u, device_.blockedCallCount()) << "a released call no longer counts as blocked";
    released.thread.join();
    EXPECT_TRUE(released.returned) << "cancellation acts at a later cancellation point, or never";
    EXPECT_EQ(kIOReturnTimeout, released.result) << "the scripted answer";

    Caller answered(hid_.get());  // the cancelled call left no lock held
    ASSERT_TRUE(device_.waitForBlockedCalls(1));
    device_.releaseBlockedCalls();
    answered.thread.join();
    EXPECT_EQ(kIOReturnTimeout, answered.result);
    EXPECT_EQ(1u, device_.cancelledCallCount());

    Caller unplugged(hid_.get());
    ASSERT_TRUE(device_.waitForBlockedCalls(1));
    device_.unplug();
    unplugged.thread.join();
    EXPECT_EQ(kIOReturnNotAttached, unplugged.result) << "the default code of an unplug";
    EXPECT_EQ(0u, device_.blockedCallCount());
    EXPECT_EQ(kIOReturnNotAttached, setReport(1, {1})) << "later calls fail too";
}

// An unplug between the call's admission and its block must still end the call.
TEST_F(ReportsTest, UnplugJustBeforeTheBlockStillEndsTheCall) {
    device_.setReportResponder([this](const vmac::ReportCall&) {
        device_.unplug(kIOReturnNoDevice);
        return vmac::ReportAnswer{kIOReturnSuccess, {}, vmac::Block::NonCancellable};
    });
    EXPECT_EQ(kIOReturnNoDevice, setReport(1, {1})) << "the code the unplug chose";
}

}  // namespace
}  // namespace vmactest
