// Report transfers against a virtual gadget: the record of every path, the
// queue each transfer runs on, the timed sender thread and its cancellation,
// cancelAll and the report pool's view of buffers held by requests.
#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devicefixture.h"

namespace devicetest {
namespace {

using Result = AbstractHidDevice::AsyncOpResult;

constexpr int64_t widened(IOReturn code) {
    return static_cast<int32_t>(code);
}

std::string describe(const Result& r) {
    std::ostringstream out;
    out << "{" << std::boolalpha << r.success << ", " << r.bytesTransferred << ", "
        << static_cast<const void*>(r.buffer.get()) << ", " << int(r.reportId) << ", " << r.status
        << "}";
    return out.str();
}

// All five fields; the buffer by identity (the caller's own buffer, not a copy).
::testing::AssertionResult isRecord(const Result& actual, const Result& expected) {
    if (actual.success == expected.success &&
        actual.bytesTransferred == expected.bytesTransferred && actual.buffer == expected.buffer &&
        actual.reportId == expected.reportId && actual.status == expected.status) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "got " << describe(actual) << ", expected " << describe(expected);
}

vmac::ReportAnswer answer(IOReturn result, std::vector<uint8_t> data = {}) {
    return vmac::ReportAnswer{result, std::move(data), vmac::Block::None};
}

vmac::ReportAnswer blocking(vmac::Block block, IOReturn result = kIOReturnSuccess) {
    return vmac::ReportAnswer{result, {}, block};
}

class TransfersTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        gadget = plugGadget();
    }

    // A call left blocked by a failed expectation would hold up the device's
    // destruction for good; let it return so that the test fails instead.
    void TearDown() override {
        gadget.releaseBlockedCalls();
        DeviceTest::TearDown();
    }

    AbstractHidDevice* openGadget() {
        AbstractHidDevice* device = makeDevice();
        EXPECT_TRUE(device->open(0, 1));
        return device;
    }

    // Returns once an input read with a time-out of `ms`, started now, has given up
    // on its own; every deadline taken before this call of at most `ms` has passed
    // too. Needs an open device with no input reports queued or coming.
    void outlast(AbstractHidDevice* device, long ms) {
        const Result probe = await(device->getReport(bytes({0}), ms));
        ASSERT_EQ(-1, probe.bytesTransferred) << "an input report arrived during the probe";
    }

    vmac::VirtualDevice gadget;
};

// --- Records of the refused and not-open paths --------------------------------

TEST_F(TransfersTest, SetTransfersOnAClosedDeviceFailAtOnceWithTheGenericError) {
    AbstractHidDevice* device = makeDevice();
    ReportBuffer buffer = bytes({1, 2, 3});

    auto output = device->setReport(7, buffer, 1000);
    auto feature = device->setFeature(7, buffer);
    ASSERT_TRUE(output.is_ready());
    ASSERT_TRUE(feature.is_ready());
    // The record carries report ID 0, not the one asked for.
    EXPECT_TRUE(isRecord(output.value(), {false, 0, buffer, 0, -536870212}));
    EXPECT_TRUE(isRecord(feature.value(), {false, 0, buffer, 0, -536870212}));

    ASSERT_TRUE(device->open(0, 1));
    ASSERT_TRUE(device->close());
    auto afterClose = device->setReport(9, buffer, -1);
    ASSERT_TRUE(afterClose.is_ready());
    EXPECT_TRUE(isRecord(afterClose.value(), {false, 0, buffer, 0, widened(kIOReturnError)}));
    EXPECT_TRUE(gadget.reportCalls().empty());
}

