#include "quenor/mac/macdevicemonitor.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "quenor/mac/platform.h"
#include "quenor/mac/registrydevice.h"
#include "quenor/mac/threadname.h"

using quenor::mac::ScopedCFRef;
using quenor::mac::ScopedIOObject;

struct MacDeviceMonitor::Shared {
    enum class Phase { Idle, Starting, Running, Ended };

    Shared(Callback callback_, const HidDeviceMatch& match_, bool reportPresent_)
        : callback(std::move(callback_)), match(match_), reportPresent(reportPresent_) {}

    const Callback callback;
    const HidDeviceMatch match;
    const bool reportPresent;

    std::mutex mutex;
    std::condition_variable changed;
    Phase phase = Phase::Idle;   // guarded by mutex
    bool started = false;        // guarded by mutex: the thread reached Running
    bool stopRequested = false;  // guarded by mutex
    bool joining = false;        // guarded by mutex: a stopping thread has taken the join
    std::thread::id threadId;    // guarded by mutex; the monitor thread, once it runs
    // Set by the monitor thread before it reports Running, then left alone; both are
    // released with this object, so a stopping thread may use them without the lock.
    ScopedCFRef<CFRunLoopRef> loop;              // guarded by mutex
    ScopedCFRef<CFRunLoopSourceRef> stopSource;  // guarded by mutex

    void setPhase(Phase next) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            phase = next;
            started = started || next == Phase::Running;
        }
        changed.notify_all();
    }

    bool stopping() {
        std::lock_guard<std::mutex> lock(mutex);
        return stopRequested;
    }
};

