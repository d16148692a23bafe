// The stress run as a test. Application threads make random mixed calls on a
// few virtual devices while lifecycle threads open, close, reopen, switch
// filtering, destroy, recreate, unplug and replug them, an injector sends input
// reports, a scripter queues blocking and failing answers and a releaser lets
// blocked calls go. Every record is judged as it is seen (ledger.h); a device
// object's deletion must answer every handle it gave out and return within its
// bound; at the end every device is closed, every handle must become ready and
// every device object is deleted. The test passes when nothing broke the
// contract, nothing hung (watchdog.h), every counter moved (a run that tested
// nothing fails), and the platform's live objects and the process's threads
// are back at their baseline.
//
// Knobs, from the environment: QUENOR_STRESS_SEED (default: from the clock,
// named in every failure, so that a failing run can be repeated with the same choices),
// QUENOR_STRESS_SECONDS (30; 15 in sanitizer builds), QUENOR_STRESS_THREADS
// (application threads, 12) and QUENOR_STRESS_DEVICES (4, at most 16).
//
// The devices: of every four, two sit under a USB interface at paths of their
// own; two are user-space devices with no USB parent that share one path, as on
// a Mac, so their device objects name them by registry entry ID (a replug makes
// a new entry, which the old object never opens; it is soon replaced).
#include <gtest/gtest.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>
#include <vmac/gadget.h>

#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <random>
#include <shared_mutex>

#include "ledger.h"
#include "watchdog.h"

namespace stress {
namespace {

using Ms = std::chrono::milliseconds;
using Type = AbstractHidDevice::ReportType;

constexpr uint8_t kFailOnRequest = 0xFA;  // byte 1 of a set, or the ID of a get: the call fails
constexpr size_t kMaxPendingPerThread = 48;
// Sanitizer builds run several times slower: every time bound is stretched by
// this (CMake sets it), and the run's default length is halved.
constexpr int kSlowdown = QUENOR_STRESS_SLOWDOWN;

// A knob from the environment, `fallback` when unset; std::stod throws
// std::invalid_argument for text that is no number.
double knob(const char* name, double fallback) {
    const char* text = std::getenv(name);
    return text ? std::stod(text) : fallback;
}

// The harness's way of keeping the device contract: open, close, deletion and
// the filtering switch of a device overlap nothing else on it, every other call
// may run concurrently. Application calls take it shared, lifecycle steps
// exclusive. A waiting lifecycle step holds the turnstile, so that new shared
// entries wait behind it and twelve busy application threads cannot starve it
// (std::shared_mutex alone may prefer readers).
struct LifecycleLock {
    void lock_shared() {
        std::lock_guard<std::mutex> pass(turnstile);
        rw.lock_shared();
    }
    void unlock_shared() { rw.unlock_shared(); }
    void lock() {
        std::lock_guard<std::mutex> pass(turnstile);
        rw.lock();
    }
    void unlock() { rw.unlock(); }
    std::mutex turnstile;
    std::shared_mutex rw;
};

// What a run counts; each must move, or the run tested nothing of it.
// clang-format off
constexpr const char* kCounted[] = {"calls", "handles judged", "reads with a report",
    "reports injected", "opens", "opens over an open", "closes", "destroys", "creates",
    "filtering switches", "unplugs", "replugs", "blocking answers", "failing answers",
    "handles answered by a deletion"};
// clang-format on

// Everything the run's threads share.
struct World {
    World() {
        for (const char* name : kCounted) {
            counts.emplace(name, 0);
        }
    }
    void count(const char* name, uint64_t n = 1) { counts.at(name) += n; }
    // From any thread (GoogleTest's assertions are thread-safe); the first 40 are shown.
    void fault(const std::string& what) {
        if (++faults <= 40) {
            ADD_FAILURE() << what;
        }
    }