TEST_F(TransfersTest, ReadsOnADeviceThatIsNotOpenWhenTheyRunGiveANullBuffer) {
    AbstractHidDevice* device = makeDevice();
    ReportBuffer buffer = bytes(std::vector<uint8_t>(16, 0xAA));

    EXPECT_TRUE(isRecord(await(device->getFeature(3, buffer)), {false, 0, nullptr, 0, 0}));
    EXPECT_TRUE(isRecord(await(device->getReport(buffer, 1000)), {false, 0, nullptr, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(16, 0xAA), *buffer);
    EXPECT_TRUE(gadget.reportCalls().empty());
}

TEST_F(TransfersTest, NullBufferIsRefusedAtOnceByEveryTransfer) {
    AbstractHidDevice* device = openGadget();
    const int64_t bad = widened(kIOReturnBadArgument);

    auto output = device->setReport(5, nullptr, 1000);
    auto feature = device->setFeature(6, nullptr);
    auto featureRead = device->getFeature(7, nullptr);
    auto inputRead = device->getReport(nullptr, -1);
    ASSERT_TRUE(output.is_ready());
    ASSERT_TRUE(feature.is_ready());
    ASSERT_TRUE(featureRead.is_ready());
    ASSERT_TRUE(inputRead.is_ready());
    EXPECT_TRUE(isRecord(output.value(), {false, 0, nullptr, 5, bad}));
    EXPECT_TRUE(isRecord(feature.value(), {false, 0, nullptr, 6, bad}));
    EXPECT_TRUE(isRecord(featureRead.value(), {false, 0, nullptr, 7, bad}));
    EXPECT_TRUE(isRecord(inputRead.value(), {false, 0, nullptr, 0, bad}));

    // Nothing was queued: a later transfer is the first call the gadget sees, and a
    // report injected now goes to a later read, not to the refused one.
    EXPECT_TRUE(await(device->setReport(1, bytes({1}), 1000)).success);
    ASSERT_EQ(1u, gadget.reportCalls().size());
    ASSERT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(0, {0x42}).wait());
    ReportBuffer in = bytes({0});
    EXPECT_TRUE(isRecord(await(device->getReport(in, 0)), {true, 1, in, 0, 0}));
}

TEST_F(TransfersTest, MakeDefaultFailFutureCarriesTheGenericError) {
    auto* device = static_cast<MacHidDevice*>(makeDevice());
    ReportBuffer buffer = bytes({9});
    auto request = device->makeDefaultFailFuture(buffer);
    ASSERT_TRUE(request.is_ready());
    EXPECT_TRUE(isRecord(request.value(), {false, 0, buffer, 0, -536870212}));
}

// --- Set transfers --------------------------------------------------------------

TEST_F(TransfersTest, SetTransfersSendTheWholeBufferAsItIs) {
    AbstractHidDevice* device = openGadget();
    ReportBuffer buffer = bytes({0x00, 1, 2, 3, 4, 5, 6, 7, 8});

    EXPECT_TRUE(isRecord(await(device->setReport(0, buffer, 1000)), {true, 9, buffer, 0, 0}));
    EXPECT_TRUE(isRecord(await(device->setReport(5, buffer, 1000)), {true, 9, buffer, 5, 0}));
    ReportBuffer feature = bytes({0xF0, 0xF1, 0xF2});
    EXPECT_TRUE(isRecord(await(device->setFeature(200, feature)), {true, 3, feature, 200, 0}));

    const auto calls = gadget.reportCalls();
    ASSERT_EQ(3u, calls.size());
    // No report-ID byte is added or removed, whatever the ID.
    EXPECT_EQ(kIOHIDReportTypeOutput, calls[0].type);
    EXPECT_EQ(0, calls[0].reportId);
    EXPECT_EQ(*buffer, calls[0].bytes);
    EXPECT_EQ(9, calls[0].length);
    EXPECT_EQ(kIOHIDReportTypeOutput, calls[1].type);
    EXPECT_EQ(5, calls[1].reportId);
    EXPECT_EQ(*buffer, calls[1].bytes);
    EXPECT_EQ(kIOHIDReportTypeFeature, calls[2].type);
    EXPECT_EQ(200, calls[2].reportId);
    EXPECT_EQ(*feature, calls[2].bytes);
    EXPECT_EQ(std::vector<uint8_t>({0x00, 1, 2, 3, 4, 5, 6, 7, 8}), *buffer);
    // The platform call runs on a sender thread: neither the caller's nor the
    // request queue's own thread, on which feature reads call the platform.
    ASSERT_TRUE(await(device->getFeature(1, feature)).success);
    const auto read = gadget.reportCalls().back();
    ASSERT_EQ(vmac::ReportCallKind::Get, read.kind);
    EXPECT_NE(std::this_thread::get_id(), read.thread);
    EXPECT_NE(std::this_thread::get_id(), calls[0].thread);
    EXPECT_NE(read.thread, calls[0].thread);
    EXPECT_NE(read.thread, calls[2].thread);
}

TEST_F(TransfersTest, FailedSetTransferReportsNoStatus) {
    AbstractHidDevice* device = openGadget();
    gadget.queueSetReportAnswer(answer(kIOReturnError));
    gadget.queueSetReportAnswer(answer(kIOReturnNotPermitted));
    ReportBuffer buffer = bytes({1, 2});
    EXPECT_TRUE(isRecord(await(device->setReport(4, buffer, 1000)), {false, -1, buffer, 4, 0}));
    EXPECT_TRUE(isRecord(await(device->setFeature(6, buffer)), {false, -1, buffer, 6, 0}));
}

TEST_F(TransfersTest, SetDoAsyncLeavesTransfersAsynchronous) {
    AbstractHidDevice* device = openGadget();
    device->setDoAsync(false);
    gadget.queueSetReportAnswer(blocking(vmac::Block::NonCancellable));
    ReportBuffer buffer = bytes({1});
    auto request = device->setReport(1, buffer, -1);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));
    EXPECT_FALSE(request.is_ready());  // the call returned while the platform call blocks
    gadget.releaseBlockedCalls();
    EXPECT_TRUE(isRecord(await(request), {true, 1, buffer, 1, 0}));
}

