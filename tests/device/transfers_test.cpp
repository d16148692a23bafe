// Report transfers: the record of every path, the queue each runs on, the timed
// sender thread and its cancellation, cancelAll, and buffers held by records.
#include <filesystem>
#include <future>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "devicefixture.h"

namespace devicetest {
namespace {

using Request = hidutil::async_request<Result>;

constexpr int64_t kError = -536870212;  // kIOReturnError, widened with its sign

class TransfersTest : public GadgetTest {
protected:
    // Deletes the device on a thread of its own, so that a delete that waits for the device
    // fails the test instead of hanging it: false if it took over three seconds (it then ends
    // once the blocked calls are released).
    bool deletedWithinBound(AbstractHidDevice* device) {
        auto deleting = std::async(std::launch::async, [&] { destroyDevice(device); });
        const bool returned =
            deleting.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
        gadget.releaseBlockedCalls();
        deleting.wait();
        return returned;
    }

    // A driver that never answers: only release, unplug or (cancellable) a cancellation ends it.
    static vmac::ReportAnswer blocking(vmac::Block block) {
        return {kIOReturnSuccess, {}, block, true};
    }
};

// A set transfer on a device that is not open gets the generic error with report
// ID 0 at once; a read finds the device not open when it runs and gives a null
// buffer. Every transfer refuses a null buffer at once. No platform call is made.
TEST_F(TransfersTest, NotOpenAndNullBufferRecords) {
    auto* device = static_cast<MacHidDevice*>(makeDevice());
    ReportBuffer b = bytes({1, 2, 3});
    const Result generic{false, 0, b, 0, kError};
    const int64_t bad = widened(kIOReturnBadArgument);
    const auto refused = [](const Request& request, const Result& expected) {
        ASSERT_TRUE(request.is_ready());
        EXPECT_EQ(record(expected), record(request.value()));
    };
    refused(device->setReport(7, b, 1000), generic);
    refused(device->setFeature(7, b), generic);
    refused(device->makeDefaultFailFuture(b), generic);
    EXPECT_EQ(record(kNotOpenRead), record(await(device->getFeature(3, b))));
    EXPECT_EQ(record(kNotOpenRead), record(await(device->getReport(b, 1000))));

    ASSERT_TRUE(device->open(0, 1));
    refused(device->setReport(5, nullptr, 1000), {false, 0, nullptr, 5, bad});
    refused(device->setFeature(6, nullptr), {false, 0, nullptr, 6, bad});
    refused(device->getFeature(7, nullptr), {false, 0, nullptr, 7, bad});
    refused(device->getReport(nullptr, -1), {false, 0, nullptr, 0, bad});

    ASSERT_TRUE(device->close());
    refused(device->setReport(9, b, -1), generic);
    EXPECT_EQ(record(kNotOpenRead), record(await(device->getFeature(3, b))));
    ASSERT_TRUE(device->open(0, 1));
    ASSERT_EQ(vmac::Outcome::Delivered, gadget.unplug().wait());
    EXPECT_EQ(record(kNotOpenRead), record(await(device->getReport(b, -1))));
    EXPECT_EQ(Bytes({1, 2, 3}), *b);
    EXPECT_TRUE(gadget.reportCalls().empty());
}

// Set transfers send the buffer as it is (no report-ID byte added or removed) and
// keep a failure's status. A feature read asks for the whole buffer, counts only
// what the device answered, and keeps a failure's code. An input read copies the report
// exactly as it came, ID byte included, over the start of the buffer and only as
// much as fits; no report fails.
TEST_F(TransfersTest, TransfersOnAnOpenDevice) {
    AbstractHidDevice* device = openDevice();
    inject(gadget, 5, {5, 1, 2, 3});
    inject(gadget, 5, {1, 2, 3, 4, 5, 6, 7, 8});
    ReportBuffer in = bytes(Bytes(6, 0xAA));
    EXPECT_EQ(record({true, 4, in, 0, 0}), record(await(device->getReport(in, 1000))));
    EXPECT_EQ(Bytes({5, 1, 2, 3, 0xAA, 0xAA}), *in);
    EXPECT_EQ(record({true, 6, in, 0, 0}), record(await(device->getReport(in, 1000))));
    EXPECT_EQ(record(noReport(in)), record(await(device->getReport(in, 0))));
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6}), *in);

    const Bytes content = {0x00, 1, 2, 3, 4, 5, 6, 7, 8};
    ReportBuffer b = bytes(content);
    EXPECT_EQ(record({true, 9, b, 0, 0}), record(await(device->setReport(0, b, 1000))));
    EXPECT_EQ(record({true, 9, b, 5, 0}), record(await(device->setReport(5, b, 1000))));
    EXPECT_EQ(record({true, 9, b, 200, 0}), record(await(device->setFeature(200, b))));
    gadget.queueSetReportAnswer({kIOReturnError, {}, vmac::Block::None});
    gadget.queueSetReportAnswer({kIOReturnNotPermitted, {}, vmac::Block::None});
    EXPECT_EQ(record({false, -1, b, 4, kError}), record(await(device->setReport(4, b, 1000))));
    EXPECT_EQ(record({false, -1, b, 6, widened(kIOReturnNotPermitted)}),
              record(await(device->setFeature(6, b))));
    const auto calls = gadget.reportCalls();
    ASSERT_EQ(5u, calls.size());
    const std::pair<IOHIDReportType, CFIndex> sent[] = {
        {kIOHIDReportTypeOutput, 0}, {kIOHIDReportTypeOutput, 5}, {kIOHIDReportTypeFeature, 200}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i], std::make_pair(calls[i].type, calls[i].reportId));
        EXPECT_EQ(content, calls[i].bytes);
    }
    EXPECT_EQ(content, *b);

    gadget.queueGetReportAnswer({kIOReturnSuccess, {0x11, 0x22, 0x33}, vmac::Block::None});
    gadget.queueGetReportAnswer({kIOReturnError, {}, vmac::Block::None});
    EXPECT_EQ(record({true, 3, b, 6, 0}), record(await(device->getFeature(6, b))));
    EXPECT_EQ(Bytes({0x11, 0x22, 0x33, 3, 4, 5, 6, 7, 8}), *b);
    EXPECT_EQ(9, gadget.reportCalls()[5].length);
    EXPECT_EQ(record({false, -1, b, 7, kError}), record(await(device->getFeature(7, b))));

    // The HID driver ends a call that the device leaves unanswered after the device's
    // request time-out, long before setFeature's own 5000 ms.
    gadget.setNumberProperty("RequestTimeout", 50000);
    gadget.queueSetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable});
    gadget.queueGetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable});
    const int64_t timedOut = widened(kIOReturnTimeout);
    EXPECT_EQ(record({false, -1, b, 8, timedOut}), record(await(device->setFeature(8, b))));
    EXPECT_EQ(record({false, -1, b, 9, timedOut}), record(await(device->getFeature(9, b))));
    EXPECT_EQ(0u, gadget.cancelledCallCount());
}

