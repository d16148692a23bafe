// The worker thread and the input-report queue of an open MacHidDevice: where
// the platform callbacks run, what close and destruction undo, the bounded queue,
// read time-outs, removal, and readers that wait while the device goes away.
// Mostly seen through getReport; one test drives the open state on its own to
// read what is queued after a removal, which the device no longer offers.
// Injected reports are awaited through their tickets, never by sleeping.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "devicefixture.h"
#include "quenor/mac/machiddeviceprivate.h"
#include "quenor/mac/scopedioobject.h"

namespace devicetest {
namespace {

using Result = AbstractHidDevice::AsyncOpResult;

// A 64-byte read buffer whose bytes show what a read wrote.
ReportBuffer marked() {
    return std::make_shared<std::vector<uint8_t>>(64, 0xEE);
}

std::vector<uint8_t> head(const ReportBuffer& buffer, int32_t count) {
    return {buffer->begin(), buffer->begin() + count};
}

// The record of a read that found no report: the caller's buffer, untouched.
void expectNoReport(const Result& result, const ReportBuffer& buffer) {
    EXPECT_FALSE(result.success);
    EXPECT_EQ(-1, result.bytesTransferred);
    EXPECT_EQ(buffer, result.buffer);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(std::vector<uint8_t>(64, 0xEE), *buffer);
}

class WorkerTest : public DeviceTest {
protected:
    // Plugs the gadget and opens a device on it.
    AbstractHidDevice* openGadget(int shareMode = 1) {
        gadget = plugGadget();
        AbstractHidDevice* device = makeDevice();
        EXPECT_TRUE(device->open(0, shareMode));
        return device;
    }

    void inject(uint32_t id, const std::vector<uint8_t>& report) {
        EXPECT_EQ(vmac::Outcome::Delivered, gadget.injectInputReport(id, report).wait());
    }

    vmac::VirtualDevice gadget;
};

TEST_F(WorkerTest, CallbacksRunOnTheDevicesOwnWorkerThread) {
    AbstractHidDevice* device = openGadget();
    const std::vector<std::thread::id> scheduled = gadget.scheduledThreads();
    ASSERT_EQ(1u, scheduled.size());
    const std::thread::id worker = scheduled[0];
    EXPECT_NE(std::this_thread::get_id(), worker);

    // Not the request queue's thread, on which a feature read calls the platform.
    ASSERT_TRUE(await(device->getFeature(1, bytes(std::vector<uint8_t>(16)))).success);
    ASSERT_EQ(1u, gadget.reportCalls().size());
    EXPECT_NE(gadget.reportCalls()[0].thread, worker);

    // Not the input queue's thread either: that one waits in the read below while
    // the worker delivers the report that ends the wait.
    ReportBuffer buffer = marked();
    auto read = device->getReport(buffer, -1);
    inject(2, {2, 7});
    const Result result = await(read);
    EXPECT_TRUE(result.success);
    EXPECT_EQ((std::vector<uint8_t>{2, 7}), head(buffer, result.bytesTransferred));

    // A second device has a worker of its own.
    AbstractHidDevice* second = makeDevice();
    ASSERT_TRUE(second->open(0, 1));
    const std::vector<std::thread::id> both = gadget.scheduledThreads();
    ASSERT_EQ(2u, both.size());
    EXPECT_NE(both[0], both[1]);
}

// The names of this process's threads, as the host lists them; empty where the
// host keeps no such list.
std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name)) {
            names.push_back(name);
        }
    }
    return names;
}

TEST_F(WorkerTest, WorkerThreadCarriesItsName) {
    if (threadNames().empty()) {
        GTEST_SKIP() << "this host does not list thread names";
    }
    openGadget();
    const std::vector<std::string> names = threadNames();
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "quenor-hid-rl"));
}

class CloseOptionsTest : public WorkerTest, public ::testing::WithParamInterface<int> {};