// --- Time-outs and cancellation of the sender thread ----------------------------

TEST_F(TransfersTest, ExpiredTimeOutWaitsForAPlatformCallThatIgnoresCancellation) {
    AbstractHidDevice* device = openGadget();
    gadget.queueSetReportAnswer(blocking(vmac::Block::NonCancellable, kIOReturnSuccess));
    ReportBuffer first = bytes({1, 1});
    ReportBuffer second = bytes({2});
    auto slow = device->setReport(1, first, 50);
    auto behind = device->setReport(2, second, 1000);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));

    outlast(device, 200);
    // Past the time-out the queue still waits for the sender thread.
    EXPECT_FALSE(slow.is_ready());
    EXPECT_FALSE(behind.is_ready());
    EXPECT_EQ(1u, gadget.reportCalls().size());

    gadget.releaseBlockedCalls();
    // The record is the platform call's, not a time-out.
    EXPECT_TRUE(isRecord(await(slow), {true, 2, first, 1, 0}));
    EXPECT_TRUE(isRecord(await(behind), {true, 1, second, 2, 0}));
    EXPECT_EQ(0u, gadget.cancelledCallCount());
}

TEST_F(TransfersTest, ExpiredTimeOutCancelsASenderBlockedInACancellationPoint) {
    AbstractHidDevice* device = openGadget();
    gadget.queueSetReportAnswer(blocking(vmac::Block::Cancellable));
    ReportBuffer first = bytes({1, 1, 1});
    ReportBuffer second = bytes({2});
    auto cancelled = device->setReport(3, first, 50);
    auto behind = device->setReport(4, second, 1000);

    EXPECT_TRUE(isRecord(await(cancelled), {false, -1, first, 3, widened(kIOReturnTimeout)}));
    EXPECT_EQ(-536870186, await(cancelled).status);
    // The queue goes on with the next transfer.
    EXPECT_TRUE(isRecord(await(behind), {true, 1, second, 4, 0}));
    EXPECT_EQ(1u, gadget.cancelledCallCount());
    EXPECT_EQ(0u, gadget.blockedCallCount());
    EXPECT_EQ(2u, gadget.reportCalls().size());
}

