// The worker thread and the input-report queue: read time-outs, removal, readers
// waiting while the device goes away, and reports lost to a full queue or to
// the want of memory.

#include "devicefixture.h"
#include "failingallocator.h"

namespace devicetest {
namespace {

// A 64-byte read buffer whose bytes show what a read wrote.
ReportBuffer marked() {
    return std::make_shared<Bytes>(64, 0xEE);
}

// The record of a read that found no report: the caller's buffer, untouched.
void expectNoReport(const Result& result, const ReportBuffer& buffer) {
    EXPECT_EQ(record(noReport(buffer)), record(result));
    EXPECT_EQ(Bytes(64, 0xEE), *buffer);
}

class WorkerTest : public GadgetTest {};

TEST_F(WorkerTest, ReadsTakeQueuedReportsOrWaitUpToTheirTimeOut) {
    AbstractHidDevice* device = openDevice();
    // The deadline watcher has gone to sleep with nothing to watch by now: the
    // timed read must wake it, or it never ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (long timeout : {0L, -2L, 50L}) {
        SCOPED_TRACE(timeout);
        ReportBuffer buffer = marked();
        expectNoReport(await(device->getReport(buffer, timeout)), buffer);
    }
    // A report delivered with an error is dropped; an empty one is read as no report.
    EXPECT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(1, {1, 2}, kIOReturnError).wait());
    inject(gadget, 1, {});
    inject(gadget, 1, {1});
    ReportBuffer empty = marked();
    expectNoReport(await(device->getReport(empty, 0)), empty);
    EXPECT_EQ(Bytes{1}, readQueued(device));

    // A time-out far beyond the test's patience, or too large for the clock
    // (which neither overflows nor turns into "do not wait"): the report ends the wait.
    for (long timeout : {600000L, std::numeric_limits<long>::max()}) {
        ReportBuffer timed = marked();
        auto timedRead = device->getReport(timed, timeout);
        EXPECT_FALSE(timedRead.wait_for(std::chrono::milliseconds(100)));
        inject(gadget, 1, {2});
        EXPECT_EQ(record({true, 1, timed, 0, 0}), answer(timedRead));
        EXPECT_EQ(2, (*timed)[0]);
    }

    // An empty report ends a wait without limit too.
    ReportBuffer waiting = marked();
    auto read = device->getReport(waiting, -1);
    inject(gadget, 1, {});
    expectNoReport(await(read), waiting);
}

// Once the removal arrived the device reports itself closed, and its close
// makes no platform call (no unregistering, unscheduling or IOHIDDeviceClose).
// A removal wakes no read: one with a time-out answers "no report" at its
// deadline; reads that start after the removal answer "not open" at once, also
// those that would wait without limit. One without limit that is waiting when
// the removal comes waits on, and the close that follows wakes it. Whether
// the input queue's thread is inside its wait cannot be seen, so each attempt
// lets the read pend longer until one caught it there; a read that starts only
// after the removal or the close finds the device not open, an outcome of its own.
TEST_F(WorkerTest, CloseWakesAReaderWaitingWithoutLimitAndARemovalWakesNoRead) {
    ReportBuffer timed = marked();
    AbstractHidDevice* device = openDevice();
    gadget.setReleaseNumber(0x0110);
    HeldObject object = holdPlatformObject(device);
    auto running = device->getReport(timed, 1500);
    auto behind = device->getReport(marked(), -1);  // starts after the removal
    EXPECT_FALSE(running.wait_for(std::chrono::milliseconds(200)));
    EXPECT_EQ(vmac::Outcome::Delivered, gadget.unplug().wait());
    EXPECT_FALSE(running.is_ready()) << "the removal does not wake it";
    EXPECT_FALSE(device->isOpened());
    EXPECT_EQ(nullptr, device->nativeHandle());
    EXPECT_EQ(0, device->usbDeviceVersion());
    EXPECT_EQ(1, device->usage());  // the cache stays
    expectNoReport(await(running), timed);
    EXPECT_EQ(record(kNotOpenRead), answer(behind));
    EXPECT_EQ(record(kNotOpenRead), answer(device->getReport(marked(), 0)));
    EXPECT_TRUE(device->close());
    EXPECT_TRUE(gadget.closeCalls().empty());
    EXPECT_TRUE(gadget.inputCallbackRegistered() && gadget.isScheduled());
    object.reset();
    EXPECT_EQ(0, gadget.deviceObjectCount());
    destroyDevice(device);

    for (bool removed : {false, true}) {
        SCOPED_TRACE(removed ? "removed, then closed" : "closed");
        bool caughtWaiting = false;
        for (int attempt = 0; attempt < 8 && !caughtWaiting; ++attempt) {
            gadget = plugGadget();
            device = makeDevice();
            ASSERT_TRUE(device->open(0, 1));
            ReportBuffer waiting = marked();
            auto read = device->getReport(waiting, -1);
            auto queuedBehind = device->getReport(marked(), -1);
            EXPECT_FALSE(read.wait_for(std::chrono::milliseconds(20 << attempt)));
            if (removed) {
                EXPECT_EQ(vmac::Outcome::Delivered, gadget.unplug().wait());
            }
            const bool answeredBeforeClose = read.wait_for(std::chrono::milliseconds(20));
            ASSERT_TRUE(device->close());
            const Result result = await(read);
            if (result.buffer) {
                EXPECT_FALSE(answeredBeforeClose);
                expectNoReport(result, waiting);
                caughtWaiting = true;
            } else {
                EXPECT_EQ(record(kNotOpenRead), record(result));
            }
            EXPECT_EQ(record(kNotOpenRead), answer(queuedBehind));
            EXPECT_EQ(0, gadget.openCount());
            destroyDevice(device);
            if (!removed) {
                gadget.unplug();
            }
        }
        EXPECT_TRUE(caughtWaiting);
    }
}