// The threads a device costs, counted in /proc/self/task: none for a device that
// has done nothing; the run-loop worker once open; the request queue's thread
// with its first work; one sender, reused by every set transfer, replaced after
// one that was cut short, and gone after kSenderIdle without one; none after delete.
TEST_F(TransfersTest, ThreadsAreStartedWhenFirstNeededAndTheSenderIsReused) {
    const auto threads = [] {
        long count = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
            count += entry.is_directory() ? 1 : 0;
        }
        return count;
    };
    // A sanitizer's runtime starts a thread of its own with the process's first one.
    std::thread([] {}).join();
    const long base = threads();
    AbstractHidDevice* device = makeDevice();
    EXPECT_EQ(base, threads());
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(base + 1, threads());
    ReportBuffer b = bytes(Bytes(8, 1));
    EXPECT_TRUE(await(device->getFeature(1, b)).success);
    EXPECT_EQ(base + 2, threads());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(await(device->setReport(1, b, 1000)).success);
        EXPECT_EQ(base + 3, threads());
    }
    gadget.queueSetReportAnswer(blocking(vmac::Block::Cancellable));
    EXPECT_EQ(record({false, -1, b, 1, widened(kIOReturnTimeout)}),
              record(await(device->setReport(1, b, 10))));
    EXPECT_TRUE(await(device->setReport(1, b, 1000)).success);  // the cut-short one is joined
    EXPECT_EQ(base + 3, threads());
    EXPECT_TRUE(eventually([&] { return threads() == base + 2; }));  // the idle sender ends
    EXPECT_TRUE(await(device->setReport(1, b, 1000)).success);
    EXPECT_EQ(base + 3, threads());
    EXPECT_EQ(7u, gadget.reportCalls().size());  // the feature read and six sends
    destroyDevice(device);
    EXPECT_EQ(base, threads());
}

