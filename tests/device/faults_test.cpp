// Faults: each step of opening fails in turn (the creation calls, the USB
// interface, the open itself, what comes after it), the element list cannot be
// built, each thread a device starts is refused, and every allocation of each
// operation fails in turn. Each time the device answers with its documented
// failure, releases everything exactly once and never hangs.

#include "devicefixture.h"
#include "failingallocator.h"

namespace devicetest {
namespace {

using StrResult = AbstractHidDevice::AsyncStrReqResult;
using Options = std::vector<IOOptionBits>;

using Request = hidutil::async_request<Result>;
using StrRequest = hidutil::async_request<StrResult>;
// What an attempt gave: a word, or a request it waited for.
using Outcome = std::variant<const char*, Request, StrRequest>;

template <typename R>
R waited(R request) {
    request.wait_for(kPatience);
    return request;
}

// A request's record or text; a failure for the want of memory or of a thread
// as "no memory" or "no thread".
std::string describe(const Outcome& outcome) {
    if (const auto* word = std::get_if<const char*>(&outcome)) {
        return *word;
    }
    const auto want = [](int64_t status) -> const char* {
        return status == widened(kIOReturnNoMemory)      ? "no memory"
               : status == widened(kIOReturnNoResources) ? "no thread"
                                                         : nullptr;
    };
    if (const auto* request = std::get_if<Request>(&outcome)) {
        if (!request->is_ready()) {
            return "pending";
        }
        const Result& r = request->value();
        return !r.success && r.bytesTransferred == -1 && want(r.status) ? want(r.status)
                                                                        : record(r);
    }
    const StrRequest& request = std::get<StrRequest>(outcome);
    if (!request.is_ready()) {
        return "pending";
    }
    const StrResult& r = request.value();
    return r.success        ? std::string(r.value.begin(), r.value.end())
           : want(r.status) ? want(r.status)
                            : std::to_string(r.status);
}

// Runs `run`: its outcome, or the exception it threw.
template <typename Run>
Outcome attempt(Run run) {
    try {
        return run();
    } catch (const std::bad_alloc&) {
        return "bad_alloc";
    } catch (const std::length_error&) {
        return "length_error";
    } catch (const std::system_error&) {
        return "system_error";
    }
}

class FaultsTest : public GadgetTest {
protected:
    // Runs `run` with the n-th `event` of `thread` failing, for n = 1, 2, ...
    // until a run no longer reaches the n-th; `settle` judges each run's outcome
    // outside the guard. Returns the steps of the full run.
    template <typename Run, typename Settle>
    static long walk(Event event, const char* thread, Run run, Settle settle) {
        for (long n = 1; n <= 200; ++n) {
            SCOPED_TRACE(::testing::Message() << "step " << n);
            Outcome outcome;
            bool hit = false;
            {
                hidutil::internal::release_kept_memory();  // each run allocates as the first one
                FailNth failing(event, n, thread);
                outcome = attempt(run);
                hit = failing.hit();
            }
            settle(describe(outcome));
            if (!hit) {
                return n - 1;
            }
        }
        ADD_FAILURE() << "more than 200 steps";
        return 0;
    }