TEST_F(WorkerTest, ReadsStartedWhileTheDeviceClosesAndReopensNeverUseAClosedState) {
    // Readers, more than there are CPUs, start reads without pause while this thread closes and
    // reopens the device: every read is answered (no report, or not open), and a close destroys
    // the open state only once no read is inside it. A reader preempted inside its few steps
    // would otherwise find the state gone (AddressSanitizer reports it).
    AbstractHidDevice* device = openDevice();
    std::atomic<bool> quit{false};
    std::atomic<long> answered{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            const ReportBuffer buffer = marked();
            while (!quit) {
                auto request = device->getReport(buffer, 0);
                if (request.wait_for(std::chrono::seconds(10)) && !request.value().success) {
                    ++answered;
                }
            }
        });
    }
    for (int cycle = 0; cycle < 500; ++cycle) {
        ASSERT_TRUE(device->close());
        ASSERT_TRUE(device->open(0, 1));
    }
    quit = true;
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_LT(0, answered.load());
}

// A report that cannot be copied (no memory) is dropped and counted inside the
// platform's callback: nothing propagates into the platform's frames, and the
// reports after it flow as before. A full queue keeps the newest 30 reports and
// counts its pushed-out ones.
TEST_F(WorkerTest, ReportsLostToNoMemoryOrAFullQueueAreCounted) {
    auto* device = static_cast<MacHidDevice*>(openDevice());
    EXPECT_EQ(0u, device->droppedInputReports());
    constexpr size_t kOddLength = 61;  // the size of the copy the failure aims at
    {
        FailNth failing(Event::Allocation, 1, "quenor-hid-rl", kOddLength);
        inject(gadget, 1, Bytes(kOddLength, 1));
        EXPECT_TRUE(failing.hit()) << "the copy was attempted and failed";
    }
    inject(gadget, 2, {2});
    EXPECT_EQ((Bytes{2}), readQueued(device));
    EXPECT_EQ(Bytes{}, readQueued(device));
    EXPECT_EQ(1u, device->droppedInputReports());

    for (uint8_t n = 1; n <= 32; ++n) {
        inject(gadget, 1, {n, static_cast<uint8_t>(100 + n)});
    }
    EXPECT_EQ(3u, device->droppedInputReports());
    for (uint8_t n = 3; n <= 32; ++n) {
        EXPECT_EQ((Bytes{n, static_cast<uint8_t>(100 + n)}), readQueued(device)) << int(n);
    }
    ReportBuffer buffer = marked();
    expectNoReport(await(device->getReport(buffer, 0)), buffer);
    ASSERT_TRUE(device->close());
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_EQ(0u, device->droppedInputReports()) << "counted since the last open";
}

}  // namespace
}  // namespace devicetest
