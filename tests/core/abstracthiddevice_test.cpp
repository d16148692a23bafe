// The device contract through a test device: forwarding fronts, the report pool's reuse rule
// (also under concurrent callers) and the default operations.
#include <quenor/abstracthiddevice.h>
#include <quenor/mac/macdevicedescriptorhandle.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using ReportType = AbstractHidDevice::ReportType;

// Answers the pure operations trivially and records what the fronts hand to the hooks.
class TestDevice : public AbstractHidDevice {
public:
    explicit TestDevice(const HidDeviceDescriptor& descriptor = HidDeviceDescriptor()) {
        m_descriptor = descriptor;
    }

    bool isOpened() const override { return false; }
    void* nativeHandle() const override { return nullptr; }
    hidutil::async_request<AsyncOpResult> setReport(unsigned char, const ReportBuffer& report,
                                                    long) override {
        return makeDefaultFailFuture(report, 0, 0);
    }
    hidutil::async_request<AsyncOpResult> getReport(const ReportBuffer& report, long) override {
        return makeDefaultFailFuture(report, 0, 0);
    }
    void cancelAll() override {}
    int usage() const override { return 0; }
    int usagePage() const override { return 0; }
    LinkCollectionNode* linkCollection() override { return nullptr; }
    uint16_t usbDeviceVersion() const override { return 0; }
    int reportSize(ReportType type) override {
        return type == Input ? 8 : type == Output ? 16 : type == Feature ? 32 : 0;
    }

    // What the hooks saw.
    int openAccessMode = -1;
    int openShareMode = -1;
    const HidDeviceDescriptor* openDescriptor = nullptr;
    bool openAnswer = true;
    bool closeAnswer = true;
    std::atomic<int> allocations{0};
    bool failNextAllocation = false;

protected:
    bool open_impl(int accessMode, int shareMode, const HidDeviceDescriptor& descriptor) override {
        openAccessMode = accessMode;
        openShareMode = shareMode;
        openDescriptor = &descriptor;
        return openAnswer;
    }
    bool close_impl() override { return closeAnswer; }
    ReportBuffer allocateReport_impl(ReportType type) override {
        if (failNextAllocation) {
            failNextAllocation = false;
            throw std::bad_alloc();
        }
        ++allocations;
        return std::make_shared<std::vector<uint8_t>>(reportSize(type), 0);
    }

public:
    // The stored descriptor itself, to check that open_impl receives it and not a copy.
    const HidDeviceDescriptor* storedDescriptor() const { return &m_descriptor; }
};

HidDeviceDescriptor macDescriptor() {
    return HidDeviceDescriptor(new MacDeviceDescriptorHandle(L"IOService:/A/B", 1));
}

const char kNotSupported[] = "Not supported by current implementation.\n";

}  // namespace

TEST(AbstractHidDevice, OpenAndCloseForwardToTheHooksWithTheStoredDescriptor) {
    HidDeviceDescriptor named = macDescriptor();
    TestDevice device(named);
    EXPECT_TRUE(device.open(7, 0));
    EXPECT_EQ(device.openAccessMode, 7);
    EXPECT_EQ(device.openShareMode, 0);
    EXPECT_EQ(device.openDescriptor, device.storedDescriptor());

    device.openAnswer = false;
    EXPECT_FALSE(device.open(1, 2));
    EXPECT_EQ(device.openShareMode, 2);

    EXPECT_TRUE(device.close());
    device.closeAnswer = false;
    EXPECT_FALSE(device.close());
}

TEST(AbstractHidDevice, DescriptorIsACopySharingTheHandle) {
    HidDeviceDescriptor named = macDescriptor();
    TestDevice device(named);
    EXPECT_EQ(device.descriptor().handle().get(), named.handle().get());
    EXPECT_TRUE(device.descriptor() == named);
    EXPECT_FALSE(TestDevice().descriptor());
}

TEST(AbstractHidDevice, FirstAllocationIsAZeroFilledBufferOfTheReportSize) {
    TestDevice device;
    ReportBuffer output = device.allocateReport(ReportType::Output);
    ASSERT_TRUE(output);
    EXPECT_EQ(*output, std::vector<uint8_t>(16, 0));
    EXPECT_EQ(device.allocations, 1);
    EXPECT_EQ(output.use_count(), 2) << "the pool keeps one reference";
}

TEST(AbstractHidDevice, PoolReusesTheOldestFreeBufferAsLeft) {
    TestDevice device;
    ReportBuffer first = device.allocateReport(ReportType::Output);
    ReportBuffer second = device.allocateReport(ReportType::Output);
    ReportBuffer third = device.allocateReport(ReportType::Output);
    EXPECT_NE(first, second);
    EXPECT_EQ(device.allocations, 3);

    std::vector<uint8_t>* firstBytes = first.get();
    std::vector<uint8_t>* thirdBytes = third.get();
    (*first)[0] = 0xAB;
    first->resize(3);
    third.reset();
    first.reset();

    // Both are free; the older one wins, untouched: no clearing, no resizing.
    ReportBuffer again = device.allocateReport(ReportType::Output);
    EXPECT_EQ(again.get(), firstBytes);
    EXPECT_EQ(*again, (std::vector<uint8_t>{0xAB, 0, 0}));
    EXPECT_EQ(device.allocateReport(ReportType::Output).get(), thirdBytes);
    EXPECT_EQ(device.allocations, 3);
}