TEST_P(CloseOptionsTest, CloseUnregistersUnschedulesAndClosesWithTheOpenOptions) {
    AbstractHidDevice* device = openGadget(GetParam());
    const IOOptionBits expected = GetParam() == 0 ? kIOHIDOptionsTypeSeizeDevice : 0;
    HeldObject object = holdPlatformObject(device);
    EXPECT_TRUE(gadget.inputCallbackRegistered());
    EXPECT_TRUE(gadget.removalCallbackRegistered());
    EXPECT_TRUE(gadget.isScheduled());

    ASSERT_TRUE(device->close());
    // Our reference keeps the platform object alive, so its state can be seen.
    EXPECT_EQ(1, gadget.deviceObjectCount());
    EXPECT_FALSE(gadget.inputCallbackRegistered());
    EXPECT_FALSE(gadget.removalCallbackRegistered());
    EXPECT_FALSE(gadget.isScheduled());
    EXPECT_EQ(0, gadget.openCount());
    EXPECT_EQ(std::vector<IOOptionBits>{expected}, gadget.closeCalls());
    EXPECT_EQ(vmac::Outcome::Dropped, gadget.injectInputReport(1, {1}).wait());
}

INSTANTIATE_TEST_SUITE_P(ShareModes, CloseOptionsTest, ::testing::Values(0, 1));

// ---- The input queue ------------------------------------------------------------

TEST_F(WorkerTest, QueueKeepsTheNewest30Reports) {
    AbstractHidDevice* device = openGadget();
    for (uint8_t n = 1; n <= 31; ++n) {
        inject(1, {n, static_cast<uint8_t>(100 + n)});
    }
    for (uint8_t n = 2; n <= 31; ++n) {
        ReportBuffer buffer = marked();
        const Result result = await(device->getReport(buffer, 0));
        ASSERT_TRUE(result.success) << "report " << int(n);
        EXPECT_EQ((std::vector<uint8_t>{n, static_cast<uint8_t>(100 + n)}),
                  head(buffer, result.bytesTransferred));
    }
    ReportBuffer buffer = marked();
    expectNoReport(await(device->getReport(buffer, 0)), buffer);
}

TEST_F(WorkerTest, ZeroLengthReportIsQueuedAsAnEmptyReport) {
    AbstractHidDevice* device = openGadget();
    inject(1, {});
    inject(1, {7});
    ReportBuffer empty = marked();
    expectNoReport(await(device->getReport(empty, 0)), empty);
    ReportBuffer next = marked();
    const Result result = await(device->getReport(next, 0));
    EXPECT_TRUE(result.success);
    EXPECT_EQ(std::vector<uint8_t>{7}, head(next, result.bytesTransferred));

    // An empty report also ends a wait without limit, as a report.
    ReportBuffer waiting = marked();
    auto read = device->getReport(waiting, -1);
    inject(1, {});
    expectNoReport(await(read), waiting);
}

TEST_F(WorkerTest, ReportDeliveredWithAnErrorIsIgnored) {
    AbstractHidDevice* device = openGadget();
    EXPECT_EQ(vmac::Outcome::Delivered,
              gadget.injectInputReport(1, {1, 2, 3}, kIOReturnError).wait());
    ReportBuffer buffer = marked();
    expectNoReport(await(device->getReport(buffer, 0)), buffer);
}

TEST_F(WorkerTest, ReadsWithoutAReportEndWithNoReport) {
    AbstractHidDevice* device = openGadget();
    for (long timeout : {0L, -2L, 50L}) {
        ReportBuffer buffer = marked();
        SCOPED_TRACE(timeout);
        expectNoReport(await(device->getReport(buffer, timeout)), buffer);
    }
    EXPECT_TRUE(device->isOpened());
}