    std::map<std::string, std::atomic<uint64_t>> counts;  // keys fixed before threads start
    std::atomic<uint64_t> nextGeneration{0};
    std::atomic<bool> stopping{false};  // the timed part is over
    std::atomic<bool> releasing{true};  // the releaser keeps going
    const int64_t handleBoundNs = int64_t{20} * kSlowdown * 1000000000;
    const int64_t deleteBoundNs = int64_t{3} * kSlowdown * 1000000000;  // 1 s, and slack
    std::atomic<uint64_t> faults{0};
};

// One virtual device: its gadget (replaced by every replug) and the library's
// device object for it (replaced by every destroy and create).
// Locks: the fields marked "lifecycle" are written only under `lifecycle` held
// exclusively, read under it in either mode; gadgetMutex_ is held across
// nothing that waits; the atomics are compared across time without a lock.
struct Slot {
    Slot(int i, World& world)
        : index(i), tag(static_cast<uint8_t>(0xA0 + i)), byEntryId(i % 4 >= 2), world(world) {
        const std::string n = std::to_string(i);
        described.path = byEntryId ? "IOService:/IOResources/IOHIDResource/"
                                "IOHIDResourceDeviceUserClient/IOHIDUserDevice"
                              : "IOService:/vmac/Stress@" + n + "/Interface@0/HIDDevice";
        described.parent = byEntryId ? vmac::ParentKind::Other : vmac::ParentKind::UsbInterface;
        described.versionNumber = described.releaseNumber = static_cast<UInt16>(0x0100 + i);
        described.primaryUsagePage = 0xFF00;
        described.primaryUsage = 1;
        described.usagePairs = {{{0xFF00, 1}}};
        described.maxInputReportSize = kInputReportSize;
        described.maxOutputReportSize = kOutputReportSize;
        described.maxFeatureReportSize = kFeatureReportSize;
        described.manufacturer = "Quenor Stress Works";
        described.product = "Stress Gadget \xC3\xBC\xE2\x82\xAC " + n;
        described.serialNumber = "QS-\xF0\x9F\x98\x80-" + n;  // beyond the BMP
        described.properties["RequestTimeout"] = 100000LL;    // the driver ends a blocked call at 100 ms
        described.elements = {{0xFF00, 1, 1}, {0xFF00, 2, 2}, {0xFF00, 3, 1}, {0x0001, 6, 3}};
        described.stringDescriptors[1] = vmac::stringDescriptor(u"Quenor Stress Works");
        described.responder = [this](const vmac::ReportCall& call) { return respond(call); };
        const std::wstring wn(n.begin(), n.end());
        product = L"Stress Gadget \u00FC\u20AC " + wn;
        serial = L"QS-" + std::wstring(1, wchar_t(0x1F600)) + L"-" + wn;
    }

    // The firmware: a set must carry this device's tag; a get answers a whole
    // feature report starting with it; kFailOnRequest fails either.
    vmac::ReportAnswer respond(const vmac::ReportCall& call) {
        const bool set = call.kind == vmac::ReportCallKind::Set;
        const uint8_t first = call.bytes.empty() ? tag : call.bytes[0];
        if (set && (static_cast<size_t>(call.length) != call.bytes.size() || first != tag)) {
            fault("set report", "of " + std::to_string(call.bytes.size()) + " bytes, " +
                                    std::to_string(call.length) + " announced, tag " +
                                    std::to_string(first));
        }
        const bool failing = set ? call.bytes.size() > 1 && call.bytes[1] == kFailOnRequest
                                 : call.reportId == kFailOnRequest;
        vmac::ReportAnswer answer;
        answer.result = failing ? kIOReturnError : kIOReturnSuccess;
        if (!set && !failing) {
            answer.data = {tag, static_cast<uint8_t>(call.reportId)};
            answer.data.resize(kFeatureReportSize);
        }
        return answer;
    }

