// Report transfers: the record of every path, the queue each runs on, the timed
// sender thread and its cancellation, and cancelAll.

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
TEST_F(TransfersTest, TheRecordOfEachTransferClosedAndOpen) {
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
    EXPECT_EQ(record(kNotOpenRead), answer(device->getFeature(3, b)));
    EXPECT_EQ(record(kNotOpenRead), answer(device->getReport(b, 1000)));

    ASSERT_TRUE(device->open(0, 1));
    refused(device->setReport(5, nullptr, 1000), {false, 0, nullptr, 5, bad});
    refused(device->setFeature(6, nullptr), {false, 0, nullptr, 6, bad});
    refused(device->getFeature(7, nullptr), {false, 0, nullptr, 7, bad});
    refused(device->getReport(nullptr, -1), {false, 0, nullptr, 0, bad});

    ASSERT_TRUE(device->close());
    refused(device->setReport(9, b, -1), generic);
    EXPECT_EQ(record(kNotOpenRead), answer(device->getFeature(3, b)));
    EXPECT_EQ(Bytes({1, 2, 3}), *b);
    EXPECT_TRUE(gadget.reportCalls().empty());

    // Open, set transfers send the buffer as it is (no report-ID byte added or
    // removed) and keep a failure's status. A feature read asks for the whole
    // buffer, counts only what the device answered, and keeps a failure's code. An
    // input read copies the report exactly as it came, ID byte included, over the
    // start of the buffer and only as much as fits; no report fails.
    ASSERT_TRUE(device->open(0, 1));
    inject(gadget, 5, {5, 1, 2, 3});
    inject(gadget, 5, {1, 2, 3, 4, 5, 6, 7, 8});
    ReportBuffer in = bytes(Bytes(6, 0xAA));
    EXPECT_EQ(record({true, 4, in, 0, 0}), answer(device->getReport(in, 1000)));
    EXPECT_EQ(Bytes({5, 1, 2, 3, 0xAA, 0xAA}), *in);
    EXPECT_EQ(record({true, 6, in, 0, 0}), answer(device->getReport(in, 1000)));
    EXPECT_EQ(record(noReport(in)), answer(device->getReport(in, 0)));
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6}), *in);

    const Bytes content = {0x00, 1, 2, 3, 4, 5, 6, 7, 8};
    b = bytes(content);
    EXPECT_EQ(record({true, 9, b, 0, 0}), answer(device->setReport(0, b, 1000)));
    EXPECT_EQ(record({true, 9, b, 5, 0}), answer(device->setReport(5, b, 1000)));
    EXPECT_EQ(record({true, 9, b, 200, 0}), answer(device->setFeature(200, b)));
    gadget.queueSetReportAnswer({kIOReturnError, {}, vmac::Block::None});
    gadget.queueSetReportAnswer({kIOReturnNotPermitted, {}, vmac::Block::None});
    EXPECT_EQ(record({false, -1, b, 4, kError}), answer(device->setReport(4, b, 1000)));
    EXPECT_EQ(record({false, -1, b, 6, widened(kIOReturnNotPermitted)}),
              answer(device->setFeature(6, b)));
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
    EXPECT_EQ(record({true, 3, b, 6, 0}), answer(device->getFeature(6, b)));
    EXPECT_EQ(Bytes({0x11, 0x22, 0x33, 3, 4, 5, 6, 7, 8}), *b);
    EXPECT_EQ(9, gadget.reportCalls()[5].length);
    EXPECT_EQ(record({false, -1, b, 7, kError}), answer(device->getFeature(7, b)));

    // The HID driver ends a call that the device leaves unanswered after the device's
    // request time-out, long before setFeature's own 5000 ms.
    gadget.setNumberProperty("RequestTimeout", 50000);
    gadget.queueSetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable});
    gadget.queueGetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable});
    const int64_t timedOut = widened(kIOReturnTimeout);
    EXPECT_EQ(record({false, -1, b, 8, timedOut}), answer(device->setFeature(8, b)));
    EXPECT_EQ(record({false, -1, b, 9, timedOut}), answer(device->getFeature(9, b)));
    EXPECT_EQ(0u, gadget.cancelledCallCount());
}