TEST_F(TransfersTest, TimeOutZeroOrNegativeCancelsAtOnce) {
    AbstractHidDevice* device = openGadget();
    for (long timeout : {0L, -2L, -1000L}) {
        SCOPED_TRACE(timeout);
        const size_t cancelledBefore = gadget.cancelledCallCount();
        ReportBuffer buffer = bytes({7});
        gadget.queueSetReportAnswer(blocking(vmac::Block::Cancellable));
        EXPECT_TRUE(isRecord(await(device->setReport(8, buffer, timeout)),
                             {false, -1, buffer, 8, widened(kIOReturnTimeout)}));
        EXPECT_EQ(cancelledBefore + 1, gadget.cancelledCallCount());

        // A platform call that returns by itself still delivers its own record, even
        // when the cancellation request reaches the sender first.
        gadget.queueSetReportAnswer(answer(kIOReturnSuccess));
        EXPECT_TRUE(
            isRecord(await(device->setReport(9, buffer, timeout)), {true, 1, buffer, 9, 0}));
        gadget.queueSetReportAnswer(answer(kIOReturnError));
        EXPECT_TRUE(
            isRecord(await(device->setReport(10, buffer, timeout)), {false, -1, buffer, 10, 0}));
    }
}

TEST_F(TransfersTest, TimeOutMinusOneNeverCancels) {
    AbstractHidDevice* device = openGadget();
    gadget.queueSetReportAnswer(blocking(vmac::Block::Cancellable, kIOReturnError));
    ReportBuffer buffer = bytes({1});
    auto request = device->setReport(1, buffer, -1);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));
    outlast(device, 100);
    EXPECT_FALSE(request.is_ready());
    gadget.releaseBlockedCalls();
    EXPECT_TRUE(isRecord(await(request), {false, -1, buffer, 1, 0}));
    EXPECT_EQ(0u, gadget.cancelledCallCount());
}

TEST_F(TransfersTest, SetFeatureHasAFiniteTimeOut) {
    AbstractHidDevice* device = openGadget();
    gadget.queueSetReportAnswer(blocking(vmac::Block::Cancellable));
    ReportBuffer buffer = bytes(std::vector<uint8_t>(16, 3));
    // Cancelled after its fixed time-out (5 s), well within the patience of await.
    EXPECT_TRUE(isRecord(await(device->setFeature(2, buffer)),
                         {false, -1, buffer, 2, widened(kIOReturnTimeout)}));
    EXPECT_EQ(1u, gadget.cancelledCallCount());
    ASSERT_EQ(1u, gadget.reportCalls().size());
    EXPECT_EQ(kIOHIDReportTypeFeature, gadget.reportCalls()[0].type);
}

// --- Set transfers that run after a close ----------------------------------------

TEST_F(TransfersTest, SetTransferQueuedBeforeCloseDoesNotRunAfterIt) {
    AbstractHidDevice* device = openGadget();
    gadget.queueSetReportAnswer(blocking(vmac::Block::NonCancellable));
    ReportBuffer first = bytes({1});
    ReportBuffer late = bytes({2, 2});
    ReportBuffer lateFeature = bytes({3});
    ReportBuffer featureRead = bytes({4, 4});
    auto blocker = device->setReport(1, first, -1);
    auto stale = device->setReport(2, late, 1000);
    auto staleFeature = device->setFeature(3, lateFeature);
    auto staleRead = device->getFeature(4, featureRead);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));

    ASSERT_TRUE(device->close());
    gadget.releaseBlockedCalls();
    // The blocked call was made on the open device and completes as the platform says.
    EXPECT_TRUE(isRecord(await(blocker), {true, 1, first, 1, 0}));
    const int64_t notOpen = widened(kIOReturnNotOpen);
    EXPECT_TRUE(isRecord(await(stale), {false, 0, late, 2, notOpen}));
    EXPECT_TRUE(isRecord(await(staleFeature), {false, 0, lateFeature, 3, notOpen}));
    EXPECT_TRUE(isRecord(await(staleRead), {false, 0, nullptr, 0, 0}));
    EXPECT_EQ(1u, gadget.reportCalls().size());
}