    // The latest gadget; its entry ID while it is plugged, else 0; its entry ID.
    vmac::VirtualDevice gadget() const {
        std::lock_guard<std::mutex> lock(gadgetMutex_);
        return gadget_;
    }
    uint64_t pluggedGadget() const {
        const vmac::VirtualDevice g = gadget();
        return g.isPlugged() ? g.entryId() : 0;
    }
    uint64_t gadgetEntryId() const { return gadget().entryId(); }
    // With `lifecycle` held exclusively, so that no open sees a gadget half set up.
    void plug() {
        vmac::VirtualDevice g = described.plug();
        for (uint32_t id = 1; id <= 4; ++id) {
            g.declareInputReport(id, 8);  // the shortest report the run injects
        }
        std::lock_guard<std::mutex> lock(gadgetMutex_);
        gadget_ = g;
    }
    // Any thread, any time: that is the point.
    void unplug() {
        std::lock_guard<std::mutex> lock(gadgetMutex_);  // so that a replug never races it
        if (gadget_.isPlugged()) {
            gadget_.unplug();
        }
    }
    // A fault of `what` on this device, unless `problem` is empty.
    void fault(const char* what, const std::string& problem) {
        if (!problem.empty()) {
            world.fault(std::string(what) + " on device " + std::to_string(index) + ": " + problem);
        }
    }

    const int index;
    const uint8_t tag;
    const bool byEntryId;  // no USB parent, a shared path: named by entry ID
    World& world;
    vmac::Gadget described;
    std::wstring product, serial;
    const std::wstring manufacturer = L"Quenor Stress Works";

    LifecycleLock lifecycle;
    std::unique_ptr<AbstractHidDevice> device;  // lifecycle; null between destroy and create
    uint64_t generation = 0;                    // lifecycle; of `device`
    bool opened = false;                        // lifecycle; `device` has had a successful open
    bool infoKnown = false;  // lifecycle; its last open read an undisturbed gadget
    bool filtering = false;  // lifecycle; `device`'s filtering switch
    uint64_t entryId = 0;    // lifecycle; the entry ID `device` names (byEntryId)

    std::atomic<uint64_t> liveGeneration{0};  // `generation` while `device` exists, else 0
    std::atomic<uint64_t> closeEpoch{0};      // after every close, reopen and deletion
    std::atomic<uint64_t> overlapEpoch{0};    // odd while an open over an open device runs
    ReportLedger ledger;

private:
    mutable std::mutex gadgetMutex_;
    vmac::VirtualDevice gadget_;  // guarded by gadgetMutex_
};

using Slots = std::vector<std::unique_ptr<Slot>>;

// Seeded choices of one harness thread.
struct Dice {
    explicit Dice(uint64_t seed) : random(seed) {}
    unsigned below(size_t n) { return static_cast<unsigned>(random() % n); }
    bool chance(unsigned inN) { return below(inN) == 0; }
    std::mt19937_64 random;
};

// A request handle an application thread keeps until it has judged its record.
struct Pending {
    const char* name;  // the call that made it
    Slot* slot;
    uint64_t generation;  // of the device object it was asked of
    uint64_t closeEpoch;  // the slot's, when asked
    int64_t boundFromNs;  // the bound counts from here; 0: a read without time-out, which
                          // may wait for a report or a close
    std::function<bool(long)> waitFor;   // 0 ms: only whether it is ready
    std::function<std::string()> check;  // once ready: "" or what is wrong with the record
};

// Judges a ready handle; reports one that should have been answered by now.
// True when done with it. `final`: every device is closed and the wait is over.
bool settle(World& world, Pending& p, int64_t now, bool final) {
    Slot& slot = *p.slot;
    // Read before readiness: once the object is gone, its deletion has answered everything.
    const bool deleted = slot.liveGeneration != p.generation;
    if (p.waitFor(0)) {
        world.count("handles judged");
        world.count("handles answered by a deletion", deleted ? 1 : 0);
        slot.fault(p.name, p.check());
        return true;
    }
    if (!deleted && !final) {
        if (p.boundFromNs == 0 && slot.closeEpoch != p.closeEpoch) {
            p.boundFromNs = now;  // a read without time-out: a close came, it must end
        }
        if (p.boundFromNs == 0 || now - p.boundFromNs <= world.handleBoundNs) {
            return false;
        }
    }
    slot.fault(p.name, deleted ? "handle still pending after its device object was deleted"
                               : "handle still pending past its bound");
    return true;
}

class AppThread {
public:
    AppThread(World& world, Slots& slots, uint64_t seed, Activity& a)
        : world_(world), slots_(slots), activity_(a), dice_(seed) {}