// The threads a device costs, counted in /proc/self/task (also under the
// sanitizers, which the faults suite's thread walk skips): none for a device that
// has done nothing; the run-loop worker once open; the request queue's thread
// with its first work; the sender while set transfers come, gone after
// kSenderIdle without one; none after delete.
TEST_F(TransfersTest, ThreadsAreStartedWhenFirstNeededAndTheIdleSenderEnds) {
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
    EXPECT_TRUE(eventually([&] { return threads() == base + 2; }));  // the idle sender ends
    EXPECT_TRUE(await(device->setReport(1, b, 1000)).success);
    EXPECT_EQ(base + 3, threads());
    EXPECT_EQ(5u, gadget.reportCalls().size());  // the feature read and four sends
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
        EXPECT_EQ(record({false, -1, buffer, 3, widened(kIOReturnTimeout)}), answer(ended));
        EXPECT_EQ(record({true, 1, next, 4, 0}), answer(behind));
        EXPECT_EQ(++cancelled, gadget.cancelledCallCount());
    }
    // A call that returns by itself delivers its own record, even when the
    // cancellation request reaches the sender first.
    gadget.queueSetReportAnswer({kIOReturnError, {}, vmac::Block::None});
    EXPECT_EQ(record({false, -1, buffer, 9, kError}), answer(device->setReport(9, buffer, 0)));
    EXPECT_EQ(record({true, 1, buffer, 9, 0}), answer(device->setReport(9, buffer, -5)));

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
    EXPECT_EQ(record({true, 1, next, 2, 0}), answer(behind));
    EXPECT_EQ(1u, gadget.blockedCallCount()) << "the first call is still inside the platform";
    EXPECT_TRUE(await(device->getFeature(3, bytes({0}))).success) << "the queue goes on";
    gadget.releaseBlockedCalls();
    ASSERT_TRUE(gadget.waitForBlockedCalls(0));
    EXPECT_EQ(record(timedOut), record(ended.value()));

    // A sender without limit (-1) is never cancelled: the queue waits for it
    // however long it takes, the record is the call's own, and the feature reads
    // and transfers behind it wait, each in call order. An input read waiting
    // without limit on the input queue holds none of them up. (A time-out too
    // large for the clock is the read tests' case: both take the same deadline.)
    device->setDoAsync(false);  // changes nothing: transfers still return at once
    ReportBuffer in = bytes(Bytes(64, 0)), first = bytes({1, 1});
    auto reading = device->getReport(in, -1);
    const size_t before = gadget.reportCalls().size();
    gadget.queueSetReportAnswer({kIOReturnError, {}, vmac::Block::Cancellable, true});
    auto slow = device->setReport(1, first, -1);
    auto featureRead = device->getFeature(2, bytes({0, 0}));
    auto waiting = device->setReport(3, next, 1000);
    ASSERT_TRUE(gadget.waitForBlockedCalls(1));
    // Past the one-second grace a limited transfer would have been answered.
    EXPECT_FALSE(waiting.wait_for(std::chrono::milliseconds(1500)) || slow.is_ready() ||
                 featureRead.is_ready());
    gadget.releaseBlockedCalls();
    EXPECT_EQ(record({false, -1, first, 1, kError}), answer(slow));
    EXPECT_EQ(record({true, 1, next, 3, 0}), answer(waiting));
    EXPECT_TRUE(featureRead.is_ready());
    const auto calls = gadget.reportCalls();
    ASSERT_EQ(before + 3, calls.size());
    EXPECT_EQ(std::make_tuple(1, 2, 3),
              std::make_tuple(calls[before].reportId, calls[before + 1].reportId,
                              calls[before + 2].reportId));
    EXPECT_FALSE(reading.is_ready());
    inject(gadget, 9, {9, 8});
    EXPECT_EQ(record({true, 2, in, 0, 0}), answer(reading));
    EXPECT_EQ(cancelled, gadget.cancelledCallCount());

    destroyDevice(device);
    EXPECT_EQ(record({false, -1, featureBuffer, 3, widened(kIOReturnTimeout)}), answer(feature));
    EXPECT_EQ(record({true, 1, next, 4, 0}), answer(featureBehind));
    EXPECT_EQ(1u, other.cancelledCallCount());
}

