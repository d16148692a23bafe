#include "stressrun.h"

#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <shared_mutex>  // std::shared_lock
#include <sstream>
#include <thread>
#include <vector>

#include "faultlog.h"
#include "records.h"
#include "slot.h"
#include "watchdog.h"

namespace stress {
namespace {

using Ms = std::chrono::milliseconds;

constexpr uint8_t kFailOnRequest = 0xFA;  // the gadgets' firmware fails such calls
constexpr size_t kMaxPendingPerThread = 48;

// What the run shares with its threads.
struct World {
    Options options;
    FaultLog faults;
    std::array<std::atomic<uint64_t>, kCounts> tally{};
    std::vector<std::unique_ptr<Slot>> slots;
    std::atomic<bool> stopping{false};  // the timed part is over
    std::atomic<bool> releasing{true};  // the releaser keeps going
    int64_t handleBoundNs = 0;
    int64_t deleteBoundNs = 0;  // one second's grace, and room for a slow host
    std::atomic<uint64_t> nextGeneration{0};

    void fault(const Slot& slot, const char* what, const std::string& problem) {
        faults.add(std::string(what) + " on device " + std::to_string(slot.index) + ": " + problem);
    }
};

// Seeded choices of one harness thread.
class Dice {
public:
    explicit Dice(uint64_t seed) : random_(seed) {}
    unsigned below(size_t n) { return static_cast<unsigned>(random_() % n); }
    bool chance(unsigned inN) { return below(inN) == 0; }
    Slot& slot(World& world) { return *world.slots[below(world.slots.size())]; }

private:
    std::mt19937_64 random_;
};

// A request handle an application thread keeps until it has judged its record.
struct Pending {
    const char* name;  // the call that made it
    Slot* slot;
    uint64_t generation;  // of the device object it was asked of
    uint64_t closeEpoch;  // the slot's, when asked
    bool unbounded;       // an input read without time-out: it may wait until a close
    int64_t issuedNs;
    int64_t boundFromNs;  // the bound counts from here (0: not yet, for unbounded reads)
    std::function<bool(long)> waitFor;   // 0 ms: only whether it is ready
    std::function<std::string()> check;  // once ready: "" or what is wrong with the record
};

const std::wstring* usbStringFor(const GadgetFacts& facts, int index) {
    const unsigned wValue = (0x0300u | static_cast<unsigned>(index)) & 0xFFFFu;
    if ((wValue >> 8) != 3) {
        return nullptr;  // not a string-descriptor request at all: the pipe stalls
    }
    auto it = facts.usbStrings.find(static_cast<int>(wValue & 0xFF));
    return it == facts.usbStrings.end() ? nullptr : &it->second;
}

// Looks at one pending handle: judges it when ready. Returns true when the
// handle is done with (judged, or reported lost).
// `final`: every device has been closed and the wait for the handle is over.
bool settle(World& world, Pending& p, int64_t nowNs, bool final) {
    Slot& slot = *p.slot;
    // Read the generation before readiness: once the object is gone, its
    // deletion has answered every request it gave out.
    const bool destroyed = slot.liveGeneration.load() != p.generation;
    if (p.waitFor(0)) {
        world.tally[kHandles]++;
        world.tally[kAnsweredByDelete] += destroyed ? 1 : 0;
        const std::string problem = p.check();
        if (!problem.empty()) {
            world.fault(slot, p.name, problem);
        }
        return true;
    }
    if (destroyed) {
        world.tally[kLost]++;
        world.fault(slot, p.name, "handle still pending after its device object was deleted");
        return true;
    }
    if (!final && p.unbounded && p.boundFromNs == 0) {
        if (slot.closeEpoch.load() == p.closeEpoch) {
            return false;  // still allowed to wait for a report or a close
        }
        p.boundFromNs = nowNs;
    }
    if (!final && nowNs - p.boundFromNs <= world.handleBoundNs) {
        return false;
    }
    const int64_t ms = (nowNs - (final ? p.issuedNs : p.boundFromNs)) / 1000000;
    const std::string fault = final ? "handle asked " + std::to_string(ms) +
                                          " ms ago still pending after every device was closed"
                                    : "handle still pending " + std::to_string(ms) +
                                          " ms after it should have been answered";
    world.tally[kLost]++;
    world.fault(slot, p.name, fault);
    return true;
}

class AppThread {
public:
    AppThread(World& world, int number, Activity& activity)
        : world_(world), activity_(activity), dice_(world.options.seed * 1000003u + number) {}