    void run() {
        while (!world_.stopping) {
            step();
            const int64_t now = nowNs();
            pending_.remove_if([&](Pending& p) { return settle(world_, p, now, false); });
            if (pending_.size() >= kMaxPendingPerThread) {
                activity_.enter("waiting for its oldest handle", pending_.front().slot->index);
                pending_.front().waitFor(50);
                activity_.idle();
            }
            if (dice_.chance(8)) {
                std::this_thread::sleep_for(std::chrono::microseconds(dice_.below(2000)));
            }
        }
    }

    // After the last close: every handle the contract does not excuse must come.
    void drain(int64_t deadlineNs) {
        activity_.enter("draining its handles");
        for (Pending& p : pending_) {
            if (p.slot->liveGeneration == p.generation) {  // else its deletion answered it
                p.waitFor(static_cast<long>(std::max<int64_t>(0, deadlineNs - nowNs()) / 1000000));
            }
            settle(world_, p, nowNs(), true);
        }
        pending_.clear();
        activity_.idle();
    }

private:
    // One call of the mix on a random device, under its lock held shared.
    void step() {
        Slot& slot = *slots_[dice_.below(slots_.size())];
        activity_.enter("waiting to share the device", slot.index);
        std::shared_lock<LifecycleLock> hold(slot.lifecycle);
        if (AbstractHidDevice* device = slot.device.get()) {
            world_.count("calls");
            const unsigned pick = dice_.below(100);
            // 28% input reads, 20% set reports, 8% set features, 10% get features.
            pick < 66   ? transfer(slot, *device, (pick >= 28) + (pick >= 48) + (pick >= 56))
            : pick < 74 ? (activity_.enter("cancelAll", slot.index), device->cancelAll())
                        : info(slot, *device);
        }
        activity_.idle();
    }

    // Makes a call under its activity name and keeps its handle with the check of its record.
    template <typename Ask, typename Check>
    void issue(Slot& slot, const char* name, Ask ask, Check check, bool unbounded = false) {
        activity_.enter(name, slot.index);
        const auto request = ask();
        pending_.push_back(
            {name, &slot, slot.generation, slot.closeEpoch, unbounded ? 0 : nowNs(),
             [request](long ms) { return ms == 0 ? request.is_ready() : request.wait_for(ms); },
             [request, check = std::move(check)] { return check(request.value()); }});
    }

