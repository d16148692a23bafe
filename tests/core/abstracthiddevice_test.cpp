// The report pool and default feature calls of the device contract; the device tests do the rest.
#include <quenor/abstracthiddevice.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <set>
#include <thread>
#include <tuple>
#include <utility>

namespace {

using ReportType = AbstractHidDevice::ReportType;
using Bytes = std::vector<uint8_t>;

// Trivial answers to the pure operations (unused transfers abort); 8, 16 or 32-byte buffers.
class TestDevice : public AbstractHidDevice {
public:
    using Request = hidutil::async_request<AsyncOpResult>;
    bool isOpened() const override { return false; }
    void* nativeHandle() const override { return nullptr; }
    Request setReport(unsigned char, const ReportBuffer&, long) override { std::abort(); }
    Request getReport(const ReportBuffer&, long) override { std::abort(); }
    void cancelAll() override {}
    int usage() const override { return 0; }
    int usagePage() const override { return 0; }
    LinkCollectionNode* linkCollection() override { return nullptr; }
    uint16_t usbDeviceVersion() const override { return 0; }
    int reportSize(ReportType type) override { return 8 << type; }

    std::atomic<int> allocations{0};
    bool failNextAllocation = false;

protected:
    bool open_impl(int, int, const HidDeviceDescriptor&) override { return false; }
    bool close_impl() override { return false; }
    ReportBuffer allocateReport_impl(ReportType type) override {
        if (std::exchange(failNextAllocation, false)) {
            throw std::bad_alloc();
        }
        ++allocations;
        return std::make_shared<Bytes>(reportSize(type), 0);
    }
};

}  // namespace

TEST(AbstractHidDevice, PoolReusesTheOldestFreeBufferOfTheTypeAsItsLastUserLeftIt) {
    TestDevice device;
    ReportBuffer first = device.allocateReport(ReportType::Output);
    ReportBuffer second = device.allocateReport(ReportType::Output);
    Bytes *firstBytes = first.get(), *secondBytes = second.get();
    EXPECT_NE(firstBytes, secondBytes);
    auto request = AbstractHidDevice::makeDefaultFailFuture(first, 1, 0);  // a kept result record
    (*first)[0] = 0xAB;
    first->resize(3);
    first.reset();
    second.reset();
    EXPECT_EQ(device.allocateReport(ReportType::Output).get(), secondBytes) << "first is held";
    EXPECT_EQ(device.allocateReport(ReportType::Feature)->size(), 32u) << "not a free output";

    // Both free now; the older one wins, untouched: no clearing, no resizing.
    request = AbstractHidDevice::makeDefaultFailFuture(nullptr, 0, 0);
    ReportBuffer again = device.allocateReport(ReportType::Output);
    EXPECT_EQ(again.get(), firstBytes);
    EXPECT_EQ(*again, (Bytes{0xAB, 0, 0}));
    // A failure propagates, and leaves the pool intact and its mutex released.
    second = device.allocateReport(ReportType::Output);
    device.failNextAllocation = true;
    EXPECT_THROW(device.allocateReport(ReportType::Output), std::bad_alloc);
    second.reset();
    EXPECT_EQ(device.allocateReport(ReportType::Output).get(), secondBytes);
    EXPECT_EQ(device.allocations, 3);
}

TEST(AbstractHidDevice, ConcurrentCallersNeverShareABufferAndThePoolStaysMinimal) {
    TestDevice device;
    std::mutex inUseMutex;
    std::set<Bytes*> inUse;  // guarded by inUseMutex
    std::atomic<int> sharedHandOuts{0};
    auto caller = [&] {
        for (int round = 0; round < 2000; ++round) {
            ReportBuffer buffer = device.allocateReport(ReportType::Output);
            std::unique_lock<std::mutex> lock(inUseMutex);
            sharedHandOuts += !inUse.insert(buffer.get()).second;
            lock.unlock();
            // Writing a buffer that another caller holds is also a race ThreadSanitizer sees.
            (*buffer)[0] = static_cast<uint8_t>(round);
            std::this_thread::yield();
            lock.lock();
            inUse.erase(buffer.get());
        }
    };
    std::thread threads[] = {std::thread(caller), std::thread(caller), std::thread(caller)};
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(sharedHandOuts, 0);
    EXPECT_LE(device.allocations, 3) << "each caller holds one buffer at a time";
}

TEST(AbstractHidDevice, DefaultFeatureAndStringCallsFailAtOnceAndFilteringStaysOff) {
    TestDevice device;
    ReportBuffer buffer = std::make_shared<Bytes>(4, 0);
    for (auto [request, reportId] : {std::make_pair(device.setFeature(5, buffer), 5),
                                     std::make_pair(device.getFeature(6, buffer), 6)}) {
        ASSERT_TRUE(request.is_ready());
        const AbstractHidDevice::AsyncOpResult& r = request.value();
        // The very buffer passed in, not a copy; no status: the platform was never asked.
        EXPECT_EQ(std::make_tuple(r.success, r.bytesTransferred, r.buffer, r.reportId, r.status),
                  std::make_tuple(false, 0, buffer, reportId, 0));
    }
    for (const auto& request : {device.manufacturerName(), device.productName(),
                                device.serialNumber(), device.usbString(0), device.usbString(-7)}) {
        ASSERT_TRUE(request.is_ready());
        EXPECT_TRUE(!request.value().success && request.value().value.empty());
        EXPECT_EQ(request.value().status, 0);
    }
    device.setReportFilteringEnabled(true);
    EXPECT_FALSE(device.isReportFilteringEnabled());
}
