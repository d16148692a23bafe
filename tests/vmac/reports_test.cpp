// SetReport / GetReport: scripted answers, the call log and the HID driver's
// request time-out that ends a blocked call. How release, unplug and
// pthread_cancel end the two kinds of blocked call is held by the device suites.
#include "vmacfixture.h"

#include <chrono>
#include <future>
#include <thread>
#include <utility>
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

// A GetReport of up to 4 bytes (or a SetReport of 1) on a thread of its own, for calls that block:
// its result, and GetReport's length once returned.
std::future<std::pair<IOReturn, CFIndex>> call(
    IOHIDDeviceRef hid, vmac::ReportCallKind kind = vmac::ReportCallKind::Get) {
    return std::async(std::launch::async, [hid, kind] {
        uint8_t buffer[4] = {};
        CFIndex length = 4;
        const IOReturn result =
            kind == vmac::ReportCallKind::Get
                ? IOHIDDeviceGetReport(hid, kIOHIDReportTypeFeature, 1, buffer, &length)
                : IOHIDDeviceSetReport(hid, kIOHIDReportTypeOutput, 1, buffer, 1);
        return std::make_pair(result, length);
    });
}

// Queued answers come first, in order, then the responder, then the default. (The log's
// fields are held by the device suite.)
TEST_F(ReportsTest, QueuedAnswersThenTheResponderThenTheDefaultAndCallsAreLogged) {
    IOHIDDeviceClose(hid_.get(), kIOHIDOptionsTypeNone);
    EXPECT_EQ(kIOReturnNotOpen, setReport(1, {1})) << "not logged either";
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(hid_.get(), kIOHIDOptionsTypeNone));
    device_.queueSetReportAnswer({kIOReturnError, {}, vmac::Block::None});
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
    other.join();
    EXPECT_TRUE(remembered.empty());
    EXPECT_EQ(kIOReturnSuccess, setReport(4, {4, 5, 6}));
    uint8_t out[8] = {};
    CFIndex length = sizeof out;
    ASSERT_EQ(kIOReturnSuccess, getReport(4, out, &length));
    EXPECT_EQ(std::vector<uint8_t>(out, out + length), (std::vector<uint8_t>{4, 5, 6}));
    device_.setReportResponder({});  // unset: the default answers again
    EXPECT_EQ(kIOReturnAborted, setReport(0, {0}));
    const auto calls = device_.reportCalls();
    ASSERT_EQ(4u, calls.size());
    EXPECT_NE(std::this_thread::get_id(), calls[0].thread);
    EXPECT_EQ(std::this_thread::get_id(), calls[1].thread);
}

// The copying is held by the device suite; these are the refusals, the truncation and the
// length a failure leaves alone.
TEST_F(ReportsTest, GetReportRefusesLengthsMacOSRefusesAndCopiesUpToTheCallersLength) {
    std::vector<uint8_t> buffer(0x10001, 0xEE);
    for (CFIndex refused : {0, 0x10001}) {
        EXPECT_EQ(kIOReturnBadArgument, getReport(0, buffer.data(), &refused)) << refused;
    }
    EXPECT_TRUE(device_.reportCalls().empty());
    device_.queueGetReportAnswer({kIOReturnSuccess, {1, 2, 3, 4}, vmac::Block::None});
    CFIndex length = 2;
    ASSERT_EQ(kIOReturnSuccess, getReport(0, buffer.data(), &length));
    EXPECT_EQ(2, length);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 0xEE}), std::vector<uint8_t>(&buffer[0], &buffer[3]));
    device_.queueGetReportAnswer({kIOReturnError, {5}, vmac::Block::None});
    EXPECT_EQ(kIOReturnError, getReport(0, buffer.data(), &length));
    EXPECT_EQ(2, length) << "a failure leaves the length as it was";
}

// The HID driver ends a blocked call after the device's "RequestTimeout" (microseconds, used
// from 50,000 to 1,200,000,000; else one second) with kIOReturnTimeout, GetReport writing
// nothing; a driver scripted never to return leaves the call blocked.
TEST_F(ReportsTest, BlockedCallsEndAtTheDriversRequestTimeoutUnlessItNeverReturns) {
    // The call's answer if it ends within `limit`; the blocked calls are released either way.
    using Answer = std::pair<IOReturn, CFIndex>;
    const auto endsWithin = [this](std::future<Answer> call, std::chrono::milliseconds limit) {
        const bool ended = call.wait_for(limit) == std::future_status::ready;
        device_.releaseBlockedCalls();
        return ended ? call.get() : Answer(call.get().first, -1);
    };
    const auto timedOut = Answer(kIOReturnTimeout, 4);  // nothing written
    device_.setNumberProperty("RequestTimeout", 50000);
    for (vmac::Block block : {vmac::Block::NonCancellable, vmac::Block::Cancellable}) {
        device_.queueGetReportAnswer({kIOReturnSuccess, {1, 2}, block});
        device_.queueSetReportAnswer({kIOReturnSuccess, {}, block});
        EXPECT_EQ(timedOut, endsWithin(call(hid_.get()), std::chrono::seconds(5)));
        EXPECT_EQ(timedOut,
                  endsWithin(call(hid_.get(), vmac::ReportCallKind::Set), std::chrono::seconds(5)));
    }
    device_.queueGetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable, true});
    // Six request time-outs; then released.
    EXPECT_EQ(Answer(kIOReturnSuccess, -1),
              endsWithin(call(hid_.get()), std::chrono::milliseconds(300)));

    device_.setNumberProperty("RequestTimeout", 49999);  // below the driver's minimum
    device_.queueGetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(timedOut, endsWithin(call(hid_.get()), std::chrono::seconds(5)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
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