    // A transfer (0: getReport, 1: setReport, 2: setFeature, 3: getFeature) of a
    // buffer of the device's own (once an open read its sizes; empty once it
    // closed) or a new one of the full report size or another, with a random
    // report ID and time-out.
    void transfer(Slot& slot, AbstractHidDevice& device, unsigned kind) {
        static const char* const kNames[] = {"getReport", "setReport", "setFeature", "getFeature"};
        static const Type kTypes[] = {Type::Input, Type::Output, Type::Feature, Type::Feature};
        const size_t full = kind == 0   ? kInputReportSize
                            : kind == 1 ? kOutputReportSize
                                        : kFeatureReportSize;
        const bool set = kind == 1 || kind == 2;
        const size_t size = !dice_.chance(4) ? full
                            : kind == 0      ? 16
                                             : 1 + dice_.below(set ? full : 2 * full);
        const ReportBuffer buffer = kind < 3 && dice_.chance(20) && slot.opened && slot.infoKnown
                                        ? device.allocateReport(kTypes[kind])
                                        : std::make_shared<std::vector<uint8_t>>(size, 0xEE);
        if (set && !buffer->empty()) {
            (*buffer)[0] = slot.tag;  // the firmware fails a set whose byte 1 is kFailOnRequest
        }
        if (set && buffer->size() > 1) {
            (*buffer)[1] = dice_.chance(16) ? kFailOnRequest : 0;
        }
        const uint8_t reportId = kind == 0                       ? 0
                                 : kind == 3 && dice_.chance(16) ? kFailOnRequest
                                                                 : uint8_t(dice_.below(6));
        const unsigned t = dice_.below(100);
        const long timeout = t < 5    ? -1
                             : t < 30 ? 0
                             : t < 80 ? long(1 + dice_.below(30))
                                      : long(100 + dice_.below(400));
        issue(
            slot, kNames[kind],
            [&] {
                return kind == 0   ? device.getReport(buffer, timeout)
                       : kind == 1 ? device.setReport(reportId, buffer, timeout)
                       : kind == 2 ? device.setFeature(reportId, buffer)
                                   : device.getFeature(reportId, buffer);
            },
            [&world = world_, &slot, kind, set, buffer, reportId,
             before = *buffer](const Result& r) -> std::string {
                // A feature report comes whole, as far as the buffer takes it.
                const int32_t moved = set ? int32_t(before.size())
                                      : kind == 3
                                          ? int32_t(std::min(before.size(), kFeatureReportSize))
                                      : before.empty() ? 0
                                                       : -1;
                const std::string problem = checkTransfer(kNames[kind], r, buffer, reportId, moved);
                if (!problem.empty() || set || before.empty()) {
                    return problem;
                }
                if (!r.success) {
                    return kind == 3 || *buffer == before
                               ? ""
                               : "a read that brought no report changed the buffer";
                }
                if (kind == 3) {
                    return (*buffer)[0] == slot.tag
                               ? ""
                               : "feature read returned another device's report";
                }
                world.count("reads with a report");
                return slot.ledger.recordRead(slot.tag, *buffer, before.size(), r.bytesTransferred);
            },
            kind == 0 && timeout == -1);
    }

    // What a device object answers at once: its cached strings and properties,
    // the filtering switch and new buffers; and a USB string request.
    void info(Slot& slot, AbstractHidDevice& device) {
        activity_.enter("cached strings and properties", slot.index);
        const std::pair<hidutil::async_request<StrResult>, const std::wstring*> asked[] = {
            {device.manufacturerName(), &slot.manufacturer},
            {device.productName(), &slot.product},
            {device.serialNumber(), &slot.serial}};
        for (const auto& [request, expected] : asked) {
            world_.count("handles judged");
            slot.fault("cached string", !request.is_ready()
                                            ? "not ready at once"
                                            : checkCachedString(request.value(), slot.opened,
                                                                slot.infoKnown, *expected));
        }
        // Descriptor 1 holds the manufacturer. Without a USB interface (none, or an
        // open that could not take it) the answer is the cached product name, which
        // an open that read a disturbed gadget may not know.
        issue(
            slot, "usbString", [&] { return device.usbString(1); },
            [&slot, known = slot.infoKnown](const StrResult& r) {
                return !r.success || !known || r.value == slot.product ||
                               (!slot.byEntryId && r.value == slot.manufacturer)
                           ? ""
                           : "usbString answered another text";
            });
        (void)device.nativeHandle();
        const uint16_t version = device.usbDeviceVersion();
        if ((version != 0 && version != *slot.described.releaseNumber) ||
            (slot.opened && slot.infoKnown &&
             (device.usage() != 1 || device.usagePage() != 0xFF00 ||
              device.reportSize(Type::Input) != int(kInputReportSize))) ||
            device.isReportFilteringEnabled() != slot.filtering ||
            !device.allocateReport(Type::Feature)) {
            slot.fault("queries",
                       "version, cached properties, filtering switch or a new buffer "
                       "differ from the gadget's");
        }
    }

