#include "stressrun.h"

#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr uint8_t kFailOnRequest = 0xFA;  // the gadgets' firmware fails such calls
constexpr size_t kMaxPendingPerThread = 48;

// Counters shared by every thread of the run.
struct Tally {
    std::atomic<uint64_t> calls{0}, handles{0}, readsWithReport{0};
    std::atomic<uint64_t> lifecycleSteps{0}, opens{0}, closes{0}, reopens{0}, destroys{0},
        creates{0}, switches{0}, unplugs{0}, replugs{0};
    std::atomic<uint64_t> blockingAnswers{0}, failingAnswers{0};
    std::atomic<uint64_t> discarded{0}, lost{0};
};

// What the run shares with its threads.
struct World {
    Options options;
    FaultLog faults;
    Tally tally;
    std::vector<std::unique_ptr<Slot>> slots;
    std::atomic<bool> stopping{false};  // the timed part is over
    std::atomic<bool> releasing{true};  // the releaser keeps going
    int64_t handleBoundNs = 0;
    std::atomic<uint64_t> nextGeneration{0};
};

std::string where(const Slot& slot, const char* what) {
    return std::string(what) + " on device " + std::to_string(slot.index) + ": ";
}

// A request handle an application thread keeps until it has judged its record.
struct Pending {
    enum class Kind { InputRead, SetReport, SetFeature, FeatureRead, UsbString };
    Kind kind;
    Slot* slot;
    uint64_t generation;  // of the device object it was asked of
    uint64_t closeEpoch;  // the slot's, when asked
    bool unbounded;       // an input read without time-out: it may wait until a close
    int64_t issuedNs;
    int64_t boundFromNs;  // the bound counts from here (0: not yet, for unbounded reads)
    std::optional<hidutil::async_request<Result>> transfer;
    std::optional<hidutil::async_request<StrResult>> text;
    ReportBuffer buffer;
    std::vector<uint8_t> before;  // the buffer's bytes when the read was asked
    uint8_t reportId = 0;
    int index = 0;              // usbString
    bool productKnown = false;  // usbString: the product name of the last open is known

    bool ready() const { return transfer ? transfer->is_ready() : text->is_ready(); }
    bool waitFor(long ms) const { return transfer ? transfer->wait_for(ms) : text->wait_for(ms); }
};

const char* kindName(Pending::Kind kind) {
    switch (kind) {
        case Pending::Kind::InputRead:
            return "getReport";
        case Pending::Kind::SetReport:
            return "setReport";
        case Pending::Kind::SetFeature:
            return "setFeature";
        case Pending::Kind::FeatureRead:
            return "getFeature";
        case Pending::Kind::UsbString:
            return "usbString";
    }
    return "?";
}

const std::wstring* usbStringFor(const GadgetFacts& facts, int index) {
    const unsigned wValue = (0x0300u | static_cast<unsigned>(index)) & 0xFFFFu;
    if ((wValue >> 8) != 3) {
        return nullptr;  // not a string-descriptor request at all: the pipe stalls
    }
    auto it = facts.usbStrings.find(static_cast<int>(wValue & 0xFF));
    return it == facts.usbStrings.end() ? nullptr : &it->second;
}

// Judges a ready handle's record.
void judge(World& world, Pending& p) {
    world.tally.handles++;
    Slot& slot = *p.slot;
    std::string problem;
    switch (p.kind) {
        case Pending::Kind::InputRead: {
            const Result& r = p.transfer->value();
            problem = checkInputReadRecord(r, p.buffer, p.before);
            if (problem.empty() && r.success && !p.buffer->empty()) {
                world.tally.readsWithReport++;
                problem = slot.ledger.recordRead(slot.tag, *p.buffer, p.before.size(),
                                                 r.bytesTransferred, slot.filterEpoch.load());
            }
            break;
        }
        case Pending::Kind::SetReport:
        case Pending::Kind::SetFeature:
            problem = checkSetRecord(p.transfer->value(), p.buffer, p.reportId);
            break;
        case Pending::Kind::FeatureRead:
            problem = checkFeatureReadRecord(p.transfer->value(), p.buffer, p.reportId, slot.tag);
            break;
        case Pending::Kind::UsbString:
            problem = checkUsbString(p.text->value(), usbStringFor(slot.facts, p.index),
                                     p.productKnown ? &slot.facts.wideProduct : nullptr);
            break;
    }
    if (!problem.empty()) {
        world.faults.add(where(slot, kindName(p.kind)) + problem);
    }
}