TEST_F(TransfersTest, SetTransferQueuedBeforeAReopenDoesNotRunOnTheNewDevice) {
    AbstractHidDevice* device = openGadget();
    gadget.queueSetReportAnswer(blocking(vmac::Block::NonCancellable));
    ReportBuffer first = bytes({1});
    ReportBuffer late = bytes({2});
    auto blocker = device->setReport(1, first, -1);
    auto stale = device->setReport(2, late, 1000);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));

    ASSERT_TRUE(device->close());
    ASSERT_TRUE(device->open(0, 1));
    gadget.releaseBlockedCalls();
    EXPECT_TRUE(isRecord(await(blocker), {true, 1, first, 1, 0}));
    EXPECT_TRUE(isRecord(await(stale), {false, 0, late, 2, widened(kIOReturnNotOpen)}));
    EXPECT_EQ(1u, gadget.reportCalls().size());

    // A transfer made after the reopen goes to the reopened device.
    EXPECT_TRUE(isRecord(await(device->setReport(3, late, 1000)), {true, 1, late, 3, 0}));
    EXPECT_EQ(2u, gadget.reportCalls().size());
}

// --- Feature reads ----------------------------------------------------------------

TEST_F(TransfersTest, FeatureReadReportsTheWholeBufferAndKeepsTheFailureCode) {
    AbstractHidDevice* device = openGadget();
    gadget.queueGetReportAnswer(answer(kIOReturnSuccess, {0x11, 0x22, 0x33}));
    gadget.queueGetReportAnswer(answer(kIOReturnError));
    gadget.queueGetReportAnswer(answer(kIOReturnNotAttached));
    ReportBuffer buffer = bytes(std::vector<uint8_t>(16, 0xEE));

    // A shorter answer still reports the buffer's size.
    EXPECT_TRUE(isRecord(await(device->getFeature(6, buffer)), {true, 16, buffer, 6, 0}));
    std::vector<uint8_t> expected(16, 0xEE);
    expected[0] = 0x11, expected[1] = 0x22, expected[2] = 0x33;
    EXPECT_EQ(expected, *buffer);

    EXPECT_TRUE(isRecord(await(device->getFeature(7, buffer)), {false, -1, buffer, 7, -536870212}));
    EXPECT_TRUE(isRecord(await(device->getFeature(8, buffer)),
                         {false, -1, buffer, 8, widened(kIOReturnNotAttached)}));

    const auto calls = gadget.reportCalls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(vmac::ReportCallKind::Get, calls[0].kind);
    EXPECT_EQ(kIOHIDReportTypeFeature, calls[0].type);
    EXPECT_EQ(6, calls[0].reportId);
    EXPECT_EQ(16, calls[0].length);
    EXPECT_EQ(8, calls[2].reportId);
}

TEST_F(TransfersTest, FeatureReadInProgressKeepsItsDeviceThroughClose) {
    AbstractHidDevice* device = openGadget();
    vmac::ReportAnswer slow = answer(kIOReturnSuccess, {0x5A});
    slow.block = vmac::Block::NonCancellable;
    gadget.queueGetReportAnswer(slow);
    ReportBuffer buffer = bytes({0, 0});
    auto reading = device->getFeature(3, buffer);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));

    ASSERT_TRUE(device->close());
    gadget.releaseBlockedCalls();
    // The device object it called stayed alive; the record is the call's own.
    EXPECT_TRUE(isRecord(await(reading), {true, 2, buffer, 3, 0}));
    EXPECT_EQ(std::vector<uint8_t>({0x5A, 0}), *buffer);
}

// --- Input reads -------------------------------------------------------------------