    // Opening failed: nothing is left open, registered, scheduled or alive.
    void expectNothingOpen(AbstractHidDevice* device) {
        EXPECT_FALSE(device->isOpened());
        EXPECT_EQ(0, gadget.openCount());
        EXPECT_EQ(0, gadget.deviceObjectCount());
        EXPECT_FALSE(gadget.isScheduled());
        EXPECT_FALSE(gadget.inputCallbackRegistered() || gadget.removalCallbackRegistered());
    }
};

// ---- Platform calls and threads --------------------------------------------

// Each step of opening fails in turn: those before IOHIDDeviceOpen succeeded
// (the open answers false and tells the platform's status), and those after
// it (the open throws and undoes the platform open on the opening thread, with
// the options it opened with): the input report size, the worker's stop source
// (without it the run loop could never be left), the run-loop mode name, the
// worker thread. Nothing is left open or cached, and a reopen that fails keeps
// the previous open as it was.
TEST_F(FaultsTest, EachFailingStepOfAnOpenUndoesItAndKeepsThePreviousOpen) {
    using F = vmac::OpenFaults;
    const auto open = [this](auto member, auto value) {
        return [this, member, value] {
            F faults;
            faults.*member = value;
            gadget.setOpenFaults(faults);
        };
    };
    const auto call = [](vmac::Call c) { return [c] { vmac::failCalls(fault(c)); }; };
    const struct {
        std::function<void()> arm;
        const char* fails;   // "refused", or what the open throws
        int64_t status = 0;  // lastOpenStatus() after an open that was refused
    } steps[] = {
        {open(&F::createReturnsNull, true), "refused", widened(kIOReturnNoDevice)},
        {open(&F::parentLookupResult, kIOReturnNotAttached), "refused",
         widened(kIOReturnNotAttached)},
        {open(&F::plugInResult, kIOReturnNoResources), "refused", widened(kIOReturnNoResources)},
        {open(&F::plugInNull, true), "refused", widened(kIOReturnError)},
        {open(&F::queryResult, E_NOINTERFACE), "refused", int64_t{E_NOINTERFACE}},
        {open(&F::queryReturnsNull, true), "refused", widened(kIOReturnError)},
        {open(&F::openResult, kIOReturnNotPrivileged), "refused", widened(kIOReturnNotPrivileged)},
        {[this] { gadget.setNumberProperty("MaxInputReportSize", -1); }, "length_error"},
        {call(vmac::Call::RunLoopSourceCreate), "bad_alloc"},
        {call(vmac::Call::StringCreateWithCString), "bad_alloc"},
        {[] {}, "system_error"},  // the worker thread
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(&step - steps);
        const bool threads = step.fails == std::string("system_error");
        if (threads && !FailNth::canFailThreads()) {
            continue;  // a sanitizer runtime intercepts pthread_create first
        }
        const bool afterOpen = step.fails != std::string("refused");
        const auto openFails = [&](AbstractHidDevice* device, int shareMode) {
            step.arm();
            std::optional<FailNth> noThread;
            if (threads) {
                noThread.emplace(Event::ThreadCreation, 1);
            }
            EXPECT_EQ(step.fails, describe(attempt([&] {
                          return Outcome(device->open(0, shareMode) ? "opened" : "refused");
                      })));
            noThread.reset();
            EXPECT_EQ(step.status, static_cast<MacHidDevice*>(device)->lastOpenStatus());
            gadget.setOpenFaults(vmac::OpenFaults());
            gadget.setNumberProperty("MaxInputReportSize", 64);
            vmac::clearCallFaults();
        };
        Options closes = gadget.closeCalls();
        AbstractHidDevice* device = makeDevice();
        openFails(device, 0);
        expectNothingOpen(device);
        EXPECT_EQ(0, device->usage());  // nothing was cached
        if (afterOpen) {
            closes.push_back(kIOHIDOptionsTypeSeizeDevice);
        }
        EXPECT_EQ(closes, gadget.closeCalls());

        gadget.setNumberProperty("PrimaryUsage", 1);
        ASSERT_TRUE(device->open(0, 1));
        EXPECT_EQ(0, static_cast<MacHidDevice*>(device)->lastOpenStatus());
        void* const first = device->nativeHandle();
        gadget.setNumberProperty("PrimaryUsage", 7);  // a successful reopen would read it
        openFails(device, 1);
        EXPECT_TRUE(device->isOpened());
        EXPECT_EQ(first, device->nativeHandle());
        EXPECT_EQ(1, device->usage());
        EXPECT_EQ(1, gadget.openCount());
        EXPECT_EQ(1, gadget.deviceObjectCount());
        if (afterOpen) {
            closes.push_back(kIOHIDOptionsTypeNone);
        }
        EXPECT_EQ(closes, gadget.closeCalls());
        inject(gadget, 1, {9});
        EXPECT_EQ(Bytes{9}, readQueued(device));
        destroyDevice(device);
    }
}

// The element list cannot be built (no dictionary, no number, no elements):
// filtering then accepts every report, as documented.
TEST_F(FaultsTest, AFilterThatCannotBeBuiltAcceptsEveryReport) {
    gadget.addElement({0xFF00, 1, 3});
    gadget.declareInputReport(9, 1);
    for (vmac::Call call : {vmac::Call::DictionaryCreateMutable, vmac::Call::NumberCreate,
                            vmac::Call::CopyMatchingElements}) {
        SCOPED_TRACE(static_cast<int>(call));
        AbstractHidDevice* device = makeDevice();
        device->setReportFilteringEnabled(true);
        if (call == vmac::Call::CopyMatchingElements) {
            gadget.failCalls(fault(call));
        } else {
            vmac::failCalls(fault(call));
        }
        ASSERT_TRUE(device->open(0, 1));
        EXPECT_EQ(0, vmac::pendingCallFaults(call) + gadget.pendingCallFaults(call));
        inject(gadget, 9, {9});
        EXPECT_EQ(Bytes{9}, readQueued(device));
        // Switched off and on again, the list is built and filters.
        device->setReportFilteringEnabled(false);
        device->setReportFilteringEnabled(true);
        inject(gadget, 9, {9});
        inject(gadget, 3, {3});
        EXPECT_EQ(Bytes{3}, readQueued(device));
        destroyDevice(device);
    }
}

// Each thread a device starts is refused in turn, and counted so: creating the
// device starts none; opening starts the run-loop worker (refused: the open
// throws std::system_error); the first set transfer
// starts the request queue's thread (refused: it throws, nothing queued) and
// its sender (refused: it answers "no resources"); neither calls the platform.
// The sender is reused by later transfers and replaced after one cut short.
// (A thread left behind by delete is a leak that ThreadSanitizer reports.)
TEST_F(FaultsTest, EachThreadRefusedInTurn) {
    if (!FailNth::canFailThreads()) {
        GTEST_SKIP() << "a sanitizer runtime intercepts pthread_create first";
    }
    AbstractHidDevice* device = makeDevice();
    const auto create = [&] {
        delete AbstractHidDevice::create(device->descriptor());
        return Outcome("created");
    };
    EXPECT_EQ(0, walk(Event::ThreadCreation, kAnyThread, create, [](const std::string&) {}));
    const auto open = [&] { return Outcome(device->open(0, 1) ? "opened" : "refused"); };
    EXPECT_EQ(1, walk(Event::ThreadCreation, kAnyThread, open, [&](const std::string& outcome) {
                  EXPECT_EQ(outcome == "opened", device->isOpened()) << outcome;
                  EXPECT_TRUE(outcome == "opened" || outcome == "system_error") << outcome;
              }));
    ReportBuffer report = bytes(Bytes(64, 1));
    const std::string sent = record({true, 64, report, 5, 0});
    const auto send = [&] { return Outcome(waited(device->setReport(5, report, 1000))); };
    size_t calls = 0;
    const auto sends = [&](const std::string& outcome) {
        EXPECT_TRUE(outcome == sent || outcome == "no thread" || outcome == "system_error");
        EXPECT_EQ(calls + (outcome == sent), gadget.reportCalls().size());
        calls = gadget.reportCalls().size();
    };
    EXPECT_EQ(2, walk(Event::ThreadCreation, kAnyThread, send, sends));
    EXPECT_EQ(0, walk(Event::ThreadCreation, kAnyThread, send, sends));
    gadget.queueSetReportAnswer({kIOReturnSuccess, {}, vmac::Block::Cancellable, true});
    EXPECT_EQ(record({false, -1, report, 5, widened(kIOReturnTimeout)}),
              answer(device->setReport(5, report, 10)));
    calls = gadget.reportCalls().size();
    EXPECT_EQ(1, walk(Event::ThreadCreation, kAnyThread, send, sends));
}

// Each allocation of each operation fails in turn. Opening throws
// std::bad_alloc with everything as it was: a first open leaves nothing behind,
// a reopen keeps the previous open (filtering as before or, without memory for
// its list, accepting every report); closing needs no memory. A transfer or a
// USB string request throws or answers, in full or for the want of memory (a set
// transfer also for the want of a sender thread); a cached string is
// answered at once on the calling thread, in full, or throw.
TEST_F(FaultsTest, EachAllocationOfAnOperationFailsInTurn) {
    gadget.setStringDescriptorText(1, u"A USB string long enough to need memory of its own");
    gadget.addElement({0xFF00, 1, 3});
    AbstractHidDevice* device = makeDevice();
    device->setReportFilteringEnabled(true);
    const long objects = vmac::liveObjectCount();
    const auto open = [&] { return Outcome(device->open(0, 1) ? "opened" : "refused"); };
    EXPECT_LE(6, walk(Event::Allocation, kAnyThread, open, [&](const std::string& outcome) {
                  if (outcome == "opened") {
                      EXPECT_EQ(1, device->usage());
                      EXPECT_TRUE(device->close());
                  } else {
                      EXPECT_EQ("bad_alloc", outcome);
                      expectNothingOpen(device);
                  }
                  EXPECT_EQ(objects, vmac::liveObjectCount());
              }));
    ASSERT_TRUE(device->open(0, 1));
    EXPECT_LE(1, walk(Event::Allocation, kAnyThread, open, [&](const std::string& outcome) {
                  EXPECT_TRUE(outcome == "opened" || outcome == "bad_alloc") << outcome;
                  EXPECT_TRUE(device->isOpened());
                  EXPECT_EQ(1, gadget.openCount());
                  EXPECT_EQ(1, gadget.deviceObjectCount());
                  inject(gadget, 3, {3});
                  EXPECT_EQ(Bytes{3}, readQueued(device));
              }));

    ReportBuffer out = bytes(Bytes(64, 2)), feature = bytes(Bytes(16, 3)), in = bytes(Bytes(64));
    const struct {
        const char* thread;
        std::function<Outcome()> attempt;
        std::string answer;  // in full; else "bad_alloc" or a failure for the want of memory
    } requests[] = {
        {kAnyThread, [&] { return waited(device->setReport(5, out, 5000)); },
         record({true, 64, out, 5, 0})},
        {kAnyThread, [&] { return waited(device->setFeature(6, feature)); },
         record({true, 16, feature, 6, 0})},
        {kAnyThread, [&] { return waited(device->getFeature(4, feature)); },
         record({true, 0, feature, 4, 0})},  // the gadget answers success with no bytes
        {kAnyThread, [&] { return waited(device->getReport(in, 0)); }, record({true, 2, in, 0, 0})},
        // The three cached strings share one path.
        {kCallingThread, [&] { return waited(device->manufacturerName()); }, "Quenor Test Works"},
        {kAnyThread, [&] { return waited(device->usbString(1)); },
         "A USB string long enough to need memory of its own"},
    };
    for (const auto& request : requests) {
        SCOPED_TRACE(request.answer);
        inject(gadget, 3, {3, 2});  // for the input read
        EXPECT_LE(1, walk(Event::Allocation, request.thread, request.attempt,
                          [&](const std::string& outcome) {
                              EXPECT_TRUE(outcome == request.answer || outcome == "bad_alloc" ||
                                          (request.thread == kAnyThread &&
                                           (outcome == "no memory" || outcome == "no thread")))
                                  << outcome;
                              while (!readQueued(device).empty()) {
                              }
                              inject(gadget, 3, {3, 2});
                          }));
    }
    EXPECT_EQ(0, walk(
                     Event::Allocation, kAnyThread,
                     [&] { return Outcome(device->close() ? "closed" : "refused"); },
                     [](const std::string& outcome) { EXPECT_EQ("closed", outcome); }));
    expectNothingOpen(device);
}

}  // namespace
}  // namespace devicetest