// Looks at one pending handle: judges it when ready. Returns true when the
// handle is done with (judged, discarded by destruction, or reported lost).
bool settle(World& world, Pending& p, int64_t nowNs) {
    Slot& slot = *p.slot;
    // Read the generation before readiness: once the object is gone, every
    // operation that ran has fulfilled its request.
    const bool destroyed = slot.liveGeneration.load() != p.generation;
    if (p.ready()) {
        judge(world, p);
        return true;
    }
    if (destroyed) {
        world.tally.discarded++;  // queued, never run: the contract lets it stay pending
        return true;
    }
    if (p.unbounded && p.boundFromNs == 0) {
        if (slot.closeEpoch.load() == p.closeEpoch) {
            return false;  // still allowed to wait for a report or a close
        }
        p.boundFromNs = nowNs;
    }
    if (nowNs - p.boundFromNs > world.handleBoundNs) {
        world.tally.lost++;
        std::ostringstream fault;
        fault << where(slot, kindName(p.kind)) << "handle still pending "
              << (nowNs - p.boundFromNs) / 1000000 << " ms after it should have been answered";
        world.faults.add(fault.str());
        return true;
    }
    return false;
}

class AppThread {
public:
    AppThread(World& world, int number, Activity& activity)
        : world_(world), activity_(activity), random_(world.options.seed * 1000003u + number) {}

    void run() {
        while (!world_.stopping.load()) {
            step();
            harvest();
            if (pending_.size() >= kMaxPendingPerThread) {
                activity_.enter("waiting for its oldest handle", pending_.front().slot->index);
                pending_.front().waitFor(50);
                activity_.idle();
            }
            if (chance(8)) {
                std::this_thread::sleep_for(std::chrono::microseconds(below(2000)));
            }
        }
    }

    // After the last close: every handle the contract does not excuse must come.
    void drain(int64_t deadlineNs) {
        activity_.enter("draining its handles");
        for (Pending& p : pending_) {
            if (p.slot->liveGeneration.load() != p.generation) {
                continue;  // its device object is gone: nothing more can come
            }
            const int64_t left = std::max<int64_t>(0, deadlineNs - steadyNowNs());
            p.waitFor(static_cast<long>(left / 1000000));
        }
        activity_.idle();
        for (Pending& p : pending_) {
            const bool destroyed = p.slot->liveGeneration.load() != p.generation;
            if (p.ready()) {
                judge(world_, p);
            } else if (destroyed) {
                world_.tally.discarded++;
            } else {
                world_.tally.lost++;
                std::ostringstream fault;
                fault << where(*p.slot, kindName(p.kind)) << "handle asked "
                      << (steadyNowNs() - p.issuedNs) / 1000000
                      << " ms ago still pending after every device was closed";
                world_.faults.add(fault.str());
            }
        }
        pending_.clear();
    }

private:
    bool chance(unsigned inN) { return below(inN) == 0; }
    unsigned below(unsigned n) { return static_cast<unsigned>(random_() % n); }

    void harvest() {
        const int64_t now = steadyNowNs();
        for (auto it = pending_.begin(); it != pending_.end();) {
            it = settle(world_, *it, now) ? pending_.erase(it) : std::next(it);
        }
    }

    ReportBuffer fresh(size_t size, uint8_t fill) {
        return std::make_shared<std::vector<uint8_t>>(size, fill);
    }

    void keep(Pending&& p) { pending_.push_back(std::move(p)); }