namespace {

using Shared = MacDeviceMonitor::Shared;

// A mode of our own: only the monitor's sources run in it.
CFStringRef monitorMode() {
    return CFSTR("QuenorDeviceMonitor");
}

constexpr CFTimeInterval kRunSliceSeconds = 1000.0;

// Everything a notification iterator holds now; reading it to the end re-arms it.
std::vector<ScopedIOObject> drain(io_iterator_t iterator) {
    std::vector<ScopedIOObject> services;
    while (io_object_t service = IOIteratorNext(iterator)) {
        services.push_back(ScopedIOObject::adopt(service));
    }
    return services;
}

// The monitor thread's platform state. Lives on that thread's stack; only that
// thread touches it, so it needs no lock.
class Session {
public:
    explicit Session(Shared& shared) : m_shared(shared) {}
    ~Session() { tearDown(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool setUp();
    // Reports the devices found present by setUp(), unless told not to.
    void reportPresent() {
        if (m_shared.reportPresent) {
            deliver(HidDeviceNotice::Kind::Arrival, m_present, /*present=*/true);
        }
        m_present.clear();
    }
    void run();
    // Port first, so that no message is delivered to this object after it is gone.
    void tearDown();

private:
    static void arrived(void* refCon, io_iterator_t iterator) {
        auto* session = static_cast<Session*>(refCon);
        session->deliver(HidDeviceNotice::Kind::Arrival, session->takeArrivals(iterator));
    }
    static void removed(void* refCon, io_iterator_t iterator) {
        static_cast<Session*>(refCon)->takeRemovals(iterator);
    }
    static void stopLoop(void*) { CFRunLoopStop(CFRunLoopGetCurrent()); }

    // The new entries among the iterator's services, oldest first, now known.
    std::vector<HidDeviceEntry> takeArrivals(io_iterator_t iterator);
    void takeRemovals(io_iterator_t iterator);
    void deliver(HidDeviceNotice::Kind kind, const std::vector<HidDeviceEntry>& entries,
                 bool present = false) noexcept;

    Shared& m_shared;
    CFRunLoopRef m_loop = nullptr;           // this thread's loop; borrowed
    IONotificationPortRef m_port = nullptr;  // owned: IONotificationPortDestroy
    ScopedCFRef<CFRunLoopSourceRef> m_stopSource;
    ScopedIOObject m_arrivals;  // the first-match notification
    ScopedIOObject m_removals;  // the terminated notification
    // Devices reported (or, at start, remembered) by entry ID, as they were reported.
    std::map<uint64_t, std::vector<HidDeviceEntry>> m_known;
    std::vector<HidDeviceEntry> m_present;  // found by setUp(), not yet reported
};

bool Session::setUp() {
    m_loop = CFRunLoopGetCurrent();
    m_port = IONotificationPortCreate(MACH_PORT_NULL);
    if (m_port == nullptr) {
        return false;
    }
    CFRunLoopAddSource(m_loop, IONotificationPortGetRunLoopSource(m_port), monitorMode());
    CFRunLoopSourceContext context{};
    context.perform = stopLoop;
    m_stopSource = ScopedCFRef<CFRunLoopSourceRef>::adopt(
        CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context));
    if (!m_stopSource) {
        return false;
    }
    CFRunLoopAddSource(m_loop, m_stopSource.get(), monitorMode());

    // Terminations first: a device that goes while the present ones are read is
    // then still heard of. Each call consumes its dictionary's reference.
    auto anyDevice = ScopedCFRef<CFMutableDictionaryRef>::adopt(IOServiceMatching(kIOHIDDeviceKey));
    if (!anyDevice || IOServiceAddMatchingNotification(
                          m_port, kIOTerminatedNotification, anyDevice.release(), removed, this,
                          m_removals.initializeInto()) != kIOReturnSuccess) {
        return false;
    }
    drain(m_removals.get());  // arms it; nothing in it is known yet
    auto wanted = quenor::mac::makeMatchingDictionary(m_shared.match);
    if (!wanted || IOServiceAddMatchingNotification(
                       m_port, kIOFirstMatchNotification, wanted.release(), arrived, this,
                       m_arrivals.initializeInto()) != kIOReturnSuccess) {
        return false;
    }
    // Read now, so that "present at start" means present when start() returns;
    // whatever comes later arrives through the armed notification.
    m_present = takeArrivals(m_arrivals.get());

    auto loop = ScopedCFRef<CFRunLoopRef>::retain(m_loop);
    auto stopSource = ScopedCFRef<CFRunLoopSourceRef>::retain(m_stopSource.get());
    std::lock_guard<std::mutex> lock(m_shared.mutex);
    m_shared.loop = std::move(loop);
    m_shared.stopSource = std::move(stopSource);
    return true;
}

void Session::run() {
    while (!m_shared.stopping()) {
        if (CFRunLoopRunInMode(monitorMode(), kRunSliceSeconds, false) == kCFRunLoopRunFinished) {
            return;  // nothing left to wait on
        }
    }
}

void Session::tearDown() {
    if (m_port != nullptr) {
        CFRunLoopRemoveSource(m_loop, IONotificationPortGetRunLoopSource(m_port), monitorMode());
        // Drops the notices not yet delivered.
        IONotificationPortDestroy(std::exchange(m_port, nullptr));
    }
    if (m_stopSource) {
        CFRunLoopRemoveSource(m_loop, m_stopSource.get(), monitorMode());
        m_stopSource.reset();
    }
    m_arrivals.reset();
    m_removals.reset();
}

std::vector<HidDeviceEntry> Session::takeArrivals(io_iterator_t iterator) {
    std::vector<HidDeviceEntry> fresh;
    const bool stopping = m_shared.stopping();
    for (const ScopedIOObject& service : drain(iterator)) {
        if (stopping) {
            continue;
        }
        std::vector<HidDeviceEntry> entries =
            quenor::mac::readDeviceEntries(service.get(), m_shared.match);
        if (entries.empty() || entries.front().registryEntryId == 0 ||
            !m_known.emplace(entries.front().registryEntryId, entries).second) {
            continue;  // gone already, not wanted, or known
        }
        fresh.insert(fresh.end(), entries.begin(), entries.end());
    }
    quenor::mac::sortEntries(fresh);
    return fresh;
}

void Session::takeRemovals(io_iterator_t iterator) {
    std::vector<HidDeviceEntry> gone;
    for (const ScopedIOObject& service : drain(iterator)) {
        auto known = m_known.find(quenor::mac::registryEntryId(service.get()));
        if (known == m_known.end()) {
            continue;
        }
        gone.insert(gone.end(), known->second.begin(), known->second.end());
        m_known.erase(known);
    }
    quenor::mac::sortEntries(gone);
    deliver(HidDeviceNotice::Kind::Removal, gone);
}

void Session::deliver(HidDeviceNotice::Kind kind, const std::vector<HidDeviceEntry>& entries,
                      bool present) noexcept {
    for (const HidDeviceEntry& entry : entries) {
        if (m_shared.stopping()) {
            return;
        }
        m_shared.callback(HidDeviceNotice{kind, entry, present});
    }
}

void runMonitor(const std::shared_ptr<Shared>& shared) {
    quenor::mac::nameCurrentThread("quenor-hid-mon");
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->threadId = std::this_thread::get_id();
    }
    {
        Session session(*shared);
        if (session.setUp()) {
            shared->setPhase(Shared::Phase::Running);
            session.reportPresent();
            session.run();
        }
    }
    shared->setPhase(Shared::Phase::Ended);
}

}  // namespace

