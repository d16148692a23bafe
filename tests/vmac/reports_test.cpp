// SetReport / GetReport: scripted answers, the call log, and the two kinds of
// blocked call (cancellable by pthread_cancel, and IOKit-like uncancellable).
#include "vmacfixture.h"

#include "quenor/mac/platform.h"

#include <pthread.h>

#include <atomic>
#include <thread>

namespace vmactest {
namespace {

using quenor::mac::ScopedCFRef;

class ReportsTest : public VmacTest {
protected:
    void SetUp() override {
        VmacTest::SetUp();
        device_ = vmac::plugDevice("IOService:/reports");
        hid_ = ScopedCFRef<IOHIDDeviceRef>::adopt(
            IOHIDDeviceCreate(kCFAllocatorDefault, device_.entry()));
        ASSERT_TRUE(hid_);
        ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid_.get(), kIOHIDOptionsTypeNone));
    }

    void TearDown() override {
        hid_.reset();
        VmacTest::TearDown();
    }

    IOReturn setReport(CFIndex id, std::vector<uint8_t> bytes) {
        return IOHIDDeviceSetReport(hid_.get(), kIOHIDReportTypeOutput, id, bytes.data(),
                                    static_cast<CFIndex>(bytes.size()));
    }

    vmac::VirtualDevice device_;
    ScopedCFRef<IOHIDDeviceRef> hid_;
};

TEST_F(ReportsTest, SetReportIsLoggedWithBytesIdTypeAndThread) {
    uint8_t bytes[] = {1, 2, 3};
    ASSERT_EQ(kIOReturnSuccess,
              IOHIDDeviceSetReport(hid_.get(), kIOHIDReportTypeFeature, 5, bytes, 3));
    const auto calls = device_.reportCalls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(vmac::ReportCallKind::Set, calls[0].kind);
    EXPECT_EQ(kIOHIDReportTypeFeature, calls[0].type);
    EXPECT_EQ(5, calls[0].reportId);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), calls[0].bytes);
    EXPECT_EQ(std::this_thread::get_id(), calls[0].thread);
}

TEST_F(ReportsTest, ResponderAnswersAfterQueuedAnswersAndMayUseTheControlApi) {
    device_.queueSetReportAnswer({kIOReturnError, {}, vmac::Block::None});
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
    EXPECT_EQ(kIOReturnError, setReport(0, {9, 9}));  // the queued answer comes first
    EXPECT_TRUE(remembered.empty());
    EXPECT_EQ(kIOReturnSuccess, setReport(4, {4, 5, 6}));
    uint8_t out[8] = {};
    CFIndex length = sizeof out;
    ASSERT_EQ(kIOReturnSuccess,
              IOHIDDeviceGetReport(hid_.get(), kIOHIDReportTypeFeature, 4, out, &length));
    EXPECT_EQ(3, length);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{4, 5, 6}));

    device_.setReportResponder({});  // unset: the default answer again
    length = sizeof out;
    ASSERT_EQ(kIOReturnSuccess,
              IOHIDDeviceGetReport(hid_.get(), kIOHIDReportTypeFeature, 4, out, &length));
    EXPECT_EQ(0, length);
}

TEST_F(ReportsTest, AnswersComeInOrderThenTheDefault) {
    device_.queueSetReportAnswer({kIOReturnError, {}, vmac::Block::None});
    device_.queueSetReportAnswer({kIOReturnTimeout, {}, vmac::Block::None});
    device_.setDefaultSetReportAnswer({kIOReturnAborted, {}, vmac::Block::None});
    EXPECT_EQ(kIOReturnError, setReport(0, {0}));
    EXPECT_EQ(kIOReturnTimeout, setReport(0, {0}));
    EXPECT_EQ(kIOReturnAborted, setReport(0, {0}));
    EXPECT_EQ(kIOReturnAborted, setReport(0, {0}));
}

TEST_F(ReportsTest, GetReportCopiesAShorterReportAndSetsTheLength) {
    device_.queueGetReportAnswer({kIOReturnSuccess, {9, 8, 7}, vmac::Block::None});
    std::vector<uint8_t> buffer(8, 0xEE);
    CFIndex length = 8;
    ASSERT_EQ(kIOReturnSuccess,
              IOHIDDeviceGetReport(hid_.get(), kIOHIDReportTypeFeature, 3, buffer.data(), &length));
    EXPECT_EQ(3, length);
    EXPECT_EQ((std::vector<uint8_t>{9, 8, 7, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}), buffer);
    const auto calls = device_.reportCalls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(vmac::ReportCallKind::Get, calls[0].kind);
    EXPECT_EQ(8, calls[0].length);
    EXPECT_EQ(3, calls[0].reportId);
}

TEST_F(ReportsTest, GetReportTruncatesToTheCallersLengthAndKeepsItOnFailure) {
    device_.queueGetReportAnswer({kIOReturnSuccess, {1, 2, 3, 4}, vmac::Block::None});
    device_.queueGetReportAnswer({kIOReturnError, {1, 2}, vmac::Block::None});
    uint8_t buffer[2] = {};
    CFIndex length = 2;
    ASSERT_EQ(kIOReturnSuccess,
              IOHIDDeviceGetReport(hid_.get(), kIOHIDReportTypeFeature, 0, buffer, &length));
    EXPECT_EQ(2, length);
    EXPECT_EQ(2, buffer[1]);
    EXPECT_EQ(kIOReturnError,
              IOHIDDeviceGetReport(hid_.get(), kIOHIDReportTypeFeature, 0, buffer, &length));
    EXPECT_EQ(2, length);
}