    Pending make(Pending::Kind kind, Slot& slot) {
        const int64_t now = steadyNowNs();
        return Pending{kind,
                       &slot,
                       slot.generation,
                       slot.closeEpoch.load(),
                       false,
                       now,
                       now,
                       std::nullopt,
                       std::nullopt,
                       nullptr,
                       {},
                       0,
                       0,
                       false};
    }

    void step() {
        Slot& slot = *world_.slots[below(static_cast<unsigned>(world_.slots.size()))];
        activity_.enter("waiting to share the device", slot.index);
        std::shared_lock<LifecycleLock> hold(slot.lifecycle);
        AbstractHidDevice* device = slot.device.get();
        if (!device) {
            activity_.idle();
            return;
        }
        world_.tally.calls++;
        const unsigned pick = below(100);
        if (pick < 28) {
            inputRead(slot, *device);
        } else if (pick < 48) {
            setTransfer(slot, *device, false);
        } else if (pick < 56) {
            setTransfer(slot, *device, true);
        } else if (pick < 66) {
            featureRead(slot, *device);
        } else if (pick < 74) {
            cachedStrings(slot, *device);
        } else if (pick < 83) {
            usbString(slot, *device);
        } else if (pick < 87) {
            activity_.enter("cancelAll", slot.index);
            device->cancelAll();
        } else {
            queries(slot, *device);
        }
        activity_.idle();
    }

    void inputRead(Slot& slot, AbstractHidDevice& device) {
        Pending p = make(Pending::Kind::InputRead, slot);
        const unsigned shape = below(20);
        if (shape == 0 && slot.opened && slot.infoKnown) {
            p.buffer = device.allocateReport(AbstractHidDevice::ReportType::Input);
        } else {
            p.buffer = fresh(shape < 4 ? 16 : kInputReportSize, 0xEE);
        }
        p.before = *p.buffer;
        const unsigned t = below(100);
        long timeout = t < 30   ? 0
                       : t < 85 ? long(1 + below(30))
                       : t < 95 ? long(100 + below(200))
                                : -1;
        p.unbounded = timeout == -1;
        p.boundFromNs = p.unbounded ? 0 : p.boundFromNs;
        activity_.enter("getReport", slot.index);
        p.transfer = device.getReport(p.buffer, timeout);
        keep(std::move(p));
    }

    void setTransfer(Slot& slot, AbstractHidDevice& device, bool feature) {
        Pending p = make(feature ? Pending::Kind::SetFeature : Pending::Kind::SetReport, slot);
        const unsigned shape = below(20);
        if (shape == 0 && slot.opened) {
            p.buffer = device.allocateReport(feature ? AbstractHidDevice::ReportType::Feature
                                                     : AbstractHidDevice::ReportType::Output);
        } else {
            const size_t size = feature ? kFeatureReportSize : kOutputReportSize;
            p.buffer = fresh(shape < 6 ? below(static_cast<unsigned>(size)) + 1 : size, 0);
        }
        if (!p.buffer->empty()) {
            (*p.buffer)[0] = slot.tag;
        }
        if (p.buffer->size() > 1) {
            (*p.buffer)[1] = chance(16) ? kFailOnRequest : static_cast<uint8_t>(below(250));
        }
        p.reportId = static_cast<uint8_t>(below(6));
        if (feature) {
            activity_.enter("setFeature", slot.index);
            p.transfer = device.setFeature(p.reportId, p.buffer);
        } else {
            const unsigned t = below(100);
            const long timeout = t < 5    ? -1
                                 : t < 15 ? 0
                                 : t < 40 ? long(1 + below(20))
                                          : long(100 + below(900));
            activity_.enter("setReport", slot.index);
            p.transfer = device.setReport(p.reportId, p.buffer, timeout);
        }
        keep(std::move(p));
    }