// Delete returns within about a second, whatever call is in progress and whether
// or not the device was closed first, and answers every request it handed out
// aborted: the call in progress (a sender is cancelled where it can be; a call
// still inside the platform is left to finish on its own references), and the
// transfers, feature reads, string requests and input reads behind it, never run.
TEST_F(TransfersTest, DeleteAnswersEveryPendingRequestAbortedWithinTheGrace) {
    const int64_t aborted = widened(kIOReturnAborted);
    gadget.setStringDescriptorText(1, u"never asked");
    const struct {
        const char* name;
        bool set;  // else a feature read, which runs on the queue's own thread
        vmac::Block block;
        long timeout;
        bool closeFirst;
    } rows[] = {{"set, no limit", true, vmac::Block::Cancellable, -1, false},
                {"set, no limit, in the platform", true, vmac::Block::NonCancellable, -1, false},
                {"set, 3000 ms", true, vmac::Block::NonCancellable, 3000, false},
                {"set, closed first", true, vmac::Block::NonCancellable, -1, true},
                {"feature read", false, vmac::Block::NonCancellable, 0, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        AbstractHidDevice* device = openDevice();
        const size_t cancelled = gadget.cancelledCallCount();
        ReportBuffer buffer = bytes({9, 9}), out = bytes({1}), in = bytes(Bytes(64));
        (row.set ? gadget.queueSetReportAnswer(blocking(row.block))
                 : gadget.queueGetReportAnswer(blocking(row.block)));
        std::vector<std::pair<Request, Result>> pending = {
            {row.set ? device->setReport(5, buffer, row.timeout) : device->getFeature(5, buffer),
             {false, -1, buffer, 5, aborted}}};
        ASSERT_TRUE(gadget.waitForBlockedCalls(1));
        auto string = device->usbString(1);
        if (row.closeFirst) {
            ASSERT_TRUE(device->close());
        } else {
            pending.insert(pending.end(),
                           {{device->setReport(2, out, 1000), {false, -1, out, 2, aborted}},
                            {device->setFeature(3, out), {false, -1, out, 3, aborted}},
                            {device->getFeature(4, out), {false, -1, out, 4, aborted}},
                            {device->getReport(in, -1), {false, 0, in, 0, aborted}},
                            {device->getReport(buffer, 500), {false, 0, buffer, 0, aborted}}});
        }
        const size_t calls = gadget.reportCalls().size();
        EXPECT_TRUE(deletedWithinBound(device)) << "delete waited for the device";
        for (const auto& [request, expected] : pending) {
            ASSERT_TRUE(request.is_ready()) << record(expected);
            EXPECT_EQ(record(expected), record(request.value()));
        }
        ASSERT_TRUE(string.is_ready());
        EXPECT_EQ(
            std::make_tuple(false, std::wstring(), aborted),
            std::make_tuple(string.value().success, string.value().value, string.value().status));
        EXPECT_EQ(cancelled + (row.block == vmac::Block::Cancellable), gadget.cancelledCallCount());
        EXPECT_EQ(calls, gadget.reportCalls().size()) << "nothing queued reached the device";
        EXPECT_TRUE(gadget.pipeCalls().empty());
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
        EXPECT_EQ(record({true, reopen ? 2 : 0, first, 1, 0}), answer(running));
        EXPECT_EQ(record({false, 0, late, 2, widened(kIOReturnNotOpen)}), answer(stale));
        EXPECT_EQ(callsBefore + 1, gadget.reportCalls().size());
    }
    ReportBuffer buffer = bytes({4});
    EXPECT_EQ(record({true, 1, buffer, 3, 0}), answer(device->setReport(3, buffer, 1000)));
}

// Pipes 1 to n are each aborted and cleared, a failing call stopping none of the
// others; nothing happens without an open interface that counts its endpoints.
// (On a Mac each of these calls answers kIOReturnNotOpen, as vmac's do: the HID
// driver holds the interface open.)
TEST_F(TransfersTest, CancelAllResetsEndpointPipesOneToN) {
    AbstractHidDevice* device = makeDevice();
    device->cancelAll();
    ASSERT_TRUE(device->open(0, 1));
    gadget.setNumEndpoints(2, kIOReturnError);
    device->cancelAll();
    gadget.setNumEndpoints(0);
    device->cancelAll();
    gadget.setNumEndpoints(3);
    // Pipe 1's calls fail, unlogged, as if the device had just gone.
    gadget.failCalls(fault(vmac::Call::AbortPipe, 1, kIOReturnNoDevice));
    gadget.failCalls(fault(vmac::Call::ClearPipeStallBothEnds, 1, kIOReturnNoDevice));
    device->cancelAll();
    ASSERT_TRUE(device->close());
    device->cancelAll();
    using K = vmac::PipeCallKind;
    std::vector<std::pair<K, int>> resets;
    for (const vmac::PipeCall& call : gadget.pipeCalls())
        resets.emplace_back(call.kind, call.pipe);
    EXPECT_EQ(resets, (decltype(resets){{K::AbortPipe, 2},
                                        {K::ClearPipeStallBothEnds, 2},
                                        {K::AbortPipe, 3},
                                        {K::ClearPipeStallBothEnds, 3}}));
}

}  // namespace
}  // namespace devicetest
