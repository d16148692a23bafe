// Faults beyond opening: each platform call the device makes fails in turn (a
// property read answering NULL or a wrong type, element matching, the creation
// calls, the USB interface, closing), threads cannot be had, and every
// allocation of each operation fails in turn. Each time the device answers with
// its documented failure, releases everything exactly once and never hangs.
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "devicefixture.h"
#include "failingallocator.h"

namespace devicetest {
namespace {

using StrResult = AbstractHidDevice::AsyncStrReqResult;
using Options = std::vector<IOOptionBits>;

// Runs `run`; whether it threw an E (any other exception fails the test).
template <typename E, typename Run>
bool throws(Run run) {
    try {
        run();
    } catch (const E&) {
        return true;
    }
    return false;
}

class FaultsTest : public GadgetTest {
protected:
    static constexpr long kMostSteps = 200;

    // Runs `attempt` with its n-th step failing (the guard `arm(n)` fails it: an
    // allocation, a thread creation), for n = 1, 2, ... until a run no longer
    // reaches the n-th; `check` judges each run outside the guard's scope.
    // Returns the steps of the full run.
    template <typename Arm, typename Attempt, typename Check>
    long walk(Arm arm, Attempt attempt, Check check) {
        for (long n = 1; n <= kMostSteps; ++n) {
            SCOPED_TRACE(::testing::Message() << "step " << n);
            bool hit = false;
            {
                auto failing = arm(n);
                attempt();
                hit = failing.hit();
            }
            check(hit);
            if (!hit) {
                return n - 1;
            }
        }
        ADD_FAILURE() << "more than " << kMostSteps << " steps";
        return kMostSteps;
    }

    static auto allocations(AllocationScope scope) {
        return [scope](long n) { return FailNthAllocation(n, scope); };
    }

    static auto threads() {
        return [](long n) { return FailNthThreadCreation(static_cast<int>(n)); };
    }

    // Opening failed: nothing is left open, registered, scheduled or alive.
    void expectNothingOpen(AbstractHidDevice* device) {
        EXPECT_FALSE(device->isOpened());
        EXPECT_EQ(0, gadget.openCount());
        EXPECT_EQ(0, gadget.deviceObjectCount());
        EXPECT_FALSE(gadget.isScheduled());
        EXPECT_FALSE(gadget.inputCallbackRegistered() || gadget.removalCallbackRegistered());
    }