    void featureRead(Slot& slot, AbstractHidDevice& device) {
        Pending p = make(Pending::Kind::FeatureRead, slot);
        p.buffer = fresh(chance(4) ? 1 + below(32) : kFeatureReportSize, 0xEE);
        p.reportId = chance(16) ? kFailOnRequest : static_cast<uint8_t>(1 + below(4));
        activity_.enter("getFeature", slot.index);
        p.transfer = device.getFeature(p.reportId, p.buffer);
        keep(std::move(p));
    }

    void usbString(Slot& slot, AbstractHidDevice& device) {
        Pending p = make(Pending::Kind::UsbString, slot);
        static const int kIndices[] = {0, 1, 2, 3, 1, 2, 3, 9, 257, -1, 1024};
        p.index = kIndices[below(sizeof kIndices / sizeof kIndices[0])];
        p.productKnown = slot.opened && slot.infoKnown;
        activity_.enter("usbString", slot.index);
        p.text = device.usbString(p.index);
        keep(std::move(p));
    }

    void cachedStrings(Slot& slot, AbstractHidDevice& device) {
        activity_.enter("cached strings", slot.index);
        const std::pair<hidutil::async_request<StrResult>, const std::wstring*> asked[] = {
            {device.manufacturerName(), &slot.facts.wideManufacturer},
            {device.productName(), &slot.facts.wideProduct},
            {device.serialNumber(), &slot.facts.wideSerialNumber}};
        for (const auto& a : asked) {
            world_.tally.handles++;
            if (!a.first.is_ready()) {
                world_.faults.add(where(slot, "cached string") + "not ready at once");
                continue;
            }
            const std::string problem =
                checkCachedString(a.first.value(), slot.opened, slot.infoKnown, *a.second);
            if (!problem.empty()) {
                world_.faults.add(where(slot, "cached string") + problem);
            }
        }
    }

    void queries(Slot& slot, AbstractHidDevice& device) {
        activity_.enter("queries", slot.index);
        const bool open = device.isOpened();
        const void* handle = device.nativeHandle();
        (void)open;
        (void)handle;
        const uint16_t version = device.usbDeviceVersion();
        if (version != 0 && version != slot.facts.releaseNumber) {
            world_.faults.add(where(slot, "usbDeviceVersion") + std::to_string(version));
        }
        if (device.linkCollection() != nullptr) {
            world_.faults.add(where(slot, "linkCollection") + "not null");
        }
        if (slot.opened && slot.infoKnown) {
            const bool right =
                device.usage() == 1 && device.usagePage() == 0xFF00 &&
                device.reportSize(AbstractHidDevice::ReportType::Input) == int(kInputReportSize) &&
                device.reportSize(AbstractHidDevice::ReportType::Output) ==
                    int(kOutputReportSize) &&
                device.reportSize(AbstractHidDevice::ReportType::Feature) ==
                    int(kFeatureReportSize);
            if (!right) {
                world_.faults.add(where(slot, "cached properties") + "differ from the gadget's");
            }
        }
        if (device.isReportFilteringEnabled() != slot.filtering) {
            world_.faults.add(where(slot, "isReportFilteringEnabled") + "differs from the switch");
        }
        ReportBuffer pooled = device.allocateReport(AbstractHidDevice::ReportType::Input);
        if (!pooled) {
            world_.faults.add(where(slot, "allocateReport") + "null buffer");
        }
    }

    World& world_;
    Activity& activity_;
    std::mt19937_64 random_;
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

class LifecycleThread {
public:
    LifecycleThread(World& world, int number, Activity& activity)
        : world_(world), activity_(activity), random_(world.options.seed * 7919u + number) {}

    void run() {
        while (!world_.stopping.load()) {
            Slot& slot = *world_.slots[below(static_cast<unsigned>(world_.slots.size()))];
            const unsigned pick = below(100);
            if (pick < 6) {
                activity_.enter("unplug", slot.index);
                slot.unplug();
                world_.tally.unplugs++;
            } else {
                activity_.enter("waiting for the device alone", slot.index);
                std::unique_lock<LifecycleLock> hold(slot.lifecycle);
                exclusiveStep(slot, pick);
            }
            world_.tally.lifecycleSteps++;
            activity_.idle();
            std::this_thread::sleep_for(Ms(2 + below(30)));
        }
    }

