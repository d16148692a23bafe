// The one-shot result channel: readiness, waking, value lifetime and the double-fulfil abort.
#include <quenor/async_request>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using hidutil::async_request;
using hidutil::promise;
using hidutil::internal::notification_object;
using namespace std::chrono_literals;

namespace {

// Generous enough never to expire on a loaded machine; only reached when something is broken.
constexpr long kGenerousMs = 10000;

// Counts live instances, to see when the state frees the value it holds.
struct Counted {
    static std::atomic<int> live;
    int payload;
    explicit Counted(int p) : payload(p) { ++live; }
    Counted(const Counted& other) : payload(other.payload) { ++live; }
    ~Counted() { --live; }
};
std::atomic<int> Counted::live{0};

}  // namespace

TEST(AsyncRequest, HandleTakenBeforeFulfilmentSeesTheValue) {
    promise<std::string> producer;
    async_request<std::string> request = producer.get_request();
    async_request<std::string> copy = request;
    EXPECT_FALSE(request.is_ready());

    producer.set_value("report");

    EXPECT_TRUE(request.is_ready());
    EXPECT_TRUE(copy.is_ready());
    EXPECT_EQ(request.value(), "report");
    EXPECT_EQ(&request.value(), &copy.value()) << "copies share one state";
}

TEST(AsyncRequest, ValueOfPendingRequestThrows) {
    promise<int> producer;
    async_request<int> request = producer.get_request();
    EXPECT_THROW(request.value(), std::logic_error);
}

TEST(AsyncRequest, ValueOutlivesPromiseAndIsFreedWithLastHandle) {
    ASSERT_EQ(Counted::live, 0);
    {
        auto request = [] {
            promise<Counted> producer;
            auto handle = producer.get_request();
            producer.set_value(Counted(7));
            return handle;
        }();
        EXPECT_EQ(Counted::live, 1) << "only the state's own copy should remain";
        EXPECT_EQ(request.value().payload, 7);
    }
    EXPECT_EQ(Counted::live, 0);
}

TEST(AsyncRequest, PromiseDestroyedUnfulfilledLeavesHandlePending) {
    auto request = [] {
        promise<int> producer;
        return producer.get_request();
    }();
    EXPECT_FALSE(request.wait_for(0L));
    EXPECT_FALSE(request.wait_for(1ms));
    EXPECT_FALSE(request.is_ready());
    EXPECT_THROW(request.value(), std::logic_error);
}

TEST(AsyncRequest, WaitOnReadyRequestReturns) {
    promise<int> producer;
    auto request = producer.get_request();
    producer.set_value(1);
    request.wait();
    EXPECT_TRUE(request.wait_for(0L));
    EXPECT_TRUE(request.wait_for(-5L));
    EXPECT_TRUE(request.wait_for(std::chrono::hours::max()));
}

TEST(AsyncRequest, EveryBlockedWaiterWakesAndSeesTheValue) {
    promise<std::vector<int>> producer;
    auto request = producer.get_request();
    constexpr int kWaiters = 4;
    std::atomic<int> blocked{0};
    std::vector<std::future<int>> sums;
    for (int i = 0; i < kWaiters; ++i) {
        sums.push_back(std::async(std::launch::async, [request, &blocked] {
            ++blocked;
            request.wait();
            int sum = 0;
            for (int v : request.value()) {
                sum += v;
            }
            return sum;
        }));
    }
    // Fulfilling before every waiter has blocked is fine too; this only makes the blocked case
    // the likely one.
    while (blocked < kWaiters) {
        std::this_thread::yield();
    }
    producer.set_value({1, 2, 3, 4});
    for (auto& sum : sums) {
        ASSERT_EQ(sum.wait_for(std::chrono::milliseconds(kGenerousMs)), std::future_status::ready);
        EXPECT_EQ(sum.get(), 10);
    }
}

TEST(AsyncRequest, ReaderPollingReadinessSeesTheWholeValue) {
    // Without the ordering between the value and is_ready, ThreadSanitizer reports a race here
    // and a plain build may read a half-built string.
    for (int round = 0; round < 200; ++round) {
        promise<std::string> producer;
        auto request = producer.get_request();
        std::thread reader([request] {
            while (!request.is_ready()) {
                std::this_thread::yield();
            }
            EXPECT_EQ(request.value(), std::string(64, 'x'));
        });
        producer.set_value(std::string(64, 'x'));
        reader.join();
    }
}

TEST(AsyncRequest, TimedWaitReturnsTrueWhenFulfilledMeanwhile) {
    promise<int> producer;
    auto request = producer.get_request();
    std::thread fulfiller([&producer] { producer.set_value(5); });
    EXPECT_TRUE(request.wait_for(std::chrono::milliseconds(kGenerousMs)));
    EXPECT_EQ(request.value(), 5);
    fulfiller.join();
}

TEST(AsyncRequest, TimedWaitOnPendingRequestLastsAtLeastTheTimeout) {
    promise<int> producer;
    auto request = producer.get_request();

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(request.wait_for(50L));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);

    // A microsecond is rounded up to a whole millisecond, not down to no wait at all.
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(request.wait_for(1us));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1ms);

    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(request.wait_for(std::chrono::duration<double, std::milli>(2.5)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2500us);
}

TEST(NotificationObject, TimedWaitOnSignalledObjectDoesNotCallPredicate) {
    notification_object signal;
    signal.notify_all();
    int calls = 0;
    signal.wait_for_impl(kGenerousMs, [&calls] {
        ++calls;
        return false;
    });
    EXPECT_EQ(calls, 0);
    // Not even an empty predicate is touched.
    EXPECT_NO_THROW(signal.wait_for_impl(kGenerousMs, std::function<bool()>()));
}

TEST(NotificationObject, TimedWaitWithoutSignalNeverCallsPredicate) {
    notification_object signal;
    EXPECT_NO_THROW(signal.wait_for_impl(0, std::function<bool()>()));
    EXPECT_NO_THROW(signal.wait_for_impl(5, std::function<bool()>()));
}

TEST(AsyncRequestDeathTest, SecondSetValueAborts) {
#ifdef NDEBUG
    GTEST_SKIP() << "assertions are compiled out";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    promise<int> producer;
    producer.set_value(1);
    EXPECT_DEATH(producer.set_value(2), "async_request:145.*set_value.*!m_request_state->is_ready");
#endif
}
