// The device monitor over the virtual registry: present devices first, then
// arrivals and removals in order, the present-devices flag, filters, more notices
// than the kernel queues, callbacks that open and unplug devices, stop and destruction
// from inside a callback, stop while notices are pending, and nothing leaked.
#include <quenor/mac/macdevicemonitor.h>

#include "devicefixture.h"

namespace devicetest {
namespace {

using Lines = std::vector<std::string>;

// What the callbacks saw: each notice as "=path/index" (a device present at start),
// "+path/index" (arrival) or "-path/index" (removal), its entry and its thread. Thread-safe.
class NoticeLog {
public:
    struct Seen {
        std::string line;
        HidDeviceEntry entry;
        std::thread::id thread;
    };

    void add(const HidDeviceNotice& notice) {
        const char sign = notice.kind == HidDeviceNotice::Kind::Removal ? '-'
                          : notice.present                              ? '='
                                                                        : '+';
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back({sign + where(notice.entry), notice.entry, std::this_thread::get_id()});
    }
    bool waitFor(size_t count) {
        return eventually([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return seen_.size() >= count;
        });
    }
    std::vector<Seen> seen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    Lines lines() const {
        Lines out;
        for (const Seen& one : seen())
            out.push_back(one.line);
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;  // guarded by mutex_
};

class MonitorTest : public RegistryTest {
protected:
    MacDeviceMonitor::Callback logging() {
        return [this](const HidDeviceNotice& notice) { log.add(notice); };
    }

    // Logs every notice; the arrival of a path in `gates` (made before the monitor
    // starts) holds the monitor thread in its callback until the test releases it,
    // so that notices pile up meanwhile.
    struct Gate {
        std::promise<void> entered, release;
    };
    MacDeviceMonitor::Callback gated() {
        return [this](const HidDeviceNotice& notice) {
            log.add(notice);
            auto gate = gates.find(notice.entry.path);
            if (notice.kind == HidDeviceNotice::Kind::Arrival && gate != gates.end()) {
                gate->second.entered.set_value();
                gate->second.release.get_future().wait();
            }
        };
    }
    Gate& gate(const std::string& path) { return gates[std::wstring(path.begin(), path.end())]; }