// Timed senders, in one test so that their waits overlap: meanwhile a
// setFeature waits out its own finite time-out (5000 ms) on a second gadget.
TEST_F(TransfersTest, TimedSendersAreCancelledAnsweredForOrWaitedFor) {
    const std::string otherPath = "IOService:/vmac/Gadget@2/Interface@0/HIDDevice";
    vmac::VirtualDevice other = plugGadget(otherPath);
    AbstractHidDevice* featureDevice = makeDevice(otherPath);
    ASSERT_TRUE(featureDevice->open(0, 1));
    other.queueSetReportAnswer(blocking(vmac::Block::Cancellable));
    ReportBuffer featureBuffer = bytes({7});
    auto feature = featureDevice->setFeature(3, featureBuffer);
    ReportBuffer next = bytes({8});
    auto featureBehind = featureDevice->setReport(4, next, 1000);

    // A sender blocked in a cancellation point is ended at its deadline: the
    // record is the time-out one and the queue goes on. Time-outs of 0 and below
    // (but -1) cancel at once.
    AbstractHidDevice* device = openDevice();
    ReportBuffer buffer = bytes({7});
    size_t cancelled = 0;
    for (long timeout : {50L, 0L, -2L}) {
        SCOPED_TRACE(timeout);
        gadget.queueSetReportAnswer(blocking(vmac::Block::Cancellable));
        auto ended = device->setReport(3, buffer, timeout);
        auto behind = device->setReport(4, next, 1000);
        EXPECT_EQ(record({false, -1, buffer, 3, widened(kIOReturnTimeout)}), record(await(ended)));
        EXPECT_EQ(record({true, 1, next, 4, 0}), record(await(behind)));
        EXPECT_EQ(++cancelled, gadget.cancelledCallCount());
    }
    // A call that returns by itself delivers its own record, even when the
    // cancellation request reaches the sender first.
    gadget.queueSetReportAnswer({kIOReturnError, {}, vmac::Block::None});
    EXPECT_EQ(record({false, -1, buffer, 9, kError}),
              record(await(device->setReport(9, buffer, 0))));
    EXPECT_EQ(record({true, 1, buffer, 9, 0}), record(await(device->setReport(9, buffer, -5))));

    // On a Mac the platform call ignores cancellation. A sender still inside it one
    // second after its time-out is answered for with the time-out record and left
    // to finish on its own references; the queue goes on, and the call's late
    // return changes nothing.
    ReportBuffer stuck = bytes({1});
    const Result timedOut{false, -1, stuck, 1, widened(kIOReturnTimeout)};
    gadget.queueSetReportAnswer(blocking(vmac::Block::NonCancellable));
    auto ended = device->setReport(1, stuck, 50);
    auto behind = device->setReport(2, next, 1000);
    ASSERT_TRUE(ended.wait_for(std::chrono::seconds(5))) << "the queue waited past the grace";
    EXPECT_EQ(record(timedOut), record(ended.value()));
    EXPECT_EQ(record({true, 1, next, 2, 0}), record(await(behind)));
    EXPECT_EQ(1u, gadget.blockedCallCount()) << "the first call is still inside the platform";
    EXPECT_TRUE(await(device->getFeature(3, bytes({0}))).success) << "the queue goes on";
    gadget.releaseBlockedCalls();
    ASSERT_TRUE(gadget.waitForBlockedCalls(0));
    EXPECT_EQ(record(timedOut), record(ended.value()));

    // A sender without limit (-1), or with a time-out too large for the clock
    // (which neither overflows nor turns into "do not wait"), is never cancelled:
    // the queue waits for it however long it takes, the record is the call's own,
    // and transfers behind it wait. One device object each, to wait side by side.
    device->setDoAsync(false);  // changes nothing: transfers still return at once
    const struct {
        vmac::Block block;
        long timeout;
    } unlimited[] = {{vmac::Block::NonCancellable, -1},
                     {vmac::Block::Cancellable, -1},
                     {vmac::Block::Cancellable, std::numeric_limits<long>::max()}};
    std::vector<AbstractHidDevice*> devices = {device, openDevice(), openDevice()};
    std::vector<Request> slow, waiting;
    ReportBuffer first = bytes({1, 1});
    for (size_t i = 0; i < 3; ++i) {
        gadget.queueSetReportAnswer({kIOReturnError, {}, unlimited[i].block, true});
        slow.push_back(devices[i]->setReport(1, first, unlimited[i].timeout));
        waiting.push_back(devices[i]->setReport(2, next, 1000));
        ASSERT_TRUE(gadget.waitForBlockedCalls(i + 1));
    }
    // Past the one-second grace a limited transfer would have been answered.
    EXPECT_FALSE(slow[0].wait_for(std::chrono::milliseconds(1500)));
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(slow[i].is_ready() || waiting[i].is_ready()) << i;
    }
    gadget.releaseBlockedCalls();
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(record({false, -1, first, 1, kError}), record(await(slow[i])));
        EXPECT_EQ(record({true, 1, next, 2, 0}), record(await(waiting[i])));
    }
    EXPECT_EQ(cancelled, gadget.cancelledCallCount());
    destroyDevice(devices[1]);
    destroyDevice(devices[2]);

    // Destruction waits for at most a time-out and the grace, not for the device.
    gadget.queueSetReportAnswer(blocking(vmac::Block::NonCancellable));
    auto abandoned = device->setReport(4, bytes({4}), 10);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));
    destroyDevice(device);
    EXPECT_FALSE(abandoned.value().success);
    gadget.releaseBlockedCalls();
    // The sender lets its references go once its call returns.
    EXPECT_TRUE(eventually([&] { return gadget.deviceObjectCount() == 0; }));

    EXPECT_EQ(record({false, -1, featureBuffer, 3, widened(kIOReturnTimeout)}),
              record(await(feature)));
    EXPECT_EQ(record({true, 1, next, 4, 0}), record(await(featureBehind)));
    EXPECT_EQ(1u, other.cancelledCallCount());
}