    // The record of a transfer that ran: what it gives in full, or a failure for
    // the want of memory (or of a thread, when `mayLackThread`).
    static void expectTransfer(const hidutil::async_request<Result>& request,
                               const Result& complete, bool mayLackThread) {
        ASSERT_TRUE(request.is_ready()) << "a transfer stayed pending";
        const std::string got = record(request.value());
        const auto failure = [&](IOReturn code) {
            return record({false, -1, complete.buffer, complete.reportId, widened(code)});
        };
        EXPECT_TRUE(got == record(complete) || got == failure(kIOReturnNoMemory) ||
                    (mayLackThread && got == failure(kIOReturnNoResources)))
            << got;
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
    enum class Fails { Before, LengthError, BadAlloc, SystemError };
    const auto open = [this](void (*set)(vmac::OpenFaults&)) {
        return [this, set] {
            vmac::OpenFaults faults;
            set(faults);
            gadget.setOpenFaults(faults);
        };
    };
    const auto call = [](vmac::Call c) { return [c] { vmac::failCalls(fault(c)); }; };
    const struct {
        const char* name;
        std::function<void()> arm;
        Fails fails;
        int64_t status = 0;  // lastOpenStatus() after an open that answered false
    } steps[] = {
        {"CreateReturnsNull", open([](vmac::OpenFaults& f) { f.createReturnsNull = true; }),
         Fails::Before, widened(kIOReturnNoDevice)},
        {"ParentLookupFails",
         open([](vmac::OpenFaults& f) { f.parentLookupResult = kIOReturnNotAttached; }),
         Fails::Before, widened(kIOReturnNotAttached)},
        {"PlugInCreationFails",
         open([](vmac::OpenFaults& f) { f.plugInResult = kIOReturnNoResources; }), Fails::Before,
         widened(kIOReturnNoResources)},
        {"PlugInNull", open([](vmac::OpenFaults& f) { f.plugInNull = true; }), Fails::Before,
         widened(kIOReturnError)},
        {"QueryInterfaceNegative", open([](vmac::OpenFaults& f) { f.queryResult = E_NOINTERFACE; }),
         Fails::Before, int64_t{E_NOINTERFACE}},
        {"QueryInterfaceNull", open([](vmac::OpenFaults& f) { f.queryReturnsNull = true; }),
         Fails::Before, widened(kIOReturnError)},
        {"DeviceOpenFails",
         open([](vmac::OpenFaults& f) { f.openResult = kIOReturnNotPrivileged; }), Fails::Before,
         widened(kIOReturnNotPrivileged)},
        {"NegativeInputReportSize", [this] { gadget.setNumberProperty("MaxInputReportSize", -1); },
         Fails::LengthError},
        {"RunLoopSourceCreate", call(vmac::Call::RunLoopSourceCreate), Fails::BadAlloc},
        {"StringCreateWithCString", call(vmac::Call::StringCreateWithCString), Fails::BadAlloc},
        {"WorkerThread", [] {}, Fails::SystemError},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.fails == Fails::SystemError && !FailNthThreadCreation::works()) {
            continue;  // a sanitizer runtime intercepts pthread_create first
        }
        const bool afterOpen = step.fails != Fails::Before;
        const auto openFails = [&](AbstractHidDevice* device, int shareMode) {
            step.arm();
            if (step.fails == Fails::Before) {
                EXPECT_FALSE(device->open(0, shareMode));
                EXPECT_EQ(step.status, static_cast<MacHidDevice*>(device)->lastOpenStatus());
            } else if (step.fails == Fails::LengthError) {
                EXPECT_THROW(device->open(0, shareMode), std::length_error);
            } else if (step.fails == Fails::BadAlloc) {
                EXPECT_THROW(device->open(0, shareMode), std::bad_alloc);
            } else {
                FailNthThreadCreation failing(1);
                EXPECT_THROW(device->open(0, shareMode), std::system_error);
                EXPECT_TRUE(failing.hit());
            }
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

// Every property read answers NULL, or a value of the wrong type: the device
// opens with zeros and empty strings, as for a device without those properties.
TEST_F(FaultsTest, PropertiesMissingOrOfTheWrongTypeReadAsNothing) {
    auto text = vmac::makeString("not a number");
    auto number = vmac::makeNumber(42);
    for (CFTypeRef answer : {CFTypeRef(nullptr), CFTypeRef(text), CFTypeRef(number)}) {
        AbstractHidDevice* device = makeDevice();
        vmac::CallFault everyRead = fault(vmac::Call::GetProperty, -1);
        everyRead.value = answer;
        gadget.failCalls(everyRead);
        ASSERT_TRUE(device->open(0, 1));
        EXPECT_EQ(std::vector<int>(5, answer == number ? 42 : 0), numbersOf(device));
        const StrResult product = await(device->productName());
        EXPECT_TRUE(product.success);
        EXPECT_EQ(answer == text ? L"not a number" : L"", product.value);
        EXPECT_EQ(product.value, await(device->serialNumber()).value);
        gadget.clearCallFaults();
        EXPECT_TRUE(device->close());
        destroyDevice(device);
    }
    CFRelease(text);
    CFRelease(number);
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

// Each thread a device starts is refused in turn, outside opening (above):
// creating the device makes none; the first set transfer starts the request
// queue's thread (refused: it throws std::system_error, nothing queued) and its
// sender (refused: it answers "no resources"); neither calls the platform.
TEST_F(FaultsTest, EachThreadRefusedInTurn) {
    if (!FailNthThreadCreation::works()) {
        GTEST_SKIP() << "pthread_create cannot be interposed in this build (a sanitizer "
                        "runtime intercepts it first)";
    }
    const HidDeviceDescriptor descriptor = makeDevice()->descriptor();
    const long createThreads = walk(
        threads(),
        [&] { std::unique_ptr<AbstractHidDevice>(AbstractHidDevice::create(descriptor)); },
        [](bool) {});
    EXPECT_EQ(0, createThreads);

    AbstractHidDevice* device = openDevice();
    ReportBuffer report = bytes(Bytes(64, 1));
    Result result;
    bool threw = false;
    const long setThreads = walk(
        threads(),
        [&] {
            threw = throws<std::system_error>(
                [&] { result = await(device->setReport(5, report, 1000)); });
        },
        [&](bool hit) {
            if (threw) {
                EXPECT_TRUE(hit);
                EXPECT_TRUE(gadget.reportCalls().empty());
            } else if (hit) {
                EXPECT_EQ(record({false, -1, report, 5, widened(kIOReturnNoResources)}),
                          record(result));
                EXPECT_TRUE(gadget.reportCalls().empty());
            } else {
                EXPECT_EQ(record({true, 64, report, 5, 0}), record(result));
            }
        });
    EXPECT_EQ(2, setThreads);
}

// ---- Allocations -----------------------------------------------------------

// Each transfer throws std::bad_alloc or answers: in full, or for the want of
// memory (a set transfer also for the want of a sender thread).
TEST_F(FaultsTest, TransfersThrowOrAnswerAtEachAllocation) {
    AbstractHidDevice* device = openDevice();
    ReportBuffer out = bytes(Bytes(64, 2));
    ReportBuffer feature = bytes(Bytes(16, 3));
    ReportBuffer in = bytes(Bytes(64));
    const struct {
        const char* name;
        std::function<hidutil::async_request<Result>()> start;
        Result complete;
        bool isSet;
    } transfers[] = {
        {"setReport", [&] { return device->setReport(5, out, 5000); }, {true, 64, out, 5, 0}, true},
        {"setFeature",
         [&] { return device->setFeature(6, feature); },
         {true, 16, feature, 6, 0},
         true},
        {"getFeature",
         [&] { return device->getFeature(4, feature); },
         {true, 0, feature, 4, 0},  // the gadget answers success with no bytes
         false},
        {"getReport", [&] { return device->getReport(in, 0); }, {true, 2, in, 0, 0}, false},
    };
    inject(gadget, 1, {1, 2});
    for (const auto& transfer : transfers) {
        SCOPED_TRACE(transfer.name);
        bool threw = false;
        auto request = hidutil::make_ready_request(Result{});
        const long steps = walk(
            allocations(AllocationScope::AnyThread),
            [&] {
                threw = throws<std::bad_alloc>([&] { request = transfer.start(); });
                if (!threw) {
                    request.wait_for(kPatience);
                }
            },
            [&](bool) {
                if (!threw) {
                    expectTransfer(request, transfer.complete, transfer.isSet);
                }
                // One report queued for each run (the test's own allocations stay outside it).
                while (!readQueued(device).empty()) {
                }
                inject(gadget, 1, {1, 2});
            });
        // A set transfer allocates its state and its operation; the first one also its sender.
        EXPECT_GT(steps, transfer.isSet ? 2 : 0);
    }
}

// The cached strings are answered at once on the calling thread, in full, or
// throw; a USB string request throws or answers, in full or for want of memory.
TEST_F(FaultsTest, StringRequestsThrowOrAnswerAtEachAllocation) {
    const std::wstring usbText = L"A USB string long enough to need memory of its own";
    gadget.setStringDescriptorText(1, u"A USB string long enough to need memory of its own");
    AbstractHidDevice* device = openDevice();
    const struct {
        std::function<hidutil::async_request<StrResult>()> start;
        std::wstring value;
        bool queued;
    } calls[] = {
        {[&] { return device->manufacturerName(); }, L"Quenor Test Works", false},
        {[&] { return device->productName(); }, L"Echo Gadget", false},
        {[&] { return device->serialNumber(); }, L"QT-0001", false},
        {[&] { return device->usbString(1); }, usbText, true},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(std::string(call.value.begin(), call.value.end()));
        bool threw = false;
        auto request = hidutil::make_ready_request(StrResult{});
        walk(
            allocations(call.queued ? AllocationScope::AnyThread : AllocationScope::CallingThread),
            [&] {
                threw = throws<std::bad_alloc>([&] { request = call.start(); });
                if (!threw && call.queued) {
                    request.wait_for(kPatience);
                }
            },
            [&](bool) {
                if (threw) {
                    return;
                }
                ASSERT_TRUE(request.is_ready()) << "a string request stayed pending";
                const StrResult& r = request.value();
                if (r.success || !call.queued) {
                    EXPECT_TRUE(r.success);
                    EXPECT_EQ(call.value, r.value);
                } else {
                    EXPECT_EQ(widened(kIOReturnNoMemory), r.status);
                }
            });
    }
}

// Open either succeeds or throws std::bad_alloc with everything as it was: a
// first open leaves nothing behind, a reopen keeps the previous open.
TEST_F(FaultsTest, OpenThrowsOrSucceedsAtEachAllocationAndCloseNeedsNoMemory) {
    AbstractHidDevice* device = makeDevice();
    device->setReportFilteringEnabled(true);
    gadget.addElement({0xFF00, 1, 3});
    const long objects = vmac::liveObjectCount();
    bool threw = false;
    bool opened = false;
    const auto attemptOpen = [&] {
        threw = throws<std::bad_alloc>([&] { opened = device->open(0, 1); });
    };
    const long openAllocations =
        walk(allocations(AllocationScope::AnyThread), attemptOpen, [&](bool) {
            if (threw) {
                expectNothingOpen(device);
            } else {
                EXPECT_TRUE(opened);
                EXPECT_EQ(1, device->usage());
                EXPECT_TRUE(device->close());
            }
            EXPECT_EQ(objects, vmac::liveObjectCount());
        });
    EXPECT_GT(openAllocations, 5);

    ASSERT_TRUE(device->open(0, 1));
    walk(allocations(AllocationScope::AnyThread), attemptOpen, [&](bool) {
        EXPECT_TRUE(device->isOpened());
        EXPECT_EQ(1, gadget.openCount());
        EXPECT_EQ(1, gadget.deviceObjectCount());
        // Filtered, unless no memory could be had for the list of report IDs:
        // then, as for every failure to build it, every report is accepted.
        inject(gadget, 3, {3});
        EXPECT_EQ(Bytes{3}, readQueued(device));
    });

    EXPECT_EQ(0, walk(
                     allocations(AllocationScope::AnyThread), [&] { opened = device->close(); },
                     [&](bool) { EXPECT_TRUE(opened); }));
    expectNothingOpen(device);
}

}  // namespace
}  // namespace devicetest