TEST_F(WorkerTest, ReadsTakeQueuedReportsAndWaitForNewOnes) {
    AbstractHidDevice* device = openGadget();
    inject(1, {1});
    ReportBuffer queued = marked();
    Result result = await(device->getReport(queued, 0));
    EXPECT_TRUE(result.success);
    EXPECT_EQ(std::vector<uint8_t>{1}, head(queued, result.bytesTransferred));

    // A time-out far beyond the test's patience: the report ends the wait.
    ReportBuffer timed = marked();
    auto timedRead = device->getReport(timed, 600000);
    inject(1, {2});
    result = await(timedRead);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(std::vector<uint8_t>{2}, head(timed, result.bytesTransferred));

    // Two waiting readers get one report each, in the order they asked.
    ReportBuffer first = marked();
    ReportBuffer second = marked();
    auto firstRead = device->getReport(first, -1);
    auto secondRead = device->getReport(second, -1);
    inject(1, {3});
    inject(1, {4});
    result = await(firstRead);
    EXPECT_EQ(std::vector<uint8_t>{3}, head(first, result.bytesTransferred));
    result = await(secondRead);
    EXPECT_EQ(std::vector<uint8_t>{4}, head(second, result.bytesTransferred));
}

// ---- Removal ------------------------------------------------------------------------

// The device object reports itself closed once the removal has arrived, so reads
// made after it answer "not open" at once, also those that would wait without
// limit; the reports still queued go with the open state at close.
TEST_F(WorkerTest, RemovalDisconnectsWithoutAClose) {
    AbstractHidDevice* device = openGadget(0);
    gadget.setReleaseNumber(0x0110);
    HeldObject object = holdPlatformObject(device);
    inject(4, {4, 1});
    EXPECT_EQ(vmac::Outcome::Delivered, gadget.unplug().wait());

    EXPECT_FALSE(device->isOpened());
    EXPECT_EQ(nullptr, device->nativeHandle());
    EXPECT_EQ(0, device->usbDeviceVersion());
    EXPECT_EQ(1, device->usage());  // the cache stays
    for (long timeout : {-1L, 0L}) {
        const Result result = await(device->getReport(marked(), timeout));
        EXPECT_FALSE(result.success);
        EXPECT_EQ(0, result.bytesTransferred);
        EXPECT_EQ(nullptr, result.buffer);
    }

    // Closing skips what the vanished device no longer has: no unregistering, no
    // unscheduling, no IOHIDDeviceClose. Everything else is released (fixture).
    EXPECT_TRUE(device->close());
    EXPECT_FALSE(device->close());
    EXPECT_TRUE(gadget.closeCalls().empty());
    EXPECT_TRUE(gadget.inputCallbackRegistered());
    EXPECT_TRUE(gadget.removalCallbackRegistered());
    EXPECT_TRUE(gadget.isScheduled());
    object.reset();
    EXPECT_EQ(0, gadget.deviceObjectCount());
}

// The open state on its own, on a platform object the test opened: after the
// removal, reports queued before it are still handed out, then nothing at once.
TEST_F(WorkerTest, RemovedOpenStateHandsOutQueuedReportsThenNothing) {
    gadget = plugGadget();
    auto entry = quenor::mac::ScopedIOObject::adopt(
        IORegistryEntryFromPath(kIOMasterPortDefault, kGadgetPath));
    ASSERT_TRUE(entry);
    auto platformObject = quenor::mac::ScopedCFRef<IOHIDDeviceRef>::adopt(
        IOHIDDeviceCreate(kCFAllocatorDefault, entry.get()));
    ASSERT_TRUE(platformObject);
    entry.reset();
    ASSERT_EQ(kIOReturnSuccess, IOHIDDeviceOpen(platformObject.get(), kIOHIDOptionsTypeNone));
    auto state = std::make_unique<MacHidDevice::MacHidDevicePrivate>(
        std::move(platformObject), kIOHIDOptionsTypeNone,
        quenor::mac::ScopedCOMInterface<IOUSBInterfaceStruct190>());
    ASSERT_FALSE(state->isDisconnected());

    inject(4, {4, 1});
    inject(4, {4, 2});
    EXPECT_EQ(vmac::Outcome::Delivered, gadget.unplug().wait());
    EXPECT_TRUE(state->isDisconnected());
    EXPECT_EQ(nullptr, state->handle());

    for (uint8_t n = 1; n <= 2; ++n) {
        ReportBuffer report = state->popInputReport(-1);
        ASSERT_TRUE(report);
        EXPECT_EQ((std::vector<uint8_t>{4, n}), *report);
    }
    auto last = std::async(std::launch::async, [&] { return state->popInputReport(-1); });
    if (last.wait_for(kPatience) != std::future_status::ready) {
        ADD_FAILURE() << "a read after the removal waited";
        state->beginStopping();
    }
    EXPECT_EQ(nullptr, last.get());

    state.reset();
    EXPECT_TRUE(gadget.closeCalls().empty());
    EXPECT_EQ(0, gadget.deviceObjectCount());
}