TEST_F(TransfersTest, InputReadCopiesTheReportAndLeavesTheRestOfTheBuffer) {
    AbstractHidDevice* device = openGadget();
    const std::vector<uint8_t> report = {5, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(5, report).wait());
    ReportBuffer buffer = bytes(std::vector<uint8_t>(64, 0xAA));

    EXPECT_TRUE(isRecord(await(device->getReport(buffer, 1000)), {true, 10, buffer, 0, 0}));
    ASSERT_EQ(64u, buffer->size());
    EXPECT_TRUE(std::equal(report.begin(), report.end(), buffer->begin()));
    EXPECT_TRUE(
        std::all_of(buffer->begin() + 10, buffer->end(), [](uint8_t b) { return b == 0xAA; }));
}

TEST_F(TransfersTest, InputReadIntoAShorterBufferCopiesWhatFits) {
    AbstractHidDevice* device = openGadget();
    ASSERT_EQ(vmac::Outcome::Delivered,
              gadget.injectInputReport(1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}).wait());
    ReportBuffer buffer = bytes({0, 0, 0, 0});
    EXPECT_TRUE(isRecord(await(device->getReport(buffer, 1000)), {true, 4, buffer, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>({1, 2, 3, 4}), *buffer);
}

TEST_F(TransfersTest, InputReadWithoutAReportFails) {
    AbstractHidDevice* device = openGadget();
    ReportBuffer buffer = bytes({0xAB, 0xCD});

    auto immediate = device->getReport(buffer, 0);
    EXPECT_TRUE(isRecord(await(immediate), {false, -1, buffer, 0, 0}));
    EXPECT_TRUE(isRecord(await(device->getReport(buffer, 30)), {false, -1, buffer, 0, 0}));

    // An empty report is taken from the queue and fails the read.
    ASSERT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(2, {}).wait());
    EXPECT_TRUE(isRecord(await(device->getReport(buffer, 1000)), {false, -1, buffer, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>({0xAB, 0xCD}), *buffer);

    // Once the device has gone, a read finds it not open, even one without limit.
    ASSERT_EQ(vmac::Outcome::Delivered, gadget.unplug().wait());
    EXPECT_TRUE(isRecord(await(device->getReport(buffer, -1)), {false, 0, nullptr, 0, 0}));
}

// --- Ordering across the two queues --------------------------------------------------

TEST_F(TransfersTest, RequestQueueCompletesInCallOrder) {
    AbstractHidDevice* device = openGadget();
    gadget.queueSetReportAnswer(blocking(vmac::Block::NonCancellable));
    gadget.queueGetReportAnswer(answer(kIOReturnSuccess, {0x77}));
    ReportBuffer first = bytes({1});
    ReportBuffer feature = bytes({0, 0});
    ReportBuffer last = bytes({3});
    auto one = device->setReport(1, first, -1);
    auto two = device->getFeature(2, feature);
    auto three = device->setReport(3, last, 1000);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));
    EXPECT_FALSE(two.is_ready());
    EXPECT_FALSE(three.is_ready());
    EXPECT_EQ(1u, gadget.reportCalls().size());

    gadget.releaseBlockedCalls();
    EXPECT_TRUE(isRecord(await(three), {true, 1, last, 3, 0}));
    // Each finished before the next one started.
    EXPECT_TRUE(one.is_ready());
    EXPECT_TRUE(two.is_ready());
    EXPECT_TRUE(isRecord(two.value(), {true, 2, feature, 2, 0}));
    const auto calls = gadget.reportCalls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(vmac::ReportCallKind::Set, calls[0].kind);
    EXPECT_EQ(1, calls[0].reportId);
    EXPECT_EQ(vmac::ReportCallKind::Get, calls[1].kind);
    EXPECT_EQ(2, calls[1].reportId);
    EXPECT_EQ(vmac::ReportCallKind::Set, calls[2].kind);
    EXPECT_EQ(3, calls[2].reportId);
}