    void run() {
        while (!world_.stopping.load()) {
            step();
            const int64_t now = steadyNowNs();
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
            if (p.slot->liveGeneration.load() == p.generation) {  // else its deletion answered it
                const int64_t left = std::max<int64_t>(0, deadlineNs - steadyNowNs());
                p.waitFor(static_cast<long>(left / 1000000));
            }
        }
        activity_.idle();
        for (Pending& p : pending_) {
            settle(world_, p, steadyNowNs(), true);
        }
        pending_.clear();
    }

private:
    using Call = void (AppThread::*)(Slot&, AbstractHidDevice&);

    void step() {
        // The mix of calls: each row's call is made for picks below its bound.
        static const std::pair<unsigned, Call> kMix[] = {
            {28, &AppThread::inputRead},     {48, &AppThread::setReport},
            {56, &AppThread::setFeature},    {66, &AppThread::featureRead},
            {74, &AppThread::cachedStrings}, {83, &AppThread::usbString},
            {87, &AppThread::cancelAll},     {100, &AppThread::queries}};
        Slot& slot = dice_.slot(world_);
        activity_.enter("waiting to share the device", slot.index);
        std::shared_lock<LifecycleLock> hold(slot.lifecycle);
        if (AbstractHidDevice* device = slot.device.get()) {
            world_.tally[kCalls]++;
            const unsigned pick = dice_.below(100);
            const auto* row = std::find_if(std::begin(kMix), std::end(kMix),
                                           [pick](const auto& r) { return pick < r.first; });
            (this->*row->second)(slot, *device);
        }
        activity_.idle();
    }

    // Makes a call under its activity name and keeps its handle with the check
    // of its record.
    template <typename Ask, typename Check>
    void issue(Slot& slot, const char* name, Ask ask, Check check, bool unbounded = false) {
        activity_.enter(name, slot.index);
        const auto request = ask();
        const int64_t now = steadyNowNs();
        pending_.push_back(
            {name, &slot, slot.generation, slot.closeEpoch.load(), unbounded, now,
             unbounded ? 0 : now,
             [request](long ms) { return ms == 0 ? request.is_ready() : request.wait_for(ms); },
             [request, check = std::move(check)] { return check(request.value()); }});
    }

    static ReportBuffer fresh(size_t size, uint8_t fill) {
        return std::make_shared<std::vector<uint8_t>>(size, fill);
    }

    void inputRead(Slot& slot, AbstractHidDevice& device) {
        const unsigned shape = dice_.below(20);
        const ReportBuffer buffer =
            shape == 0 && slot.opened && slot.infoKnown
                ? device.allocateReport(AbstractHidDevice::ReportType::Input)
                : fresh(shape < 4 ? 16 : kInputReportSize, 0xEE);
        std::vector<uint8_t> before = *buffer;
        const unsigned t = dice_.below(100);
        const long timeout = t < 30   ? 0
                             : t < 85 ? long(1 + dice_.below(30))
                             : t < 95 ? long(100 + dice_.below(200))
                                      : -1;
        World& world = world_;
        issue(
            slot, "getReport", [&] { return device.getReport(buffer, timeout); },
            [&world, &slot, buffer, before = std::move(before)](const Result& r) {
                std::string problem = checkInputReadRecord(r, buffer, before);
                if (problem.empty() && r.success && !buffer->empty()) {
                    world.tally[kReadsWithReport]++;
                    problem = slot.ledger.recordRead(slot.tag, *buffer, before.size(),
                                                     r.bytesTransferred, slot.filterEpoch.load());
                }
                return problem;
            },
            timeout == -1);
    }