    // After the timed part: every device closed, so that every handle comes.
    static void closeAll(World& world, Activity& activity) {
        for (auto& owned : world.slots) {
            Slot& slot = *owned;
            activity.enter("final close", slot.index);
            std::unique_lock<LifecycleLock> hold(slot.lifecycle);
            if (slot.device) {
                slot.device->close();
                slot.closeEpoch++;
            }
        }
        activity.idle();
    }

    static void destroyAll(World& world, Activity& activity) {
        for (auto& owned : world.slots) {
            Slot& slot = *owned;
            activity.enter("final destruction", slot.index);
            std::unique_lock<LifecycleLock> hold(slot.lifecycle);
            destroy(slot);
        }
        activity.idle();
    }

    static void create(World& world, Slot& slot) {
        OddWhile changing(slot.filterEpoch);
        HidDeviceDescriptor descriptor(new MacDeviceDescriptorHandle(widePath(slot.path), 0));
        slot.device.reset(AbstractHidDevice::create(descriptor));
        slot.generation = ++world.nextGeneration;
        slot.liveGeneration = slot.generation;
        slot.opened = false;
        slot.infoKnown = false;
        slot.filtering = false;
        slot.filterOn = false;
    }

    static void destroy(Slot& slot) {
        OddWhile changing(slot.filterEpoch);
        slot.device.reset();
        slot.liveGeneration = 0;
        slot.closeEpoch++;
        slot.filtering = false;
        slot.filterOn = false;
    }

private:
    unsigned below(unsigned n) { return static_cast<unsigned>(random_() % n); }

    // Mostly keeps devices open (reports reach only open devices), and from there
    // takes them through every way of going away and coming back.
    void exclusiveStep(Slot& slot, unsigned pick) {
        if (!slot.device) {
            activity_.enter("create", slot.index);
            create(world_, slot);
            world_.tally.creates++;
            return;
        }
        const bool plugged = slot.pluggedGadget() != 0;
        const bool open = slot.device->isOpened();
        if (!plugged && pick < 70) {
            activity_.enter("replug", slot.index);
            slot.plug();
            world_.tally.replugs++;
        } else if (!open && pick < 75) {
            this->open(slot);
        } else if (pick < 20) {
            activity_.enter("close", slot.index);
            slot.device->close();
            slot.closeEpoch++;
            world_.tally.closes++;
        } else if (pick < 35) {
            this->open(slot);
        } else if (pick < 45) {
            activity_.enter("destroy", slot.index);
            destroy(slot);
            world_.tally.destroys++;
        } else {
            activity_.enter("setReportFilteringEnabled", slot.index);
            OddWhile changing(slot.filterEpoch);
            slot.filtering = !slot.filtering;
            slot.device->setReportFilteringEnabled(slot.filtering);
            slot.filterOn = slot.filtering;
            if (slot.device->isReportFilteringEnabled() != slot.filtering) {
                world_.faults.add(where(slot, "setReportFilteringEnabled") + "switch not kept");
            }
            world_.tally.switches++;
        }
    }

    void open(Slot& slot) {
        AbstractHidDevice& device = *slot.device;
        const bool wasOpen = device.isOpened();
        const uint64_t gadgetBefore = slot.pluggedGadget();
        const int shareMode = below(8) == 0 ? 0 : 1;
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
                world_.faults.add(where(slot, "open") + "threw " + e.what());
            }
            if (opened && wasOpen) {
                slot.closeEpoch++;  // the previous open state was retired
            }
        }
        const uint64_t gadgetAfter = slot.pluggedGadget();
        const bool undisturbed = gadgetBefore != 0 && gadgetBefore == gadgetAfter;
        if (!opened) {
            if (!wasOpen && undisturbed) {
                world_.faults.add(where(slot, "open") + "failed on a plugged, closed device");
            }
            return;
        }
        world_.tally.opens++;
        if (wasOpen) {
            world_.tally.reopens++;
        }
        slot.opened = true;
        slot.infoKnown = undisturbed;
    }

    World& world_;
    Activity& activity_;
    std::mt19937_64 random_;
};