TEST(AbstractHidDevice, KeptResultRecordKeepsItsBufferOutOfReuse) {
    TestDevice device;
    ReportBuffer buffer = device.allocateReport(ReportType::Feature);
    std::vector<uint8_t>* bytes = buffer.get();
    auto request = AbstractHidDevice::makeDefaultFailFuture(buffer, 1, 0);  // refers to it
    buffer.reset();

    ReportBuffer other = device.allocateReport(ReportType::Feature);
    EXPECT_NE(other.get(), bytes);

    request = AbstractHidDevice::makeDefaultFailFuture(nullptr, 0, 0);
    other.reset();
    EXPECT_EQ(device.allocateReport(ReportType::Feature).get(), bytes);
}

TEST(AbstractHidDevice, ReportTypesHaveSeparatePools) {
    TestDevice device;
    ReportBuffer input = device.allocateReport(ReportType::Input);
    std::vector<uint8_t>* inputBytes = input.get();
    input.reset();
    ReportBuffer feature = device.allocateReport(ReportType::Feature);
    EXPECT_NE(feature.get(), inputBytes);
    EXPECT_EQ(feature->size(), 32u);
    EXPECT_EQ(device.allocateReport(ReportType::Input).get(), inputBytes);
    // Values outside the enumeration pass through to the hooks and get a pool of their own.
    EXPECT_EQ(device.allocateReport(static_cast<ReportType>(9))->size(), 0u);
}

TEST(AbstractHidDevice, FailedAllocationPropagatesAndLeavesThePoolUsable) {
    TestDevice device;
    ReportBuffer held = device.allocateReport(ReportType::Input);
    device.failNextAllocation = true;
    EXPECT_THROW(device.allocateReport(ReportType::Input), std::bad_alloc);
    // The mutex was released and the pool kept its one buffer.
    std::vector<uint8_t>* heldBytes = held.get();
    held.reset();
    EXPECT_EQ(device.allocateReport(ReportType::Input).get(), heldBytes);
}

TEST(AbstractHidDevice, ConcurrentCallersNeverShareABufferAndThePoolStaysMinimal) {
    TestDevice device;
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::mutex inUseMutex;
    std::set<std::vector<uint8_t>*> inUse;  // guarded by inUseMutex
    std::atomic<int> sharedHandOuts{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                ReportBuffer buffer = device.allocateReport(ReportType::Output);
                {
                    std::lock_guard<std::mutex> lock(inUseMutex);
                    if (!inUse.insert(buffer.get()).second) {
                        ++sharedHandOuts;
                    }
                }
                // Writing the buffer while another caller holds it is also a data race that
                // ThreadSanitizer reports.
                (*buffer)[0] = static_cast<uint8_t>(t);
                std::this_thread::yield();
                EXPECT_EQ((*buffer)[0], t);
                {
                    std::lock_guard<std::mutex> lock(inUseMutex);
                    inUse.erase(buffer.get());
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(sharedHandOuts, 0);
    // Each caller holds at most one buffer at a time, so the pool never needs more.
    EXPECT_LE(device.allocations, kThreads);
}

TEST(AbstractHidDevice, DefaultFeatureCallsReportNotSupportedAndFailAtOnce) {
    TestDevice device;
    ReportBuffer buffer = std::make_shared<std::vector<uint8_t>>(4, 0);

    testing::internal::CaptureStderr();
    auto set = device.setFeature(5, buffer);
    auto get = device.getFeature(6, buffer);
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(written, std::string(kNotSupported) + kNotSupported);

    ASSERT_TRUE(set.is_ready());
    const AbstractHidDevice::AsyncOpResult& s = set.value();
    EXPECT_FALSE(s.success);
    EXPECT_EQ(s.bytesTransferred, 0);
    EXPECT_EQ(s.buffer, buffer) << "the very buffer passed in, not a copy";
    EXPECT_EQ(s.reportId, 5);
    EXPECT_EQ(s.status, 0);

    ASSERT_TRUE(get.is_ready());
    EXPECT_FALSE(get.value().success);
    EXPECT_EQ(get.value().buffer, buffer);
    EXPECT_EQ(get.value().reportId, 6);
}

TEST(AbstractHidDevice, DefaultStringRequestsFailSilently) {
    TestDevice device;
    testing::internal::CaptureStderr();
    std::vector<hidutil::async_request<AbstractHidDevice::AsyncStrReqResult>> requests{
        device.manufacturerName(), device.productName(), device.serialNumber(),
        device.usbString(0),       device.usbString(-7), device.usbString(255)};
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    for (const auto& request : requests) {
        ASSERT_TRUE(request.is_ready());
        EXPECT_FALSE(request.value().success);
        EXPECT_EQ(request.value().value, L"");
        EXPECT_EQ(request.value().status, 0);
    }
}

TEST(AbstractHidDevice, DefaultSwitchesDoNothing) {
    TestDevice device;
    device.setReportFilteringEnabled(true);
    EXPECT_FALSE(device.isReportFilteringEnabled());
    device.setDoAsync(true);
}

TEST(AbstractHidDevice, DefaultFailFutureCarriesTheStatusWithItsSign) {
    ReportBuffer buffer = std::make_shared<std::vector<uint8_t>>(2, 0);
    testing::internal::CaptureStderr();
    auto request =
        AbstractHidDevice::makeDefaultFailFuture(buffer, 0, -536870212);  // kIOReturnError
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(request.is_ready());
    EXPECT_FALSE(request.value().success);
    EXPECT_EQ(request.value().bytesTransferred, 0);
    EXPECT_EQ(request.value().buffer, buffer);
    EXPECT_EQ(request.value().reportId, 0);
    EXPECT_EQ(request.value().status, -536870212);
}