    void setReport(Slot& slot, AbstractHidDevice& device) { setTransfer(slot, device, false); }
    void setFeature(Slot& slot, AbstractHidDevice& device) { setTransfer(slot, device, true); }

    void setTransfer(Slot& slot, AbstractHidDevice& device, bool feature) {
        const unsigned shape = dice_.below(20);
        const size_t size = feature ? kFeatureReportSize : kOutputReportSize;
        const ReportBuffer buffer =
            shape == 0 && slot.opened
                ? device.allocateReport(feature ? AbstractHidDevice::ReportType::Feature
                                                : AbstractHidDevice::ReportType::Output)
                : fresh(shape < 6 ? dice_.below(size) + 1 : size, 0);
        if (!buffer->empty()) {
            (*buffer)[0] = slot.tag;
        }
        if (buffer->size() > 1) {
            (*buffer)[1] = dice_.chance(16) ? kFailOnRequest : uint8_t(dice_.below(250));
        }
        const auto reportId = static_cast<uint8_t>(dice_.below(6));
        const auto check = [buffer, reportId](const Result& r) {
            return checkSetRecord(r, buffer, reportId);
        };
        if (feature) {
            issue(
                slot, "setFeature", [&] { return device.setFeature(reportId, buffer); }, check);
            return;
        }
        const unsigned t = dice_.below(100);
        const long timeout = t < 5    ? -1
                             : t < 15 ? 0
                             : t < 40 ? long(1 + dice_.below(20))
                                      : long(100 + dice_.below(900));
        issue(
            slot, "setReport", [&] { return device.setReport(reportId, buffer, timeout); }, check);
    }

    void featureRead(Slot& slot, AbstractHidDevice& device) {
        const ReportBuffer buffer =
            fresh(dice_.chance(4) ? 1 + dice_.below(32) : kFeatureReportSize, 0xEE);
        const auto reportId =
            dice_.chance(16) ? kFailOnRequest : static_cast<uint8_t>(1 + dice_.below(4));
        const uint8_t tag = slot.tag;
        issue(
            slot, "getFeature", [&] { return device.getFeature(reportId, buffer); },
            [buffer, reportId, tag](const Result& r) {
                return checkFeatureReadRecord(r, buffer, reportId, tag);
            });
    }

    void usbString(Slot& slot, AbstractHidDevice& device) {
        static const int kIndices[] = {0, 1, 2, 3, 1, 2, 3, 9, 257, -1, 1024};
        const int index = kIndices[dice_.below(std::size(kIndices))];
        // Without a USB interface the answer is the product name.
        const std::wstring* expected = slot.usb ? usbStringFor(slot.facts, index) : nullptr;
        const std::wstring* product =
            slot.opened && slot.infoKnown ? &slot.facts.wideProduct : nullptr;
        issue(
            slot, "usbString", [&] { return device.usbString(index); },
            [expected, product](const StrResult& r) {
                return checkUsbString(r, expected, product);
            });
    }

    void cancelAll(Slot& slot, AbstractHidDevice& device) {
        activity_.enter("cancelAll", slot.index);
        device.cancelAll();
    }

    void cachedStrings(Slot& slot, AbstractHidDevice& device) {
        activity_.enter("cached strings", slot.index);
        const std::pair<hidutil::async_request<StrResult>, const std::wstring*> asked[] = {
            {device.manufacturerName(), &slot.facts.wideManufacturer},
            {device.productName(), &slot.facts.wideProduct},
            {device.serialNumber(), &slot.facts.wideSerialNumber}};
        for (const auto& a : asked) {
            world_.tally[kHandles]++;
            const std::string problem =
                !a.first.is_ready()
                    ? "not ready at once"
                    : checkCachedString(a.first.value(), slot.opened, slot.infoKnown, *a.second);
            if (!problem.empty()) {
                world_.fault(slot, "cached string", problem);
            }
        }
    }