// Sends input reports to random devices, each one written in its slot's ledger
// before it is injected.
void injectReports(World& world, Activity& activity, uint64_t seed) {
    std::mt19937_64 random(seed);
    while (!world.stopping.load()) {
        Slot& slot = *world.slots[random() % world.slots.size()];
        activity.enter("injecting", slot.index);
        vmac::VirtualDevice gadget = slot.gadget();
        const ReportLedger::Snapshot before = slot.snapshot();
        const uint32_t sequence = slot.ledger.beginInjection(before);
        const InputReport report = makeInputReport(slot.tag, sequence);
        gadget.injectInputReport(report.reportId, report.bytes,
                                 report.withError ? kIOReturnError : kIOReturnSuccess);
        slot.ledger.endInjection(sequence, before, slot.snapshot());
        activity.idle();
        std::this_thread::sleep_for(std::chrono::microseconds(200 + random() % 1800));
    }
}

// Queues answers that block (until released or unplugged) or fail.
void scriptAnswers(World& world, Activity& activity, uint64_t seed) {
    std::mt19937_64 random(seed);
    while (!world.stopping.load()) {
        Slot& slot = *world.slots[random() % world.slots.size()];
        activity.enter("scripting an answer", slot.index);
        vmac::VirtualDevice gadget = slot.gadget();
        std::vector<uint8_t> data(kFeatureReportSize, 0xFE);
        data[0] = slot.tag;
        switch (random() % 6) {
            case 0:
            case 1:
                gadget.queueSetReportAnswer({kIOReturnSuccess, {}, vmac::Block::NonCancellable});
                world.tally.blockingAnswers++;
                break;
            case 2:
                gadget.queueSetReportAnswer({kIOReturnSuccess, {}, vmac::Block::Cancellable});
                world.tally.blockingAnswers++;
                break;
            case 3:
                gadget.queueGetReportAnswer({kIOReturnSuccess, data, vmac::Block::NonCancellable});
                world.tally.blockingAnswers++;
                break;
            case 4:
                gadget.queueSetReportAnswer({kIOReturnError, {}, vmac::Block::None});
                world.tally.failingAnswers++;
                break;
            default:
                gadget.queueGetReportAnswer({kIOReturnAborted, {}, vmac::Block::None});
                world.tally.failingAnswers++;
                break;
        }
        activity.idle();
        std::this_thread::sleep_for(Ms(30 + random() % 100));
    }
}

// Lets blocked calls return, a little later each time.
void releaseBlockedCalls(World& world, Activity& activity, uint64_t seed) {
    std::mt19937_64 random(seed);
    while (world.releasing.load()) {
        for (auto& slot : world.slots) {
            if (random() % 2 == 0 || world.stopping.load()) {
                activity.enter("releasing blocked calls", slot->index);
                slot->gadget().releaseBlockedCalls();
            }
        }
        activity.idle();
        std::this_thread::sleep_for(Ms(world.stopping.load() ? 5 : 10 + random() % 80));
    }
}

}  // namespace