    World& world_;
    Slots& slots_;
    Activity& activity_;
    Dice dice_;
    std::list<Pending> pending_;
};

void create(World& world, Slot& slot) {
    slot.entryId = slot.byEntryId ? slot.gadgetEntryId() : 0;
    const std::wstring path(slot.described.path.begin(), slot.described.path.end());
    slot.device.reset(AbstractHidDevice::create(
        HidDeviceDescriptor(new MacDeviceDescriptorHandle(path, 0, slot.entryId))));
    slot.liveGeneration = slot.generation = ++world.nextGeneration;
    slot.opened = slot.infoKnown = slot.filtering = false;
}

// The deletion must answer every request the object gave out and return within
// its bound, whatever calls are blocked.
void destroy(World& world, Slot& slot) {
    const int64_t start = nowNs();
    slot.device.reset();
    const int64_t took = nowNs() - start;
    slot.fault("delete",
               took > world.deleteBoundNs ? "took " + std::to_string(took / 1000000) + " ms" : "");
    slot.liveGeneration = 0;
    slot.closeEpoch++;
    slot.filtering = false;
}

void close(Slot& slot) {
    slot.device->close();
    slot.closeEpoch++;
}

void open(World& world, Slot& slot, Activity& activity, bool seize) {
    const bool wasOpen = slot.device->isOpened();
    const uint64_t gadgetBefore = slot.pluggedGadget();
    bool opened = false;
    activity.enter(wasOpen ? "open over an open device" : "open", slot.index);
    slot.overlapEpoch += wasOpen ? 1 : 0;  // odd while it runs
    try {
        opened = slot.device->open(0, seize ? 0 : 1);
    } catch (const std::exception& e) {
        slot.fault("open", std::string("threw ") + e.what());
    }
    slot.closeEpoch += opened && wasOpen ? 1 : 0;  // the previous open state was retired
    slot.overlapEpoch += wasOpen ? 1 : 0;
    // A device object made for an earlier gadget's entry ID never opens a later one.
    const bool undisturbed = gadgetBefore != 0 && gadgetBefore == slot.pluggedGadget() &&
                             (!slot.byEntryId || slot.entryId == slot.gadgetEntryId());
    slot.fault("open",
               opened || wasOpen || !undisturbed ? "" : "failed on a plugged, closed device");
    if (opened) {
        world.count("opens");
        world.count("opens over an open", wasOpen ? 1 : 0);
        slot.opened = true;
        slot.infoKnown = undisturbed;
    }
}

// One lifecycle step on a random device. Mostly keeps devices open (reports
// reach only open devices), and from there takes them through every way of
// going away and coming back.
void lifecycleStep(World& world, Slot& slot, Dice& dice, Activity& activity) {
    const unsigned pick = dice.below(100);
    const auto did = [&](const char* what, const char* counted, auto step) {
        activity.enter(what, slot.index);
        step();
        world.count(counted);
    };
    if (pick < 6) {
        return did("unplug", "unplugs", [&] { slot.unplug(); });
    }
    activity.enter("waiting for the device alone", slot.index);
    std::unique_lock<LifecycleLock> hold(slot.lifecycle);
    if (!slot.device) {
        did("create", "creates", [&] { create(world, slot); });
    } else if (slot.pluggedGadget() == 0 && pick < 70) {
        did("replug", "replugs", [&] { slot.plug(); });
    } else if (slot.byEntryId && slot.entryId != slot.gadgetEntryId() && pick < 50) {
        // Made for a gadget that has gone, it never opens again, and reads that
        // waited behind a read without time-out wait for its close. As an
        // application would, make a new one for the new entry.
        did("destroy", "destroys", [&] { destroy(world, slot); });
    } else if ((!slot.device->isOpened() && pick < 75) || (pick >= 20 && pick < 35)) {
        open(world, slot, activity, dice.chance(8));
    } else if (pick < 20) {
        did("close", "closes", [&] { close(slot); });
    } else if (pick < 45) {
        did("destroy", "destroys", [&] { destroy(world, slot); });
    } else {
        did("setReportFilteringEnabled", "filtering switches", [&] {
            slot.filtering = !slot.filtering;
            slot.device->setReportFilteringEnabled(slot.filtering);
            slot.fault("setReportFilteringEnabled",
                       slot.device->isReportFilteringEnabled() == slot.filtering ? "" : "not kept");
        });
    }
}

// Sends an input report, written in the device's ledger first.
void injectReport(World& world, Slot& slot, Dice&, Activity&) {
    vmac::VirtualDevice gadget = slot.gadget();
    const uint64_t before = slot.overlapEpoch;
    const uint32_t sequence = slot.ledger.beginInjection(before);
    const InputReport report = makeInputReport(slot.tag, sequence);
    gadget.injectInputReport(report.reportId, report.bytes,
                             report.withError ? kIOReturnError : kIOReturnSuccess);
    slot.ledger.endInjection(sequence, before, slot.overlapEpoch);
    world.count("reports injected");
}

// Queues an answer that blocks (until released, unplugged or, for two of them,
// ended by the driver's 100 ms request time-out) or fails.
void scriptAnswer(World& world, Slot& slot, Dice& dice, Activity&) {
    using vmac::Block;
    std::vector<uint8_t> data(kFeatureReportSize, 0xFE);
    data[0] = slot.tag;
    const std::pair<bool, vmac::ReportAnswer> scripts[] = {
        // first: a set, else a get
        {true, {kIOReturnSuccess, {}, Block::NonCancellable, true}},
        {true, {kIOReturnSuccess, {}, Block::Cancellable, true}},
        {false, {kIOReturnSuccess, data, Block::NonCancellable, true}},
        {true, {kIOReturnSuccess, {}, Block::NonCancellable}},
        {false, {kIOReturnSuccess, data, Block::NonCancellable}},
        {true, {kIOReturnError, {}, Block::None}},
        {false, {kIOReturnAborted, {}, Block::None}}};
    const auto& [set, answer] = scripts[dice.below(std::size(scripts))];
    vmac::VirtualDevice gadget = slot.gadget();
    set ? gadget.queueSetReportAnswer(answer) : gadget.queueGetReportAnswer(answer);
    world.count(answer.block == Block::None ? "failing answers" : "blocking answers");
}

// Runs the stress; faults and counts go to `world`.
void runStress(World& world, uint64_t seed, double seconds, int apps, int devices,
               const std::string& knobs) {
    Watchdog watchdog(std::chrono::seconds(30 * kSlowdown), knobs);
    Activity& main = watchdog.add("main");
    Slots slots;
    for (int i = 0; i < devices; ++i) {
        slots.push_back(std::make_unique<Slot>(i, world));
        slots.back()->plug();
        create(world, *slots.back());
    }
    std::list<AppThread> appThreads;
    std::vector<std::thread> threads;
    for (int i = 0; i < apps; ++i) {
        AppThread& app = appThreads.emplace_back(world, slots, seed * 1000003u + i,
                                                 watchdog.add("app " + std::to_string(i)));
        threads.emplace_back([&app] { app.run(); });
    }
    // Runs `step` on a random slot until the timed part is over, pausing `minUs`
    // plus up to `spreadUs` microseconds after each.
    const auto onRandomSlots = [&](const std::string& who, const char* what, uint64_t salt,
                                   unsigned minUs, unsigned spreadUs, auto step) {
        Activity& activity = watchdog.add(who);
        threads.emplace_back([&, what, salt, minUs, spreadUs, step] {
            Dice dice(seed + salt);
            while (!world.stopping) {
                Slot& slot = *slots[dice.below(slots.size())];
                activity.enter(what, slot.index);
                step(world, slot, dice, activity);
                activity.idle();
                std::this_thread::sleep_for(
                    std::chrono::microseconds(minUs + dice.below(spreadUs)));
            }
        });
    };
    for (int i = 0; i < 2; ++i) {
        onRandomSlots("lifecycle " + std::to_string(i), "a lifecycle step", seed * 7919u + i, 2000,
                      30000, lifecycleStep);
    }
    onRandomSlots("injector", "injecting", 1, 200, 1800, injectReport);
    onRandomSlots("scripter", "scripting an answer", 2, 30000, 100000, scriptAnswer);
    // The releaser lets blocked calls return, a little later each time, until the end.
    Activity& releaser = watchdog.add("releaser");
    std::thread releaseThread([&] {
        for (Dice dice(seed + 3); world.releasing;) {
            for (auto& slot : slots) {
                if (dice.chance(2) || world.stopping) {
                    releaser.enter("releasing blocked calls", slot->index);
                    slot->gadget().releaseBlockedCalls();
                }
            }
            releaser.idle();
            std::this_thread::sleep_for(Ms(world.stopping ? 5 : 10 + dice.below(80)));
        }
    });

    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    world.stopping = true;
    main.enter("joining the threads");
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Only the releaser runs now: no lock is needed.
    for (auto& slot : slots) {
        main.enter("final close", slot->index);
        if (slot->device) {
            close(*slot);
        }
    }
    main.idle();
    const int64_t deadline = nowNs() + world.handleBoundNs;
    for (AppThread& app : appThreads) {
        app.drain(deadline);
    }
    world.releasing = false;
    releaseThread.join();
    for (auto& slot : slots) {
        main.enter("final deletion", slot->index);
        destroy(world, *slot);
        for (const std::string& fault : slot->ledger.verdicts(slot->index)) {
            world.fault(fault);
        }
    }
    main.enter("unplugging every gadget");
    slots.clear();
    vmac::reset();
    main.idle();
}

long threadCount() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                         std::filesystem::directory_iterator());
}