// ---- Readers while the device goes away -------------------------------------------

// Whether the input queue's thread has entered its wait cannot be seen from
// outside, so each attempt first checks that the read stays pending for a while
// (it must: nothing arrives) and grows that while until one attempt caught the
// reader inside its wait. A read that starts only after the close is a valid
// outcome of its own (the device is not open when it runs).
TEST_F(WorkerTest, CloseWakesAReaderWaitingWithoutLimit) {
    gadget = plugGadget();
    AbstractHidDevice* device = makeDevice();
    bool caughtWaiting = false;
    for (int attempt = 0; attempt < 8 && !caughtWaiting; ++attempt) {
        ASSERT_TRUE(device->open(0, 1));
        ReportBuffer waiting = marked();
        ReportBuffer behind = marked();
        auto read = device->getReport(waiting, -1);
        auto queuedBehind = device->getReport(behind, -1);
        EXPECT_FALSE(read.wait_for(std::chrono::milliseconds(20 << attempt)));

        ASSERT_TRUE(device->close());
        const Result result = await(read);
        if (result.buffer) {
            expectNoReport(result, waiting);
            caughtWaiting = true;
        } else {
            EXPECT_FALSE(result.success);
            EXPECT_EQ(0, result.bytesTransferred);
        }
        // The read queued behind it runs after the close.
        const Result later = await(queuedBehind);
        EXPECT_FALSE(later.success);
        EXPECT_EQ(0, later.bytesTransferred);
        EXPECT_EQ(nullptr, later.buffer);
    }
    EXPECT_TRUE(caughtWaiting);
    EXPECT_EQ(0, gadget.openCount());
}

TEST_F(WorkerTest, DestructionRightAfterOpenCompletes) {
    gadget = plugGadget();
    for (int round = 0; round < 10; ++round) {
        AbstractHidDevice* device = makeDevice();
        ASSERT_TRUE(device->open(0, round % 2));
        destroyDevice(device);
        EXPECT_EQ(0, gadget.openCount());
        EXPECT_EQ(0, gadget.deviceObjectCount());
        ASSERT_EQ(static_cast<size_t>(round + 1), gadget.closeCalls().size());
        EXPECT_EQ(round % 2 == 0 ? kIOHIDOptionsTypeSeizeDevice : kIOHIDOptionsTypeNone,
                  gadget.closeCalls().back());
    }
}

// The read may be inside its wait (woken, it answers "no report"), about to
// start (it finds the device stopping) or still queued (it is discarded and its
// request stays pending). Destruction must end in every case.
TEST_F(WorkerTest, DestructionWithAReaderWaitingWithoutLimitCompletes) {
    gadget = plugGadget();
    AbstractHidDevice* device = makeDevice();
    ASSERT_TRUE(device->open(0, 0));
    ReportBuffer waiting = marked();
    auto read = device->getReport(waiting, -1);
    EXPECT_FALSE(read.wait_for(std::chrono::milliseconds(50)));
    destroyDevice(device);
    if (read.is_ready()) {
        EXPECT_FALSE(read.value().success);
    }
    EXPECT_EQ(std::vector<IOOptionBits>{kIOHIDOptionsTypeSeizeDevice}, gadget.closeCalls());
    EXPECT_EQ(0, gadget.deviceObjectCount());
}

TEST_F(WorkerTest, DestructionOfARemovedDeviceWithQueuedReportsCompletes) {
    AbstractHidDevice* device = openGadget();
    inject(1, {1});
    inject(1, {2});
    EXPECT_EQ(vmac::Outcome::Delivered, gadget.unplug().wait());
    destroyDevice(device);
    EXPECT_TRUE(gadget.closeCalls().empty());
    EXPECT_EQ(0, gadget.deviceObjectCount());
}

}  // namespace
}  // namespace devicetest