// Deleting the device answers every request it handed out, queued or running: the
// set transfer in progress (its sender cancelled), transfers, feature reads and
// string requests behind it (never run), and input reads.
TEST_F(TransfersTest, DeleteAnswersEveryPendingRequestAborted) {
    AbstractHidDevice* device = openDevice();
    gadget.setStringDescriptorText(1, u"never asked");
    const int64_t aborted = widened(kIOReturnAborted);
    ReportBuffer out = bytes({1});
    ReportBuffer feature = bytes({2, 2});
    ReportBuffer first = bytes(Bytes(64));
    ReportBuffer second = bytes(Bytes(64));
    gadget.queueSetReportAnswer(blocking(vmac::Block::Cancellable));
    auto running = device->setReport(1, out, -1);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));
    const std::pair<Request, Result> pending[] = {
        {running, {false, -1, out, 1, aborted}},
        {device->setReport(2, out, 1000), {false, -1, out, 2, aborted}},
        {device->setFeature(3, feature), {false, -1, feature, 3, aborted}},
        {device->getFeature(4, feature), {false, -1, feature, 4, aborted}},
        {device->getReport(first, -1), {false, 0, first, 0, aborted}},
        {device->getReport(second, 500), {false, 0, second, 0, aborted}},
    };
    auto string = device->usbString(1);

    EXPECT_TRUE(deletedWithinBound(device));
    for (const auto& [request, expected] : pending) {
        ASSERT_TRUE(request.is_ready()) << record(expected);
        EXPECT_EQ(record(expected), record(request.value()));
    }
    ASSERT_TRUE(string.is_ready());
    EXPECT_FALSE(string.value().success || !string.value().value.empty());
    EXPECT_EQ(aborted, string.value().status);
    EXPECT_EQ(1u, gadget.cancelledCallCount());
    EXPECT_EQ(1u, gadget.reportCalls().size()) << "nothing queued reached the device";
    EXPECT_TRUE(gadget.pipeCalls().empty());
    EXPECT_TRUE(eventually([&] { return gadget.deviceObjectCount() == 0; }));
}