MacDeviceMonitor::MacDeviceMonitor(Callback callback, const HidDeviceMatch& match,
                                   bool reportPresent) {
    if (!callback) {
        throw std::bad_function_call();
    }
    m_shared = std::make_shared<Shared>(std::move(callback), match, reportPresent);
}

MacDeviceMonitor::~MacDeviceMonitor() {
    stop();
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    if (m_thread.joinable()) {
        m_thread.detach();  // destroyed by its own callback: the thread ends by itself
    }
}

bool MacDeviceMonitor::start() {
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        if (m_shared->phase != Shared::Phase::Idle) {
            return false;
        }
        m_shared->phase = Shared::Phase::Starting;
    }
    std::thread worker;
    try {
        worker = std::thread([shared = m_shared] { runMonitor(shared); });
    } catch (...) {
        m_shared->setPhase(Shared::Phase::Idle);
        throw;
    }
    {
        std::unique_lock<std::mutex> lock(m_shared->mutex);
        m_thread = std::move(worker);
        m_shared->changed.wait(lock, [&] { return m_shared->phase != Shared::Phase::Starting; });
        if (m_shared->started) {
            return true;  // it may have been stopped by a callback already
        }
        worker = std::move(m_thread);
    }
    worker.join();
    return false;
}

void MacDeviceMonitor::stop() {
    Shared& shared = *m_shared;
    CFRunLoopRef loop = nullptr;
    CFRunLoopSourceRef stopSource = nullptr;
    bool onMonitorThread = false;
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        if (shared.phase == Shared::Phase::Idle) {
            return;
        }
        shared.stopRequested = true;
        loop = shared.loop.get();
        stopSource = shared.stopSource.get();
        onMonitorThread = shared.threadId == std::this_thread::get_id();
        if (!onMonitorThread && !shared.joining && m_thread.joinable()) {
            shared.joining = true;
            worker = std::move(m_thread);
        }
    }
    if (stopSource != nullptr) {
        CFRunLoopSourceSignal(stopSource);
        CFRunLoopWakeUp(loop);
    }
    if (onMonitorThread) {
        // Inside a callback: no further callback starts, and the run loop ends once
        // this one has returned and the stop source has been performed.
        return;
    }
    if (worker.joinable()) {
        worker.join();
        return;
    }
    // Another thread is joining it: wait until the thread has let go of everything.
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.changed.wait(lock, [&] { return shared.phase == Shared::Phase::Ended; });
}

bool MacDeviceMonitor::isRunning() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->phase == Shared::Phase::Running && !m_shared->stopRequested;
}