    void queries(Slot& slot, AbstractHidDevice& device) {
        activity_.enter("queries", slot.index);
        (void)device.isOpened();
        (void)device.nativeHandle();
        const uint16_t version = device.usbDeviceVersion();
        if (version != 0 && version != slot.facts.releaseNumber) {
            world_.fault(slot, "usbDeviceVersion", std::to_string(version));
        }
        if (device.linkCollection() != nullptr) {
            world_.fault(slot, "linkCollection", "not null");
        }
        using Type = AbstractHidDevice::ReportType;
        if (slot.opened && slot.infoKnown &&
            !(device.usage() == 1 && device.usagePage() == 0xFF00 &&
              device.reportSize(Type::Input) == int(kInputReportSize) &&
              device.reportSize(Type::Output) == int(kOutputReportSize) &&
              device.reportSize(Type::Feature) == int(kFeatureReportSize))) {
            world_.fault(slot, "cached properties", "differ from the gadget's");
        }
        if (device.isReportFilteringEnabled() != slot.filtering) {
            world_.fault(slot, "isReportFilteringEnabled", "differs from the switch");
        }
        if (!device.allocateReport(Type::Input)) {
            world_.fault(slot, "allocateReport", "null buffer");
        }
    }

    World& world_;
    Activity& activity_;
    Dice dice_;
    std::list<Pending> pending_;
};

// Bumps an epoch to odd on entry and back to even on exit.
class OddWhile {
public:
    explicit OddWhile(std::atomic<uint64_t>& epoch) : epoch_(epoch) { epoch_++; }
    ~OddWhile() { epoch_++; }
    OddWhile(const OddWhile&) = delete;
    OddWhile& operator=(const OddWhile&) = delete;

private:
    std::atomic<uint64_t>& epoch_;
};

void create(World& world, Slot& slot) {
    OddWhile changing(slot.filterEpoch);
    slot.entryId = slot.byEntryId ? slot.gadgetEntryId() : 0;
    HidDeviceDescriptor descriptor(
        new MacDeviceDescriptorHandle(widePath(slot.path), 0, slot.entryId));
    slot.device.reset(AbstractHidDevice::create(descriptor));
    slot.generation = ++world.nextGeneration;
    slot.liveGeneration = slot.generation;
    slot.opened = slot.infoKnown = slot.filtering = false;
    slot.filterOn = false;
}

// Deletes the slot's device object, which must answer every request it gave out
// and return within about a second, whatever calls are blocked.
void destroy(World& world, Slot& slot) {
    OddWhile changing(slot.filterEpoch);
    const int64_t start = steadyNowNs();
    slot.device.reset();
    const auto tookMs = static_cast<uint64_t>((steadyNowNs() - start) / 1000000);
    uint64_t slowest = world.tally[kSlowestDeleteMs].load();
    while (tookMs > slowest &&
           !world.tally[kSlowestDeleteMs].compare_exchange_weak(slowest, tookMs)) {
    }
    if (static_cast<int64_t>(tookMs) * 1000000 > world.deleteBoundNs) {
        world.fault(slot, "delete", "took " + std::to_string(tookMs) + " ms");
    }
    slot.liveGeneration = 0;
    slot.closeEpoch++;
    slot.filtering = false;
    slot.filterOn = false;
}

void close(Slot& slot) {
    slot.device->close();
    slot.closeEpoch++;
}

// After the timed part: `step` on every slot, holding its device alone.
void everySlotAlone(World& world, Activity& activity, const char* what,
                    const std::function<void(Slot&)>& step) {
    for (auto& slot : world.slots) {
        activity.enter(what, slot->index);
        std::unique_lock<LifecycleLock> hold(slot->lifecycle);
        step(*slot);
    }
    activity.idle();
}

class LifecycleThread {
public:
    LifecycleThread(World& world, int number, Activity& activity)
        : world_(world), activity_(activity), dice_(world.options.seed * 7919u + number) {}