// Threads end a moment after they are joined on some hosts, and a call that a
// deletion left to finish on its own lets its platform objects go a moment
// after it returns: give them that.
template <typename Now>
auto settled(Now now, decltype(now()) expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    auto value = now();
    while (value != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(Ms(10));
        value = now();
    }
    return value;
}

TEST(Stress, MixedCallsAndLifecycleKeepTheContract) {
    const auto seed = uint64_t(knob("QUENOR_STRESS_SEED", double(nowNs() % 1000000007)));
    const double seconds = knob("QUENOR_STRESS_SECONDS", kSlowdown > 1 ? 15 : 30);
    const int apps = std::max(1, int(knob("QUENOR_STRESS_THREADS", 12)));
    const int devices = std::clamp(int(knob("QUENOR_STRESS_DEVICES", 4)), 1, 16);
    std::ostringstream knobs;
    knobs << "QUENOR_STRESS_SEED=" << seed << " QUENOR_STRESS_SECONDS=" << seconds
          << " QUENOR_STRESS_THREADS=" << apps << " QUENOR_STRESS_DEVICES=" << devices;

    vmac::reset();
    // Some runtimes (ThreadSanitizer's) start a helper thread with the first
    // thread of the process; let that happen before counting.
    std::thread([] {}).join();
    const vmac::LiveCounts objects = vmac::LiveCounts::now();
    const long threads = threadCount();

    World world;
    runStress(world, seed, seconds, apps, devices, knobs.str());
    SCOPED_TRACE("rerun with " + knobs.str());
    for (const auto& [name, moved] : world.counts)
        EXPECT_GT(moved.load(), 0u) << "no " << name << ": the run tested nothing of it";
    EXPECT_EQ(0u, world.faults.load());
    EXPECT_EQ(objects, settled(vmac::LiveCounts::now, objects))
        << "platform objects leaked or over-released";
    EXPECT_EQ(threads, settled(threadCount, threads)) << "threads left running";
}

}  // namespace
}  // namespace stress