Figures runStress(const Options& options) {
    World world;
    world.options = options;
    const int slow = slowdown();
    world.handleBoundNs = int64_t{20} * slow * 1000000000;
    std::ostringstream context;
    context << "rerun with --seed=" << options.seed << " --threads=" << options.appThreads
            << " --devices=" << options.devices;
    Watchdog watchdog(Ms(30000 * slow), context.str());
    Activity& main = watchdog.add("main");

    for (int i = 0; i < options.devices; ++i) {
        world.slots.push_back(std::make_unique<Slot>(i, world.faults));
        Slot& slot = *world.slots.back();
        slot.plug();
        LifecycleThread::create(world, slot);
    }

    std::vector<std::unique_ptr<AppThread>> apps;
    std::vector<std::unique_ptr<LifecycleThread>> lifecycles;
    std::vector<std::thread> threads;
    for (int i = 0; i < options.appThreads; ++i) {
        apps.push_back(
            std::make_unique<AppThread>(world, i, watchdog.add("app " + std::to_string(i))));
    }
    for (int i = 0; i < options.lifecycleThreads; ++i) {
        lifecycles.push_back(std::make_unique<LifecycleThread>(
            world, i, watchdog.add("lifecycle " + std::to_string(i))));
    }
    Activity& injector = watchdog.add("injector");
    Activity& scripter = watchdog.add("scripter");
    Activity& releaser = watchdog.add("releaser");
    for (auto& app : apps) {
        threads.emplace_back([&app] { app->run(); });
    }
    for (auto& lifecycle : lifecycles) {
        threads.emplace_back([&lifecycle] { lifecycle->run(); });
    }
    threads.emplace_back([&] { injectReports(world, injector, options.seed + 1); });
    threads.emplace_back([&] { scriptAnswers(world, scripter, options.seed + 2); });
    std::thread releaseThread([&] { releaseBlockedCalls(world, releaser, options.seed + 3); });

    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    world.stopping = true;
    main.enter("joining the threads");
    for (std::thread& thread : threads) {
        thread.join();
    }
    main.idle();

    LifecycleThread::closeAll(world, main);
    const int64_t deadline = steadyNowNs() + world.handleBoundNs;
    for (auto& app : apps) {
        app->drain(deadline);
    }
    world.releasing = false;
    releaseThread.join();
    LifecycleThread::destroyAll(world, main);

    Figures figures;
    for (auto& slot : world.slots) {
        for (const std::string& fault : slot->ledger.verdicts(slot->index)) {
            world.faults.add(fault);
        }
        figures.injected += slot->ledger.injected();
    }
    main.enter("unplugging every gadget");
    world.slots.clear();
    vmac::reset();
    main.idle();

    const Tally& t = world.tally;
    figures.calls = t.calls;
    figures.handles = t.handles;
    figures.readsWithReport = t.readsWithReport;
    figures.lifecycleSteps = t.lifecycleSteps;
    figures.opens = t.opens;
    figures.closes = t.closes;
    figures.reopens = t.reopens;
    figures.destroys = t.destroys;
    figures.creates = t.creates;
    figures.switches = t.switches;
    figures.unplugs = t.unplugs;
    figures.replugs = t.replugs;
    figures.blockingAnswers = t.blockingAnswers;
    figures.failingAnswers = t.failingAnswers;
    figures.discardedByDestruction = t.discarded;
    figures.lostHandles = t.lost;
    figures.faults = world.faults.count();
    figures.faultMessages = world.faults.kept();
    return figures;
}

std::string summary(const Options& options, const Figures& f) {
    std::ostringstream out;
    out << "stress: seed " << options.seed << ", " << options.appThreads
        << " application threads x " << options.devices << " devices, " << options.seconds << " s\n"
        << "  calls " << f.calls << ", handles judged " << f.handles << ", reads with a report "
        << f.readsWithReport << " of " << f.injected << " reports injected\n"
        << "  lifecycle steps " << f.lifecycleSteps << ": opens " << f.opens << " (over an open "
        << f.reopens << "), closes " << f.closes << ", destroys " << f.destroys << ", creates "
        << f.creates << ", filtering switches " << f.switches << ", unplugs " << f.unplugs
        << ", replugs " << f.replugs << "\n"
        << "  scripted answers: blocking " << f.blockingAnswers << ", failing " << f.failingAnswers
        << "\n"
        << "  handles left pending by destruction " << f.discardedByDestruction << ", lost handles "
        << f.lostHandles << ", faults " << f.faults;
    return out.str();
}

}  // namespace stress