    void run() {
        while (!world_.stopping.load()) {
            Slot& slot = dice_.slot(world_);
            const unsigned pick = dice_.below(100);
            if (pick < 6) {
                did(slot, "unplug", kUnplugs, [&] { slot.unplug(); });
            } else {
                activity_.enter("waiting for the device alone", slot.index);
                std::unique_lock<LifecycleLock> hold(slot.lifecycle);
                exclusiveStep(slot, pick);
            }
            world_.tally[kLifecycleSteps]++;
            activity_.idle();
            std::this_thread::sleep_for(Ms(2 + dice_.below(30)));
        }
    }

private:
    template <typename Step>
    void did(Slot& slot, const char* what, Count count, Step step) {
        activity_.enter(what, slot.index);
        step();
        world_.tally[count]++;
    }

    // Mostly keeps devices open (reports reach only open devices), and from there
    // takes them through every way of going away and coming back.
    void exclusiveStep(Slot& slot, unsigned pick) {
        if (!slot.device) {
            did(slot, "create", kCreates, [&] { create(world_, slot); });
        } else if (slot.pluggedGadget() == 0 && pick < 70) {
            did(slot, "replug", kReplugs, [&] { slot.plug(); });
        } else if (slot.byEntryId && slot.entryId != slot.gadgetEntryId() && pick < 50) {
            // Made for a gadget that has gone: it never opens again, and reads that
            // waited behind a read without time-out wait for its close. As an
            // application would, make a new one for the new entry.
            did(slot, "destroy", kDestroys, [&] { destroy(world_, slot); });
        } else if ((!slot.device->isOpened() && pick < 75) || (pick >= 20 && pick < 35)) {
            open(slot);
        } else if (pick < 20) {
            did(slot, "close", kCloses, [&] { close(slot); });
        } else if (pick < 45) {
            did(slot, "destroy", kDestroys, [&] { destroy(world_, slot); });
        } else {
            did(slot, "setReportFilteringEnabled", kSwitches, [&] {
                OddWhile changing(slot.filterEpoch);
                slot.filtering = !slot.filtering;
                slot.device->setReportFilteringEnabled(slot.filtering);
                slot.filterOn = slot.filtering;
                if (slot.device->isReportFilteringEnabled() != slot.filtering) {
                    world_.fault(slot, "setReportFilteringEnabled", "switch not kept");
                }
            });
        }
    }

    void open(Slot& slot) {
        AbstractHidDevice& device = *slot.device;
        const bool wasOpen = device.isOpened();
        const uint64_t gadgetBefore = slot.pluggedGadget();
        const int shareMode = dice_.below(8) == 0 ? 0 : 1;
        bool opened = false;
        activity_.enter(wasOpen ? "open over an open device" : "open", slot.index);
        {
            OddWhile changing(slot.filterEpoch);
            std::optional<OddWhile> overlapping;
            if (wasOpen) {
                overlapping.emplace(slot.overlapEpoch);
            }
            try {
                opened = device.open(0, shareMode);
            } catch (const std::exception& e) {
                world_.fault(slot, "open", std::string("threw ") + e.what());
            }
            if (opened && wasOpen) {
                slot.closeEpoch++;  // the previous open state was retired
            }
        }
        const uint64_t gadgetAfter = slot.pluggedGadget();
        // A device object made for an earlier gadget's entry ID never opens a later one.
        const bool sameEntry = !slot.byEntryId || slot.entryId == slot.gadgetEntryId();
        const bool undisturbed = gadgetBefore != 0 && gadgetBefore == gadgetAfter && sameEntry;
        if (!opened) {
            if (!wasOpen && undisturbed) {
                world_.fault(slot, "open", "failed on a plugged, closed device");
            }
            return;
        }
        world_.tally[kOpens]++;
        world_.tally[kReopens] += wasOpen ? 1 : 0;
        slot.opened = true;
        slot.infoKnown = undisturbed;
    }