    NoticeLog log;
    std::map<std::wstring, Gate> gates;
};

// A second monitor, filtered and leaving present devices unreported, watches
// the same events: it reports only the wanted pairs, and the removal of a
// present device it did not report.
TEST_F(MonitorTest, ReportsPresentDevicesThenArrivalsAndRemovalsInOrder) {
    plugHid("IOService:/A", 1, 1, {{1, 6}, {0x0C, 1}});
    auto b = plugHid("IOService:/B", 1, 2, {});
    MacDeviceMonitor monitor(logging());
    NoticeLog consumerLog;
    HidDeviceMatch consumer;
    consumer.usagePage = 0x0C;
    MacDeviceMonitor filtered([&](const HidDeviceNotice& n) { consumerLog.add(n); }, consumer,
                              false);
    EXPECT_FALSE(monitor.isRunning());
    ASSERT_TRUE(monitor.start() && filtered.start());
    EXPECT_TRUE(monitor.isRunning());
    EXPECT_FALSE(monitor.start()) << "a monitor runs once";
    ASSERT_TRUE(log.waitFor(3));

    // Each monitor reads an arrival before the device goes: one that went first
    // would not be reported at all.
    auto c = plugHid("IOService:/C", 1, 3, {{0xFF00, 1}, {0x0C, 2}});
    ASSERT_TRUE(log.waitFor(5) && consumerLog.waitFor(1));
    vmac::reset();  // A, B and C go: A and B first (registry order)
    ASSERT_TRUE(log.waitFor(10) && consumerLog.waitFor(3));
    plugHid("IOService:/D", 1, 4, {{0x0C, 3}});
    ASSERT_TRUE(log.waitFor(11) && consumerLog.waitFor(4));
    EXPECT_EQ(log.lines(),
              (Lines{"=IOService:/A/0", "=IOService:/A/1", "=IOService:/B/0", "+IOService:/C/0",
                     "+IOService:/C/1", "-IOService:/A/0", "-IOService:/A/1", "-IOService:/B/0",
                     "-IOService:/C/0", "-IOService:/C/1", "+IOService:/D/0"}));
    EXPECT_EQ(consumerLog.lines(),
              (Lines{"+IOService:/C/1", "-IOService:/A/1", "-IOService:/C/1", "+IOService:/D/0"}));
    const auto seen = log.seen();
    EXPECT_EQ(seen[6].entry.identity, seen[1].entry.identity)
        << "a removal carries the arrival's entry";
    EXPECT_EQ(seen[6].entry.identity.product, "Product 1");
    for (const auto& one : seen) {
        EXPECT_NE(one.thread, std::this_thread::get_id());
        EXPECT_EQ(one.thread, seen.front().thread) << "one monitor thread";
    }

    monitor.stop();
    filtered.stop();
    EXPECT_FALSE(monitor.isRunning());
    EXPECT_EQ(0, vmac::liveNotificationPortCount()) << "stop returns after the thread let go";
    plugHid("IOService:/E", 1, 5, {});
    EXPECT_EQ(log.lines().size(), 11u) << "nothing after stop";
    monitor.stop();  // again: nothing to do
}

TEST_F(MonitorTest, StartFailsCleanlyWhereThePlatformRefuses) {
    plugHid("IOService:/A", 1, 1, {});
    vmac::NotificationFaults noPort, noSource, noRemovals, noArrivals;
    noPort.portCreateReturnsNull = true;
    noSource.runLoopSourceNull = true;
    noRemovals.failingNotification = kIOTerminatedNotification;
    noRemovals.notificationResult = kIOReturnNoResources;
    noArrivals.failingNotification = kIOFirstMatchNotification;
    noArrivals.notificationResult = kIOReturnError;
    for (const auto& faults : {noPort, noSource, noRemovals, noArrivals}) {
        vmac::setNotificationFaults(faults);
        MacDeviceMonitor monitor(logging());
        EXPECT_FALSE(monitor.start());
        EXPECT_FALSE(monitor.isRunning());
        EXPECT_EQ(0, vmac::liveNotificationPortCount());
        monitor.stop();
    }
    EXPECT_TRUE(log.lines().empty());
    // The fixture's live counts show that every step was undone.
}

// The kernel sends the terminated notice before the entry is detached: a device
// that comes and goes while the monitor is busy can have its removal read first
// and its arrival after, when its path still reads. It is reported not at all.
// The kernel keeps 1,024 services per notification and drops the rest: the
// monitor then compares with the registry and reports what it missed.
TEST_F(MonitorTest, BriefDevicesAreNotReportedAndNothingIsLostBeyondTheKernelsPending) {
    constexpr size_t kMany = 1030;
    Gate& first = gate("IOService:/Gate1");
    Gate& second = gate("IOService:/Gate2");
    auto gateDevice = plugHid("IOService:/Gate1", 1, 1, {});
    MacDeviceMonitor monitor(gated());
    ASSERT_TRUE(monitor.start());
    first.entered.get_future().wait();
    gateDevice.unplug();                                 // the removals' message is queued
    auto brief = plugHid("IOService:/Brief", 1, 2, {});  // then the arrivals' message
    brief.holdDetach();
    brief.unplug();                         // joins the pending removals: no message of its own
    std::vector<vmac::VirtualDevice> many;  // join the pending arrivals, past what is kept
    for (size_t i = 0; i < kMany; ++i)
        many.push_back(plugHid("IOService:/many/" + std::to_string(i), 1, 1, {}));
    first.release.set_value();
    ASSERT_TRUE(log.waitFor(2 + kMany));
    plugHid("IOService:/Gate2", 1, 1, {});
    second.entered.get_future().wait();
    for (auto& device : many)
        device.unplug();
    second.release.set_value();
    ASSERT_TRUE(log.waitFor(3 + 2 * kMany));
    monitor.stop();
    brief.holdDetach(false);
    const Lines lines = log.lines();
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 2),
              (Lines{"=IOService:/Gate1/0", "-IOService:/Gate1/0"}));
    std::set<std::string> arrived, removed;
    for (const std::string& line : lines)
        (line[0] == '-' ? removed : arrived).insert(line.substr(1));
    EXPECT_EQ(arrived.size(), kMany + 2);  // Gate1, the many and Gate2: not Brief
    EXPECT_EQ(removed.size(), kMany + 1);
    EXPECT_EQ(lines.size(), 3 + 2 * kMany);
}

TEST_F(MonitorTest, CallbacksMayOpenTheDeviceAndUnplugIt) {
    auto gadget = plugGadget();  // published without properties: still an HID device
    std::unique_ptr<AbstractHidDevice> opened;
    bool wasOpen = false;
    vmac::Ticket removal;
    MacDeviceMonitor monitor([&](const HidDeviceNotice& notice) {
        if (notice.kind == HidDeviceNotice::Kind::Arrival) {
            opened.reset(AbstractHidDevice::create(notice.entry.descriptor()));
            wasOpen = opened->open(0, 1);
            removal = gadget.unplug();  // from the monitor thread, during the callback
        }
        log.add(notice);
    });
    ASSERT_TRUE(monitor.start());
    ASSERT_TRUE(log.waitFor(2));
    monitor.stop();
    EXPECT_TRUE(wasOpen);
    EXPECT_EQ(removal.wait(), vmac::Outcome::Delivered);
    EXPECT_FALSE(opened->isOpened()) << "the open device saw its removal too";
    EXPECT_EQ(log.lines(), (Lines{"=" + std::string(kGadgetPath) + "/0",
                                  "-" + std::string(kGadgetPath) + "/0"}));
    opened.reset();
}

TEST_F(MonitorTest, StopOrDestructionFromInsideACallbackEndsTheMonitor) {
    for (const char* path : {"IOService:/A", "IOService:/B", "IOService:/C"})
        plugHid(path, 1, 1, {});
    MacDeviceMonitor* self = nullptr;
    MacDeviceMonitor monitor([&](const HidDeviceNotice& notice) {
        log.add(notice);
        self->stop();  // returns at once; no further callback
    });
    self = &monitor;
    ASSERT_TRUE(monitor.start());
    ASSERT_TRUE(log.waitFor(1));
    monitor.stop();  // joins the thread, which ends by itself
    EXPECT_EQ(log.lines(), (Lines{"=IOService:/A/0"}));

    std::unique_ptr<MacDeviceMonitor> owned;
    std::promise<void> started;
    std::shared_future<void> running = started.get_future().share();
    owned = std::make_unique<MacDeviceMonitor>([&](const HidDeviceNotice& notice) {
        running.wait();  // start() has returned
        log.add(notice);
        owned.reset();  // destroys the monitor from its own thread
    });
    ASSERT_TRUE(owned->start());
    started.set_value();
    ASSERT_TRUE(log.waitFor(2));
    EXPECT_TRUE(eventually([] { return vmac::liveNotificationPortCount() == 0; }))
        << "the detached thread released its port";
    // As the host lists threads: a detached one releases the rest of what it
    // held just before it ends.
    EXPECT_TRUE(eventually([] { return !aThreadIsNamed("quenor-hid-mon"); }))
        << "the detached thread ended";
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST_F(MonitorTest, StopWhileNoticesArePendingDropsThemAndWaitsForTheRunningCallback) {
    Gate& held = gate("IOService:/first");
    MacDeviceMonitor monitor(gated());
    ASSERT_TRUE(monitor.start());
    plugHid("IOService:/first", 1, 1, {});
    held.entered.get_future().wait();
    for (int i = 0; i < 20; ++i)
        plugHid("IOService:/pending" + std::to_string(i), 1, 1, {});
    auto stopped = std::async(std::launch::async, [&] { monitor.stop(); });
    EXPECT_TRUE(eventually([&] { return !monitor.isRunning(); }));
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "stop waits while a callback runs";
    held.release.set_value();
    stopped.get();
    EXPECT_EQ(log.lines(), (Lines{"+IOService:/first/0"})) << "pending notices dropped";
    EXPECT_EQ(0, vmac::liveNotificationPortCount());
}

}  // namespace
}  // namespace devicetest