TEST_F(ReportsTest, CallsOnAClosedObjectFailNotOpenAndAreNotLogged) {
    IOHIDDeviceClose(hid_.get(), kIOHIDOptionsTypeNone);
    EXPECT_EQ(kIOReturnNotOpen, setReport(1, {1}));
    uint8_t buffer[1];
    CFIndex length = 1;
    EXPECT_EQ(kIOReturnNotOpen,
              IOHIDDeviceGetReport(hid_.get(), kIOHIDReportTypeFeature, 1, buffer, &length));
    EXPECT_TRUE(device_.reportCalls().empty());
}

TEST_F(ReportsTest, CallsAfterUnplugFailNoDevice) {
    device_.unplug();
    EXPECT_EQ(kIOReturnNoDevice, setReport(1, {1}));
}

TEST_F(ReportsTest, UncancellableBlockIgnoresCancelUntilReleased) {
    device_.queueSetReportAnswer({kIOReturnTimeout, {}, vmac::Block::NonCancellable});
    std::atomic<IOReturn> result{kIOReturnSuccess};
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        result = setReport(2, {2});
        returned = true;
    });
    ASSERT_TRUE(device_.waitForBlockedCalls(1));
    ASSERT_EQ(0, pthread_cancel(sender.native_handle()));
    // Give the cancellation every chance: another call must still be able to
    // complete meanwhile, and the blocked one must still be there.
    EXPECT_EQ(kIOReturnSuccess, setReport(3, {3}));
    EXPECT_EQ(1u, device_.blockedCallCount());
    EXPECT_FALSE(returned);
    device_.releaseBlockedCalls();
    sender.join();
    // The thread returned normally with the scripted answer; the pending
    // cancellation acted later, at a cancellation point after the call (or never).
    EXPECT_EQ(0u, device_.cancelledCallCount());
    EXPECT_EQ(kIOReturnTimeout, result.load());
}

TEST_F(ReportsTest, UncancellableBlockEndsWithNoDeviceOnUnplug) {
    device_.queueSetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable});
    std::atomic<IOReturn> result{kIOReturnSuccess};
    std::thread sender([&] { result = setReport(2, {2}); });
    ASSERT_TRUE(device_.waitForBlockedCalls(1));
    device_.unplug();
    sender.join();
    EXPECT_EQ(kIOReturnNoDevice, result.load());
    EXPECT_EQ(0u, device_.blockedCallCount());
}

TEST_F(ReportsTest, CancellableBlockUnwindsOnCancelAndLeavesStateConsistent) {
    device_.queueGetReportAnswer({kIOReturnSuccess, {1}, vmac::Block::Cancellable});
    struct Cleanup {
        std::atomic<bool>* ran;
        ~Cleanup() { *ran = true; }
    };
    std::atomic<bool> cleanedUp{false};
    std::atomic<bool> returned{false};
    std::thread reader([&] {
        Cleanup cleanup{&cleanedUp};
        uint8_t buffer[4];
        CFIndex length = 4;
        IOHIDDeviceGetReport(hid_.get(), kIOHIDReportTypeFeature, 1, buffer, &length);
        returned = true;
    });
    ASSERT_TRUE(device_.waitForBlockedCalls(1));
    ASSERT_EQ(0, pthread_cancel(reader.native_handle()));
    reader.join();
    EXPECT_TRUE(cleanedUp) << "the caller's frames were unwound";
    EXPECT_FALSE(returned);
    EXPECT_EQ(1u, device_.cancelledCallCount());
    EXPECT_EQ(0u, device_.blockedCallCount());
    // The platform is still usable: no lock was left held.
    EXPECT_EQ(kIOReturnSuccess, setReport(4, {4}));
    EXPECT_EQ(2u, device_.reportCalls().size());
}

TEST_F(ReportsTest, CancellableBlockReturnsItsAnswerWhenReleased) {
    device_.queueGetReportAnswer({kIOReturnSuccess, {7, 7}, vmac::Block::Cancellable});
    std::atomic<IOReturn> result{kIOReturnError};
    std::atomic<CFIndex> received{0};
    std::thread reader([&] {
        uint8_t buffer[4];
        CFIndex length = 4;
        result = IOHIDDeviceGetReport(hid_.get(), kIOHIDReportTypeFeature, 1, buffer, &length);
        received = length;
    });
    ASSERT_TRUE(device_.waitForBlockedCalls(1));
    device_.releaseBlockedCalls();
    reader.join();
    EXPECT_EQ(kIOReturnSuccess, result.load());
    EXPECT_EQ(2, received.load());
    EXPECT_EQ(0u, device_.cancelledCallCount());
}

TEST_F(ReportsTest, WaitForReportCallsSeesCallsFromOtherThreads) {
    std::thread other([&] { setReport(9, {9}); });
    ASSERT_TRUE(device_.waitForReportCalls(1));
    other.join();
    const auto calls = device_.reportCalls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_NE(std::this_thread::get_id(), calls[0].thread);
}

}  // namespace
}  // namespace vmactest