// Delete returns within about a second, whatever call is in progress and whether
// or not the device was closed first; a call still inside the platform is left
// to finish on its own references, and its request is answered aborted.
TEST_F(TransfersTest, DeleteReturnsWithinTheGraceWhateverTheCallInProgress) {
    const struct {
        const char* name;
        bool set;  // else a feature read, which runs on the queue's own thread
        long timeout;
        bool closeFirst;
    } rows[] = {{"set, no limit", true, -1, false},
                {"set, 3000 ms", true, 3000, false},
                {"set, no limit, closed first", true, -1, true},
                {"feature read", false, 0, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        AbstractHidDevice* device = openDevice();
        ReportBuffer buffer = bytes({9, 9});
        if (row.set) {
            gadget.queueSetReportAnswer(blocking(vmac::Block::NonCancellable));
        } else {
            gadget.queueGetReportAnswer(blocking(vmac::Block::NonCancellable));
        }
        const Request request =
            row.set ? device->setReport(5, buffer, row.timeout) : device->getFeature(5, buffer);
        ASSERT_TRUE(gadget.waitForBlockedCalls(1));
        if (row.closeFirst) {
            ASSERT_TRUE(device->close());
        }
        EXPECT_TRUE(deletedWithinBound(device)) << "delete waited for the device";
        ASSERT_TRUE(request.is_ready());
        EXPECT_EQ(record({false, -1, buffer, 5, widened(kIOReturnAborted)}),
                  record(request.value()));
        EXPECT_TRUE(eventually([&] { return gadget.deviceObjectCount() == 0; }))
            << "the left call lets its references go once it returns";
    }
}

// A call in progress across a close or reopen keeps the platform device it started
// with and delivers its own record. A set transfer queued behind it finds, when it
// runs, that the device it resolved is gone: NotOpen, and no platform call.
TEST_F(TransfersTest, CloseOrReopenWithTransfersQueued) {
    AbstractHidDevice* device = makeDevice();
    for (bool reopen : {false, true}) {
        SCOPED_TRACE(reopen ? "reopened" : "closed");
        ASSERT_TRUE(device->open(0, 1));
        const size_t callsBefore = gadget.reportCalls().size();
        ReportBuffer first = bytes({0, 0});
        ReportBuffer late = bytes({2});
        // In progress: a feature read across the close, a set transfer across the reopen.
        if (reopen) {
            gadget.queueSetReportAnswer(blocking(vmac::Block::NonCancellable));
        } else {
            gadget.queueGetReportAnswer(blocking(vmac::Block::NonCancellable));
        }
        auto running = reopen ? device->setReport(1, first, -1) : device->getFeature(1, first);
        auto stale = device->setReport(2, late, 1000);
        ASSERT_TRUE(gadget.waitForBlockedCalls(1));

        ASSERT_TRUE(device->close());
        if (reopen) {
            ASSERT_TRUE(device->open(0, 1));
        }
        gadget.releaseBlockedCalls();
        // A feature read counts what the device answered: nothing, here.
        EXPECT_EQ(record({true, reopen ? 2 : 0, first, 1, 0}), record(await(running)));
        EXPECT_EQ(record({false, 0, late, 2, widened(kIOReturnNotOpen)}), record(await(stale)));
        EXPECT_EQ(callsBefore + 1, gadget.reportCalls().size());
    }
    ReportBuffer buffer = bytes({4});
    EXPECT_EQ(record({true, 1, buffer, 3, 0}), record(await(device->setReport(3, buffer, 1000))));
}

// Set transfers and feature reads share requestQueue and complete in call order; an
// input read waiting without limit on inputQueue holds none of them up.
TEST_F(TransfersTest, RequestQueueKeepsCallOrderAndInputQueueStandsApart) {
    AbstractHidDevice* device = openDevice();
    ReportBuffer in = bytes(Bytes(64, 0));
    auto reading = device->getReport(in, -1);
    gadget.queueSetReportAnswer(blocking(vmac::Block::NonCancellable));
    ReportBuffer last = bytes({3});
    auto one = device->setReport(1, bytes({1}), -1);
    auto two = device->getFeature(2, bytes({0, 0}));
    auto three = device->setReport(3, last, 1000);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));
    EXPECT_FALSE(three.is_ready());
    EXPECT_EQ(1u, gadget.reportCalls().size());

    gadget.releaseBlockedCalls();
    EXPECT_EQ(record({true, 1, last, 3, 0}), record(await(three)));
    EXPECT_TRUE(one.is_ready() && two.is_ready());
    EXPECT_FALSE(reading.is_ready());
    const auto calls = gadget.reportCalls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(std::make_tuple(1, 2, 3),
              std::make_tuple(calls[0].reportId, calls[1].reportId, calls[2].reportId));
    ASSERT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(9, {9, 8}).wait());
    EXPECT_EQ(record({true, 2, in, 0, 0}), record(await(reading)));
}