TEST_F(TransfersTest, WaitingInputReadDoesNotDelayOutput) {
    AbstractHidDevice* device = openGadget();
    ReportBuffer in = bytes(std::vector<uint8_t>(64, 0));
    auto reading = device->getReport(in, -1);
    ReportBuffer out = bytes({1, 2});
    EXPECT_TRUE(isRecord(await(device->setReport(1, out, 1000)), {true, 2, out, 1, 0}));
    EXPECT_TRUE(isRecord(await(device->getFeature(1, out)), {true, 2, out, 1, 0}));
    EXPECT_FALSE(reading.is_ready());

    ASSERT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(9, {9, 8}).wait());
    EXPECT_TRUE(isRecord(await(reading), {true, 2, in, 0, 0}));
}

// --- cancelAll ------------------------------------------------------------------------

std::vector<std::pair<vmac::PipeCallKind, int>> pipeResets(const vmac::VirtualDevice& gadget) {
    std::vector<std::pair<vmac::PipeCallKind, int>> resets;
    for (const vmac::PipeCall& call : gadget.pipeCalls()) {
        if (call.kind != vmac::PipeCallKind::ControlRequest) {
            resets.emplace_back(call.kind, call.pipe);
        }
    }
    return resets;
}

TEST_F(TransfersTest, CancelAllResetsEveryEndpointPipe) {
    using vmac::PipeCallKind;
    AbstractHidDevice* device = openGadget();

    gadget.setNumEndpoints(1);
    device->cancelAll();
    const std::vector<std::pair<PipeCallKind, int>> one = {
        {PipeCallKind::AbortPipe, 1}, {PipeCallKind::ClearPipeStallBothEnds, 1}};
    EXPECT_EQ(one, pipeResets(gadget));

    gadget.setNumEndpoints(3);
    device->cancelAll();
    std::vector<std::pair<PipeCallKind, int>> expected = one;
    for (int pipe = 1; pipe <= 3; ++pipe) {
        expected.emplace_back(PipeCallKind::AbortPipe, pipe);
        expected.emplace_back(PipeCallKind::ClearPipeStallBothEnds, pipe);
    }
    EXPECT_EQ(expected, pipeResets(gadget));

    // Queued work is not touched: a transfer after cancelAll runs as usual.
    ReportBuffer buffer = bytes({1});
    EXPECT_TRUE(await(device->setReport(1, buffer, 1000)).success);
}

TEST_F(TransfersTest, CancelAllDoesNothingWithoutAnOpenInterfaceOrEndpointCount) {
    AbstractHidDevice* device = openGadget();
    gadget.setNumEndpoints(2, kIOReturnError);
    device->cancelAll();
    EXPECT_TRUE(pipeResets(gadget).empty());

    gadget.setNumEndpoints(0);
    device->cancelAll();
    EXPECT_TRUE(pipeResets(gadget).empty());

    gadget.setNumEndpoints(2);
    ASSERT_TRUE(device->close());
    device->cancelAll();
    EXPECT_TRUE(pipeResets(gadget).empty());

    AbstractHidDevice* neverOpened = makeDevice();
    neverOpened->cancelAll();
    EXPECT_TRUE(pipeResets(gadget).empty());
}

// --- Buffers held by requests -------------------------------------------------------

TEST_F(TransfersTest, KeptRequestKeepsItsBufferOutOfThePool) {
    AbstractHidDevice* device = openGadget();
    ReportBuffer first = device->allocateReport(AbstractHidDevice::Output);
    const auto* firstBuffer = first.get();
    std::optional<hidutil::async_request<Result>> kept = device->setReport(1, first, 1000);
    ASSERT_TRUE(await(*kept).success);
    // A later operation on the same queue has run, so the finished one is gone.
    ASSERT_TRUE(await(device->getFeature(1, bytes({0}))).success);
    first.reset();

    ReportBuffer second = device->allocateReport(AbstractHidDevice::Output);
    EXPECT_NE(firstBuffer, second.get());
    EXPECT_EQ(firstBuffer, kept->value().buffer.get());

    kept.reset();
    ReportBuffer third = device->allocateReport(AbstractHidDevice::Output);
    EXPECT_EQ(firstBuffer, third.get());
}

}  // namespace
}  // namespace devicetest
