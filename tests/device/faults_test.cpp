// Faults beyond opening: each platform call the device makes fails in turn (a
// property read answering NULL or a wrong type, element matching, the creation
// calls, the USB interface, closing), threads cannot be had, and every
// allocation of each operation fails in turn. Each time the device answers with
// its documented failure, releases everything exactly once and never hangs.
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "devicefixture.h"
#include "failingallocator.h"

namespace devicetest {
namespace {

using StrResult = AbstractHidDevice::AsyncStrReqResult;

vmac::CallFault fault(vmac::Call call, int count = 1, IOReturn result = kIOReturnError) {
    vmac::CallFault f;
    f.call = call;
    f.count = count;
    f.result = result;
    return f;
}

class FaultsTest : public GadgetTest {
protected:
    // Opening failed: nothing is left open, registered, scheduled or alive.
    void expectNothingOpen(AbstractHidDevice* device) {
        EXPECT_FALSE(device->isOpened());
        EXPECT_EQ(0, gadget.openCount());
        EXPECT_EQ(0, gadget.deviceObjectCount());
        EXPECT_FALSE(gadget.isScheduled());
    }
};

// ---- Platform calls --------------------------------------------------------

// The worker's stop source cannot be made: without it the run loop could never
// be left. The open is undone on the opening thread, the device never scheduled.
TEST_F(FaultsTest, NoStopSourceUndoesTheOpen) {
    AbstractHidDevice* device = makeDevice();
    vmac::failCalls(fault(vmac::Call::RunLoopSourceCreate));
    EXPECT_THROW(device->open(0, 1), std::bad_alloc);
    EXPECT_EQ(0, vmac::pendingCallFaults(vmac::Call::RunLoopSourceCreate));
    expectNothingOpen(device);
    EXPECT_FALSE(gadget.inputCallbackRegistered() || gadget.removalCallbackRegistered());
    EXPECT_EQ(std::vector<IOOptionBits>{kIOHIDOptionsTypeNone}, gadget.closeCalls());
    ASSERT_TRUE(device->open(0, 1));
    inject(gadget, 1, {7});
    EXPECT_EQ(Bytes{7}, readQueued(device));
}

TEST_F(FaultsTest, NoModeNameUndoesTheOpen) {
    AbstractHidDevice* device = makeDevice();
    vmac::failCalls(fault(vmac::Call::StringCreateWithCString));
    EXPECT_THROW(device->open(0, 0), std::bad_alloc);
    expectNothingOpen(device);
    EXPECT_EQ(std::vector<IOOptionBits>{kIOHIDOptionsTypeSeizeDevice}, gadget.closeCalls());
    EXPECT_TRUE(device->open(0, 0));
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
        const int expectedSize = answer == number ? 42 : 0;
        EXPECT_EQ(answer == number ? 42 : 0, device->usage());
        EXPECT_EQ(expectedSize, device->reportSize(AbstractHidDevice::ReportType::Output));
        EXPECT_EQ(expectedSize, device->reportSize(AbstractHidDevice::ReportType::Input));
        const StrResult product = await(device->productName());
        EXPECT_TRUE(product.success);
        EXPECT_EQ(answer == text ? L"not a number" : L"", product.value);
        gadget.clearCallFaults();
        EXPECT_TRUE(device->close());
        destroyDevice(device);
    }
    CFRelease(text);
    CFRelease(number);
}

// The private object and the cached record read "MaxInputReportSize" apart: a
// read that fails for the first alone leaves a buffer of no bytes, and the
// reports arrive empty rather than overrunning it.
TEST_F(FaultsTest, AnInputSizeMissingForTheBufferOnlyGivesEmptyReports) {
    vmac::CallFault once = fault(vmac::Call::GetProperty);
    once.key = "MaxInputReportSize";
    gadget.failCalls(once);
    AbstractHidDevice* device = openDevice();
    EXPECT_EQ(64, device->reportSize(AbstractHidDevice::ReportType::Input));
    inject(gadget, 1, {1, 2, 3});
    ReportBuffer buffer = bytes(Bytes(64));
    EXPECT_EQ(record({false, -1, buffer, 0, 0}), record(await(device->getReport(buffer, 0))));
}

// The element list cannot be built (no dictionary, no number, no elements):
// filtering then accepts every report, as documented.
TEST_F(FaultsTest, AFilterThatCannotBeBuiltAcceptsEveryReport) {
    gadget.addElement({0xFF00, 1, 3});
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

TEST_F(FaultsTest, UsbInterfaceFailuresGiveTheirFailureAnswers) {
    AbstractHidDevice* device = openDevice();
    gadget.setStringDescriptorText(1, u"Hi");
    gadget.setNumEndpoints(2);

    gadget.failCalls(fault(vmac::Call::GetDeviceReleaseNumber, 1, kIOReturnNoDevice));
    EXPECT_EQ(0, device->usbDeviceVersion());
    EXPECT_EQ(0x0100, device->usbDeviceVersion());

    gadget.failCalls(fault(vmac::Call::ControlRequest, 1, kIOReturnNoDevice));
    const StrResult failed = await(device->usbString(1));
    EXPECT_FALSE(failed.success);
    EXPECT_EQ(widened(kIOReturnNoDevice), failed.status);
    EXPECT_EQ(L"Hi", await(device->usbString(1)).value);

    gadget.failCalls(fault(vmac::Call::GetNumEndpoints, 1, kIOReturnNoDevice));
    device->cancelAll();
    EXPECT_EQ(1u, gadget.pipeCalls().size());  // the string request that got through
    // One pipe call failing does not stop the others.
    gadget.failCalls(fault(vmac::Call::AbortPipe, 1, kIOReturnNoDevice));
    gadget.failCalls(fault(vmac::Call::ClearPipeStallBothEnds, 1, kIOReturnNoDevice));
    device->cancelAll();
    const std::vector<vmac::PipeCall> calls = gadget.pipeCalls();
    ASSERT_EQ(3u, calls.size());  // those of pipe 1 failed, unlogged
    EXPECT_EQ(vmac::PipeCallKind::AbortPipe, calls[1].kind);
    EXPECT_EQ(2, calls[1].pipe);
    EXPECT_EQ(vmac::PipeCallKind::ClearPipeStallBothEnds, calls[2].kind);
    EXPECT_EQ(2, calls[2].pipe);
}

// A close the platform refuses still ends the open: the released object closes.
TEST_F(FaultsTest, ARefusedPlatformCloseStillEndsTheOpen) {
    AbstractHidDevice* device = openDevice();
    gadget.failCalls(fault(vmac::Call::DeviceClose, 1, kIOReturnNotPermitted));
    EXPECT_TRUE(device->close());
    EXPECT_EQ(0, gadget.pendingCallFaults(vmac::Call::DeviceClose));
    EXPECT_FALSE(device->isOpened());
    EXPECT_EQ(0, gadget.openCount());
    EXPECT_EQ(0, gadget.deviceObjectCount());
    EXPECT_TRUE(device->open(0, 0));
}

// ---- Threads ---------------------------------------------------------------

class ThreadFaultsTest : public FaultsTest {
protected:
    void SetUp() override {
        FaultsTest::SetUp();
        if (!FailNthThreadCreation::works()) {
            GTEST_SKIP() << "pthread_create cannot be interposed in this build (a sanitizer "
                            "runtime intercepts it first)";
        }
    }
};

TEST_F(ThreadFaultsTest, ADeviceWithoutItsQueueThreadsIsNotCreated) {
    const HidDeviceDescriptor descriptor(new MacDeviceDescriptorHandle(
        std::wstring(kGadgetPath, kGadgetPath + std::string(kGadgetPath).size()), 0));
    for (int n : {1, 2}) {
        FailNthThreadCreation failing(n);
        EXPECT_THROW(delete AbstractHidDevice::create(descriptor), std::system_error);
        EXPECT_TRUE(failing.hit());
    }
}

TEST_F(ThreadFaultsTest, NoWorkerThreadUndoesTheOpen) {
    AbstractHidDevice* device = makeDevice();
    {
        FailNthThreadCreation failing(1);
        EXPECT_THROW(device->open(0, 1), std::system_error);
        EXPECT_TRUE(failing.hit());
    }
    expectNothingOpen(device);
    EXPECT_FALSE(gadget.inputCallbackRegistered() || gadget.removalCallbackRegistered());
    EXPECT_EQ(std::vector<IOOptionBits>{kIOHIDOptionsTypeNone}, gadget.closeCalls());
    EXPECT_TRUE(device->open(0, 1));
}

TEST_F(ThreadFaultsTest, NoSenderThreadAnswersNoResources) {
    AbstractHidDevice* device = openDevice();
    ReportBuffer report = bytes(Bytes(64, 1));
    {
        FailNthThreadCreation failing(1);
        const Result result = await(device->setReport(5, report, 1000));
        EXPECT_TRUE(failing.hit());
        EXPECT_EQ(record({false, -1, report, 5, widened(kIOReturnNoResources)}), record(result));
    }
    EXPECT_TRUE(gadget.reportCalls().empty());
    EXPECT_TRUE(await(device->setReport(5, report, 1000)).success);
}

// ---- Allocations -----------------------------------------------------------

class AllocationFaultsTest : public FaultsTest {
protected:
    static constexpr long kMostAllocations = 200;

    // Runs `attempt` with its n-th allocation failing, for n = 1, 2, ... until a
    // run no longer reaches the n-th; `check` judges each run outside the
    // failure's scope. Returns the allocations of the full run.
    template <typename Attempt, typename Check>
    long walk(AllocationScope scope, Attempt attempt, Check check) {
        for (long n = 1; n <= kMostAllocations; ++n) {
            SCOPED_TRACE(::testing::Message() << "allocation " << n);
            bool hit = false;
            {
                FailNthAllocation failing(n, scope);
                attempt();
                hit = failing.hit();
            }
            check(hit);
            if (!hit) {
                return n - 1;
            }
        }
        ADD_FAILURE() << "more than " << kMostAllocations << " allocations";
        return kMostAllocations;
    }

    // Starts a transfer, noting a std::bad_alloc instead; waits for it in scope.
    template <typename Start>
    static void attemptTransfer(Start start, bool& threw, hidutil::async_request<Result>& request) {
        threw = false;
        try {
            request = start();
        } catch (const std::bad_alloc&) {
            threw = true;
            return;
        }
        request.wait_for(kPatience);
    }

    // The record of a transfer that ran: what it gives in full, or a failure for
    // the want of memory (or of a thread, when `mayLackThread`).
    static void expectTransfer(const hidutil::async_request<Result>& request,
                               const Result& complete, bool mayLackThread) {
        ASSERT_TRUE(request.is_ready()) << "a transfer stayed pending";
        const Result& r = request.value();
        const Result noMemory{false, -1, complete.buffer, complete.reportId,
                              widened(kIOReturnNoMemory)};
        const Result noThread{false, -1, complete.buffer, complete.reportId,
                              widened(kIOReturnNoResources)};
        const std::string got = record(r);
        EXPECT_TRUE(got == record(complete) || got == record(noMemory) ||
                    (mayLackThread && got == record(noThread)))
            << got;
    }
};

TEST_F(AllocationFaultsTest, SetTransfersThrowOrAnswerEveryTime) {
    AbstractHidDevice* device = openDevice();
    ReportBuffer report = bytes(Bytes(64, 2));
    ReportBuffer feature = bytes(Bytes(16, 3));
    bool threw = false;
    auto request = hidutil::make_ready_request(Result{});
    const long setAllocations = walk(
        AllocationScope::AnyThread,
        [&] {
            attemptTransfer([&] { return device->setReport(5, report, 5000); }, threw, request);
        },
        [&](bool) {
            if (!threw) {
                expectTransfer(request, {true, 64, report, 5, 0}, true);
            }
        });
    EXPECT_GT(setAllocations, 3);
    walk(
        AllocationScope::AnyThread,
        [&] { attemptTransfer([&] { return device->setFeature(6, feature); }, threw, request); },
        [&](bool) {
            if (!threw) {
                expectTransfer(request, {true, 16, feature, 6, 0}, true);
            }
        });
}

TEST_F(AllocationFaultsTest, ReadsThrowOrAnswerEveryTime) {
    AbstractHidDevice* device = openDevice();
    ReportBuffer feature = bytes(Bytes(16));
    ReportBuffer input = bytes(Bytes(64));
    bool threw = false;
    auto request = hidutil::make_ready_request(Result{});
    walk(
        AllocationScope::AnyThread,
        [&] { attemptTransfer([&] { return device->getFeature(4, feature); }, threw, request); },
        [&](bool) {
            if (!threw) {
                expectTransfer(request, {true, 16, feature, 4, 0}, false);
            }
        });
    // One report queued for each run (the test's own allocations stay outside it).
    inject(gadget, 1, {1, 2});
    walk(
        AllocationScope::AnyThread,
        [&] { attemptTransfer([&] { return device->getReport(input, 0); }, threw, request); },
        [&](bool) {
            if (!threw) {
                expectTransfer(request, {true, 2, input, 0, 0}, false);
            }
            while (!readQueued(device).empty()) {
            }
            inject(gadget, 1, {1, 2});
        });
}

TEST_F(AllocationFaultsTest, StringRequestsThrowOrAnswerEveryTime) {
    gadget.setStringDescriptorText(1, u"A USB string long enough to need memory of its own");
    AbstractHidDevice* device = openDevice();
    using StringCall = hidutil::async_request<StrResult> (AbstractHidDevice::*)() const;
    const std::pair<StringCall, std::wstring> cached[] = {
        {&AbstractHidDevice::manufacturerName, L"Quenor Test Works"},
        {&AbstractHidDevice::productName, L"Echo Gadget"},
        {&AbstractHidDevice::serialNumber, L"QT-0001"}};
    bool threw = false;
    auto request = hidutil::make_ready_request(StrResult{});
    for (const auto& call : cached) {
        walk(
            AllocationScope::CallingThread,
            [&] {
                threw = false;
                try {
                    request = (device->*call.first)();
                } catch (const std::bad_alloc&) {
                    threw = true;
                }
            },
            [&](bool) {
                if (!threw) {
                    ASSERT_TRUE(request.is_ready());
                    EXPECT_TRUE(request.value().success);
                    EXPECT_EQ(call.second, request.value().value);
                }
            });
    }
    walk(
        AllocationScope::AnyThread,
        [&] {
            threw = false;
            try {
                request = device->usbString(1);
            } catch (const std::bad_alloc&) {
                threw = true;
                return;
            }
            request.wait_for(kPatience);
        },
        [&](bool) {
            if (threw) {
                return;
            }
            ASSERT_TRUE(request.is_ready()) << "a string request stayed pending";
            const StrResult& r = request.value();
            if (r.success) {
                EXPECT_EQ(L"A USB string long enough to need memory of its own", r.value);
            } else {
                EXPECT_EQ(widened(kIOReturnNoMemory), r.status);
            }
        });
}

// Open either succeeds or throws std::bad_alloc with everything as it was: a
// first open leaves nothing behind, a reopen keeps the previous open.
TEST_F(AllocationFaultsTest, OpenThrowsOrSucceedsEveryTimeAndCloseNeedsNoMemory) {
    AbstractHidDevice* device = makeDevice();
    device->setReportFilteringEnabled(true);
    gadget.addElement({0xFF00, 1, 3});
    const long objects = vmac::liveObjectCount();
    bool threw = false;
    bool opened = false;
    const long openAllocations = walk(
        AllocationScope::AnyThread,
        [&] {
            threw = false;
            try {
                opened = device->open(0, 1);
            } catch (const std::bad_alloc&) {
                threw = true;
            }
        },
        [&](bool) {
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
    walk(
        AllocationScope::AnyThread,
        [&] {
            threw = false;
            try {
                opened = device->open(0, 1);
            } catch (const std::bad_alloc&) {
                threw = true;
            }
        },
        [&](bool) {
            EXPECT_TRUE(device->isOpened());
            EXPECT_EQ(1, gadget.openCount());
            EXPECT_EQ(1, gadget.deviceObjectCount());
            // Filtered, unless no memory could be had for the list of report IDs:
            // then, as for every failure to build it, every report is accepted.
            inject(gadget, 3, {3});
            EXPECT_EQ(Bytes{3}, readQueued(device));
        });

    EXPECT_EQ(0, walk(
                     AllocationScope::AnyThread, [&] { opened = device->close(); },
                     [&](bool) { EXPECT_TRUE(opened); }));
    expectNothingOpen(device);
}

}  // namespace
}  // namespace devicetest
