// The one-shot result channel: readiness, waking, value lifetime and the double-fulfil abort.
#include <quenor/async_request>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using hidutil::promise;
using namespace std::chrono_literals;

// Generous enough never to expire on a loaded machine; only reached when something is broken.
constexpr long kGenerousMs = 10000;

TEST(AsyncRequest, HandleTakenEarlySeesTheValueWhichLivesUntilTheLastHandleGoes) {
    auto value = std::make_shared<int>(7);
    std::weak_ptr<int> watch = value;
    auto producer = std::make_unique<promise<std::shared_ptr<int>>>();
    auto handle = producer->get_request();
    EXPECT_FALSE(handle.is_ready());
    producer->set_value(std::exchange(value, nullptr));
    producer.reset();
    EXPECT_EQ(*handle.value(), 7);
    EXPECT_EQ(watch.use_count(), 1) << "only the state's own copy should remain";
    handle.wait();
    EXPECT_TRUE(handle.wait_for(-5L) && handle.wait_for(std::chrono::hours::max()));
    handle = promise<std::shared_ptr<int>>().get_request();  // drops the last reference
    EXPECT_TRUE(watch.expired());
    // A move-only value goes in: an rvalue is moved, never copied, into the state.
    EXPECT_EQ(*hidutil::make_ready_request(std::make_unique<int>(4)).value(), 4);
    promise<std::unique_ptr<int>> moved;
    auto request = moved.get_request();
    moved.set_value(std::make_unique<int>(5));
    EXPECT_EQ(*request.value(), 5);
}

TEST(AsyncRequest, HandleOfAnAbandonedPromiseStaysPendingAndTimedWaitsLastTheirTime) {
    auto request = promise<int>().get_request();
    EXPECT_THROW(request.value(), std::logic_error);
    EXPECT_FALSE(request.wait_for(0L));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(request.wait_for(50L));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
}

TEST(AsyncRequest, EveryWaiterWakesAndSeesTheWholeValue) {
    // One consumer blocks, one waits with the "no limit" time-out, one with a finite one, one
    // polls. Without the ordering between the value and is_ready, ThreadSanitizer reports a race
    // here and a plain build may read a half-built string. On odd rounds the producer does not
    // wait for the consumers: the first to block installs the waiting block while the producer
    // may be setting the flag, and either the producer finds the block or the waiter the flag.
    for (int round = 0; round < 800; ++round) {
        const std::string expected(64, static_cast<char>('a' + round % 26));
        promise<std::string> producer;
        auto request = producer.get_request();
        std::atomic<int> started{0};
        std::vector<std::thread> consumers;
        for (int way = 0; way < 4; ++way) {
            consumers.emplace_back([request, way, &started, &expected] {
                ++started;
                if (way == 0) {
                    request.wait();
                } else if (way < 3) {
                    EXPECT_TRUE(request.wait_for(way == 1 ? -1L : kGenerousMs));
                } else {
                    while (!request.is_ready()) {
                        std::this_thread::yield();
                    }
                }
                ASSERT_TRUE(request.is_ready()) << "way " << way;
                EXPECT_EQ(request.value(), expected);
            });
        }
        // Fulfilling before a consumer waits is fine too; waiting makes waiting the likely case.
        while (round % 2 == 0 && started < 4) {
            std::this_thread::yield();
        }
        producer.set_value(expected);
        for (auto& consumer : consumers) {
            consumer.join();
        }
    }
}

TEST(AsyncRequestDeathTest, SecondSetValueAborts) {
#ifdef NDEBUG
    GTEST_SKIP() << "assertions are compiled out";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    promise<int> producer;
    producer.set_value(1);
    EXPECT_DEATH(producer.set_value(2), "set_value");
#endif
}