    World& world_;
    Activity& activity_;
    Dice dice_;
};

// Runs `step` on a random slot under `what` until the timed part is over,
// pausing `minUs` plus up to `spreadUs` microseconds after each.
template <typename Step>
void onRandomSlots(World& world, Activity& activity, uint64_t seed, const char* what,
                   unsigned minUs, unsigned spreadUs, Step step) {
    Dice dice(seed);
    while (!world.stopping.load()) {
        Slot& slot = dice.slot(world);
        activity.enter(what, slot.index);
        step(slot, dice);
        activity.idle();
        std::this_thread::sleep_for(std::chrono::microseconds(minUs + dice.below(spreadUs)));
    }
}

// Sends input reports to random devices, each one written in its slot's ledger
// before it is injected.
void injectReport(Slot& slot, Dice&) {
    vmac::VirtualDevice gadget = slot.gadget();
    const ReportLedger::Snapshot before = slot.snapshot();
    const uint32_t sequence = slot.ledger.beginInjection(before);
    const InputReport report = makeInputReport(slot.tag, sequence);
    gadget.injectInputReport(report.reportId, report.bytes,
                             report.withError ? kIOReturnError : kIOReturnSuccess);
    slot.ledger.endInjection(sequence, before, slot.snapshot());
}

// Queues answers that block (until released, unplugged or timed out) or fail.
void scriptAnswer(World& world, Slot& slot, Dice& dice) {
    struct Script {
        bool set;  // else a get
        vmac::ReportAnswer answer;
    };
    std::vector<uint8_t> data(kFeatureReportSize, 0xFE);
    data[0] = slot.tag;
    // Blocking answers never return unless released, but for two that the
    // driver's request time-out (the gadgets': 100 ms) ends.
    const Script scripts[] = {{true, {kIOReturnSuccess, {}, vmac::Block::NonCancellable, true}},
                              {true, {kIOReturnSuccess, {}, vmac::Block::NonCancellable, true}},
                              {true, {kIOReturnSuccess, {}, vmac::Block::Cancellable, true}},
                              {false, {kIOReturnSuccess, data, vmac::Block::NonCancellable, true}},
                              {true, {kIOReturnSuccess, {}, vmac::Block::NonCancellable}},
                              {false, {kIOReturnSuccess, data, vmac::Block::NonCancellable}},
                              {true, {kIOReturnError, {}, vmac::Block::None}},
                              {false, {kIOReturnAborted, {}, vmac::Block::None}}};
    const Script& script = scripts[dice.below(std::size(scripts))];
    vmac::VirtualDevice gadget = slot.gadget();
    if (script.set) {
        gadget.queueSetReportAnswer(script.answer);
    } else {
        gadget.queueGetReportAnswer(script.answer);
    }
    world.tally[script.answer.block == vmac::Block::None ? kFailingAnswers : kBlockingAnswers]++;
}

// Lets blocked calls return, a little later each time.
void releaseBlockedCalls(World& world, Activity& activity, uint64_t seed) {
    Dice dice(seed);
    while (world.releasing.load()) {
        for (auto& slot : world.slots) {
            if (dice.below(2) == 0 || world.stopping.load()) {
                activity.enter("releasing blocked calls", slot->index);
                slot->gadget().releaseBlockedCalls();
            }
        }
        activity.idle();
        std::this_thread::sleep_for(Ms(world.stopping.load() ? 5 : 10 + dice.below(80)));
    }
}

}  // namespace

Figures runStress(const Options& options) {
    World world;
    world.options = options;
    const int slow = slowdown();
    world.handleBoundNs = int64_t{20} * slow * 1000000000;
    world.deleteBoundNs = int64_t{3} * slow * 1000000000;
    std::ostringstream context;
    context << "rerun with --seed=" << options.seed << " --threads=" << options.appThreads
            << " --devices=" << options.devices;
    Watchdog watchdog(Ms(30000 * slow), context.str());
    Activity& main = watchdog.add("main");

    for (int i = 0; i < options.devices; ++i) {
        world.slots.push_back(std::make_unique<Slot>(i, world.faults));
        world.slots.back()->plug();
        create(world, *world.slots.back());
    }

    std::vector<std::unique_ptr<AppThread>> apps;
    std::vector<std::thread> threads;
    for (int i = 0; i < options.appThreads; ++i) {
        apps.push_back(
            std::make_unique<AppThread>(world, i, watchdog.add("app " + std::to_string(i))));
        threads.emplace_back([app = apps.back().get()] { app->run(); });
    }
    std::vector<std::unique_ptr<LifecycleThread>> lifecycles;
    for (int i = 0; i < options.lifecycleThreads; ++i) {
        lifecycles.push_back(std::make_unique<LifecycleThread>(
            world, i, watchdog.add("lifecycle " + std::to_string(i))));
        threads.emplace_back([lifecycle = lifecycles.back().get()] { lifecycle->run(); });
    }
    Activity& injector = watchdog.add("injector");
    Activity& scripter = watchdog.add("scripter");
    Activity& releaser = watchdog.add("releaser");
    threads.emplace_back([&] {
        onRandomSlots(world, injector, options.seed + 1, "injecting", 200, 1800, injectReport);
    });
    threads.emplace_back([&] {
        onRandomSlots(world, scripter, options.seed + 2, "scripting an answer", 30000, 100000,
                      [&](Slot& slot, Dice& dice) { scriptAnswer(world, slot, dice); });
    });
    std::thread releaseThread([&] { releaseBlockedCalls(world, releaser, options.seed + 3); });

    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    world.stopping = true;
    main.enter("joining the threads");
    for (std::thread& thread : threads) {
        thread.join();
    }
    main.idle();

    everySlotAlone(world, main, "final close", [](Slot& slot) {
        if (slot.device) {
            close(slot);
        }
    });
    const int64_t deadline = steadyNowNs() + world.handleBoundNs;
    for (auto& app : apps) {
        app->drain(deadline);
    }
    world.releasing = false;
    releaseThread.join();
    everySlotAlone(world, main, "final destruction", [&](Slot& slot) { destroy(world, slot); });

    for (auto& slot : world.slots) {
        for (const std::string& fault : slot->ledger.verdicts(slot->index)) {
            world.faults.add(fault);
        }
        world.tally[kInjected] += slot->ledger.injected();
    }
    main.enter("unplugging every gadget");
    world.slots.clear();
    vmac::reset();
    main.idle();

    Figures figures;
    std::copy(world.tally.begin(), world.tally.end(), figures.counts.begin());
    figures.faults = world.faults.count();
    figures.faultMessages = world.faults.kept();
    return figures;
}

std::string summary(const Options& options, const Figures& f) {
    std::ostringstream out;
    out << "stress: seed " << options.seed << ", " << options.appThreads
        << " application threads x " << options.devices << " devices, " << options.seconds << " s\n"
        << "  calls " << f[kCalls] << ", handles judged " << f[kHandles] << ", reads with a report "
        << f[kReadsWithReport] << " of " << f[kInjected] << " reports injected\n"
        << "  lifecycle steps " << f[kLifecycleSteps] << ": opens " << f[kOpens]
        << " (over an open " << f[kReopens] << "), closes " << f[kCloses] << ", destroys "
        << f[kDestroys] << ", creates " << f[kCreates] << ", filtering switches " << f[kSwitches]
        << ", unplugs " << f[kUnplugs] << ", replugs " << f[kReplugs] << "\n"
        << "  scripted answers: blocking " << f[kBlockingAnswers] << ", failing "
        << f[kFailingAnswers] << "\n"
        << "  handles answered after their device's deletion " << f[kAnsweredByDelete]
        << ", slowest deletion " << f[kSlowestDeleteMs] << " ms, lost handles " << f[kLost]
        << ", faults " << f.faults;
    return out.str();
}

}  // namespace stress