// Pipes 1 to n are each aborted and cleared, a failing call stopping none of the
// others; nothing happens without an open interface that counts its endpoints.
// (On a Mac each of these calls answers kIOReturnNotOpen, as vmac's do: the HID
// driver holds the interface open.)
TEST_F(TransfersTest, CancelAllResetsEndpointPipesOneToN) {
    const auto resets = [this] {
        std::vector<std::pair<vmac::PipeCallKind, int>> out;
        for (const vmac::PipeCall& call : gadget.pipeCalls()) {
            out.emplace_back(call.kind, call.pipe);
        }
        return out;
    };
    AbstractHidDevice* device = makeDevice();
    device->cancelAll();
    ASSERT_TRUE(device->open(0, 1));
    gadget.setNumEndpoints(2, kIOReturnError);
    device->cancelAll();
    gadget.setNumEndpoints(0);
    device->cancelAll();
    std::vector<std::pair<vmac::PipeCallKind, int>> expected;
    EXPECT_EQ(expected, resets());
    for (UInt8 endpoints : {1, 3}) {
        gadget.setNumEndpoints(endpoints);
        // Pipe 1's calls fail, unlogged, as if the device had just gone.
        gadget.failCalls(fault(vmac::Call::AbortPipe, 1, kIOReturnNoDevice));
        gadget.failCalls(fault(vmac::Call::ClearPipeStallBothEnds, 1, kIOReturnNoDevice));
        device->cancelAll();
        for (int pipe = 2; pipe <= endpoints; ++pipe) {
            expected.emplace_back(vmac::PipeCallKind::AbortPipe, pipe);
            expected.emplace_back(vmac::PipeCallKind::ClearPipeStallBothEnds, pipe);
        }
        EXPECT_EQ(expected, resets());
    }
    ASSERT_TRUE(device->close());
    device->cancelAll();
    EXPECT_EQ(expected, resets());
}

// A finished transfer lets its buffer go; a record still held keeps it from the pool.
TEST_F(TransfersTest, HeldRecordKeepsItsBufferOutOfThePool) {
    AbstractHidDevice* device = openDevice();
    ReportBuffer first = device->allocateReport(AbstractHidDevice::Output);
    const auto* firstBytes = first.get();
    std::optional<Request> kept = device->setReport(1, first, 1000);
    ASSERT_TRUE(await(*kept).success);
    ASSERT_TRUE(await(device->getFeature(1, bytes({0}))).success);  // the queue has moved on
    first.reset();
    ReportBuffer second = device->allocateReport(AbstractHidDevice::Output);
    EXPECT_NE(firstBytes, second.get());
    kept.reset();
    EXPECT_EQ(firstBytes, device->allocateReport(AbstractHidDevice::Output).get());
}

}  // namespace
}  // namespace devicetest
