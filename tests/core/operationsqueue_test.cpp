// The operations queue: order, single execution, no lost wake-up, discarding at destruction.
#include <quenor/operationsqueue.h>
#include <quenor/async_request>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using hidutil::async_request;
using hidutil::OperationsQueue;
using hidutil::promise;

namespace {

constexpr long kGenerousMs = 10000;

struct Gate {  // one-way: pass() blocks until open()
    std::promise<void> opener;
    std::shared_future<void> opened = opener.get_future().share();
    void open() { opener.set_value(); }
    void pass() const { opened.wait(); }
};

// Queues an operation that runs `body` and then fulfils its promise; returns the request handle.
// `owning`: through pushOperation, whose callable may be move-only (it captures a unique_ptr).
template <class Body>
async_request<int> push(OperationsQueue& queue, Body body, bool owning = false) {
    promise<int> producer;
    async_request<int> request = producer.get_request();
    if (owning) {
        queue.pushOperation(std::move(producer),
                            [body, owned = std::make_unique<int>(0)](promise<int>& p) {
                                body();
                                p.set_value(*owned);
                            });
    } else {
        queue.pushNewOperation(new hidutil::DeviceOperation<promise<int>>(std::move(producer),
                                                                          [body](promise<int>& p) {
                                                                              body();
                                                                              p.set_value(0);
                                                                          }));
    }
    return request;
}

}  // namespace

TEST(OperationsQueue, ConcurrentPushesRunEachOperationExactlyOnceInEachProducersOrder) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 300;
    // Touched only by the worker. A skipped, repeated or reordered operation breaks a sequence.
    std::vector<int> lastSeen(kProducers, -1);
    int breaks = 0;
    OperationsQueue queue;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                push(queue, [&, p, i] {
                    breaks += lastSeen[p] != i - 1;
                    lastSeen[p] = i;
                });
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    // Everything pushed before this has run once it is ready, unless the order is broken.
    ASSERT_TRUE(push(queue, [] {}).wait_for(kGenerousMs));
    EXPECT_EQ(breaks, 0);
    EXPECT_EQ(lastSeen, std::vector<int>(kProducers, kPerProducer - 1));
}

TEST(OperationsQueue, NoWakeUpIsLostWhenPushesMeetAnIdleWorker) {
    // Spinning on readiness lands the next push while the worker is going idle, where a wake-up
    // can be lost. Every other round a null entry goes first and may share one wake-up with the
    // operation behind it, which a worker that waits again after dropping the null would strand.
    OperationsQueue queue;
    for (int i = 0; i < 20000; ++i) {
        if (i % 2 == 1) {
            queue.pushNewOperation(nullptr);
        }
        auto request = push(queue, [] {});
        for (int spin = 0; spin < 100000 && !request.is_ready(); ++spin) {
        }
        ASSERT_TRUE(request.wait_for(kGenerousMs)) << "push " << i << " was never run";
    }
}

TEST(OperationsQueue, DestructionWaitsForTheRunningOperationAndDiscardsTheRest) {
    for (int i = 0; i < 200; ++i) {
        OperationsQueue idle;  // destroyed before or after its worker first waits; must not hang
    }
    auto queue = std::make_unique<OperationsQueue>();
    Gate running;
    bool longFinished = false;
    // The running operation outlasts the destructor's setting of the stop flag, which cannot be
    // observed from outside: hence a fixed duration. Nothing asserts how long anything takes.
    push(*queue, [&] {
        running.open();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        longFinished = true;
    });
    running.pass();
    // Holders and a capture whose release can be watched: a discarded operation of either kind
    // is destroyed, callable and all, not leaked and not run.
    auto holder = std::make_shared<promise<int>>();
    auto owningHolder = std::make_shared<promise<int>>();
    auto capture = std::make_shared<int>(0);
    std::weak_ptr<void> watched[] = {holder, owningHolder, capture};
    async_request<int> later[] = {holder->get_request(), owningHolder->get_request()};
    queue->pushNewOperation(new hidutil::DeviceOperation<std::shared_ptr<promise<int>>>(
        std::move(holder), [](std::shared_ptr<promise<int>>& p) { p->set_value(1); }));
    queue->pushOperation(
        std::move(owningHolder),
        [capture = std::move(capture)](std::shared_ptr<promise<int>>& p) { p->set_value(1); });

    queue.reset();

    EXPECT_TRUE(longFinished) << "destruction must wait for the running operation";
    EXPECT_FALSE(later[0].wait_for(20L) || later[1].wait_for(0L))
        << "discarded operations never run";
    for (const auto& watch : watched) {
        EXPECT_TRUE(watch.expired());
    }
}

TEST(OperationsQueue, OperationsHoldingTheirCallableKeepOrderAndCanPushFromInside) {
    // pushOperation takes callables std::function cannot hold (move-only captures), and its
    // operations share the one order with those of pushNewOperation, wherever the ring wraps and
    // grows: A holds the worker while entries are queued, peeked (moving the ring's start) and
    // run here, and queued again past the ring's first size. Each operation writes the log in
    // turn (ThreadSanitizer sees any overlap); a peeked one that also ran on the worker would
    // abort on its second set_value, and pushing from inside an operation deadlocks if the
    // mutex is held while it runs.
    OperationsQueue queue;
    std::string log;
    Gate running;
    Gate release;
    auto a = push(queue, [&] {
        running.open();
        release.pass();
        log += 'A';
    });
    running.pass();
    // Odd letters go through pushOperation, even ones through pushNewOperation.
    const auto logs = [&queue, &log](char name) {
        return push(
            queue, [&log, name] { log += name; }, name % 2);
    };
    std::vector<async_request<int>> requests;
    for (char name : std::string("bcdef")) {
        requests.push_back(logs(name));
    }
    for (int i = 0; i < 3; ++i) {
        queue.peekOperation()->exec();  // b, c, d, here
    }
    for (char name : std::string("ghijklmnopqrst")) {
        requests.push_back(logs(name));
    }
    std::vector<async_request<int>> fromInside;
    promise<int> outer;
    auto outerDone = outer.get_request();
    queue.pushOperation(std::move(outer), [&](promise<int>& p) {
        fromInside.push_back(logs('Y'));
        p.set_value(0);
    });
    release.open();
    ASSERT_TRUE(outerDone.wait_for(kGenerousMs));
    ASSERT_TRUE(fromInside.at(0).wait_for(kGenerousMs));
    EXPECT_EQ(log, "bcdAefghijklmnopqrstY");
    for (auto& request : requests) {
        EXPECT_TRUE(request.is_ready());
    }
    EXPECT_EQ(queue.peekOperation(), nullptr);
}

TEST(OperationsQueue, StopByLeavesAnOperationThatOutlastsItToADetachedWorker) {
    {
        OperationsQueue idle;
        EXPECT_TRUE(idle.stopBy(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
    }
    auto queue = std::make_unique<OperationsQueue>();
    Gate running;
    Gate release;
    auto hung = push(*queue, [&] {
        running.open();
        release.pass();
    });
    auto queued = push(*queue, [] {});
    running.pass();
    EXPECT_FALSE(queue->stopBy(std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
    queue->detachWorker();
    queue.reset();  // returns although the operation still runs; the worker keeps what it uses
    EXPECT_FALSE(queued.wait_for(0L)) << "a stopped worker takes no further operation";
    release.open();
    EXPECT_TRUE(hung.wait_for(kGenerousMs)) << "the detached worker finishes its operation";
}

// An operation of `Size` payload bytes and `Align` alignment that fills and checks its payload
// and its own placement, answering 1 when both are whole.
template <std::size_t Size, std::size_t Align = alignof(std::max_align_t)>
struct alignas(Align) Filling : hidutil::DeviceOperationBase {
    std::array<unsigned char, Size> bytes{};
    promise<int> done;
    void exec() override {
        std::fill(bytes.begin(), bytes.end(), 0xA5);
        const bool whole =
            std::all_of(bytes.begin(), bytes.end(), [](unsigned char b) { return b == 0xA5; });
        done.set_value(whole && reinterpret_cast<std::uintptr_t>(this) % Align == 0 ? 1 : 0);
    }
};

template <class Operation>
void runOne(OperationsQueue& queue) {
    auto* operation = new Operation();
    auto request = operation->done.get_request();
    queue.pushNewOperation(operation);
    EXPECT_TRUE(request.wait_for(kGenerousMs) && request.value() == 1);
}

TEST(OperationsQueue, EachOperationGetsMemoryOfItsOwnSizeAndAlignment) {
    // Operations' memory is handed back from the worker for the next push, by size class. Pushed
    // one after the other, operations of changing sizes each fill and check their whole payload
    // (a block too small is reported by AddressSanitizer, or spoils a neighbour), and an
    // over-aligned one is placed on its alignment.
    OperationsQueue queue;
    runOne<Filling<8>>(queue);
    runOne<Filling<100>>(queue);
    runOne<Filling<8>>(queue);
    runOne<Filling<600>>(queue);
    runOne<Filling<8, 256>>(queue);
}

namespace {

struct Occupant final : hidutil::QueueOccupant {
    std::atomic<int> expired{0};
    void expire() noexcept override { ++expired; }
};

// A hold on `queue`, once its worker has gone idle after the last operation.
OperationsQueue::Hold holdWhenIdle(OperationsQueue& queue,
                                   const std::shared_ptr<Occupant>& occupant) {
    for (int i = 0; i < 100000; ++i) {
        if (OperationsQueue::Hold hold = queue.tryHold(occupant)) {
            return hold;
        }
        std::this_thread::yield();
    }
    return {};
}

}  // namespace

TEST(OperationsQueue, AHoldKeepsItsPlaceUntilReleasedAndArmedOrUntilItsExpiry) {
    using Clock = std::chrono::steady_clock;
    auto occupant = std::make_shared<Occupant>();
    {
        OperationsQueue unstarted;
        EXPECT_FALSE(unstarted.tryHold(occupant)) << "no worker to expire it";
    }
    OperationsQueue queue;
    ASSERT_TRUE(push(queue, [] {}).wait_for(kGenerousMs));

    // Released first, armed second: what was pushed behind it runs at the arm, not before.
    OperationsQueue::Hold hold = holdWhenIdle(queue, occupant);
    ASSERT_TRUE(hold);
    EXPECT_FALSE(queue.tryHold(occupant)) << "one hold at a time";
    auto behind = push(queue, [] {});
    EXPECT_FALSE(behind.wait_for(50L)) << "an operation ran while the queue was held";
    EXPECT_TRUE(hold.release());
    EXPECT_FALSE(behind.wait_for(50L)) << "the hold ended before its caller armed it";
    hold.arm(Clock::time_point::max());
    EXPECT_TRUE(behind.wait_for(kGenerousMs));

    // Not held while an operation runs or waits.
    Gate running;
    Gate proceed;
    auto blocked = push(queue, [&] {
        running.open();
        proceed.pass();
    });
    running.pass();
    EXPECT_FALSE(queue.tryHold(occupant));
    auto queued = push(queue, [] {});
    proceed.open();
    ASSERT_TRUE(queued.wait_for(kGenerousMs));

    // Armed far off and released: the worker sleeps towards that deadline. A later hold with
    // a near deadline wakes it, is expired there, and its late release finds it ended.
    hold = holdWhenIdle(queue, occupant);
    ASSERT_TRUE(hold);
    hold.arm(Clock::now() + std::chrono::hours(1));
    EXPECT_TRUE(hold.release());
    hold = holdWhenIdle(queue, occupant);
    ASSERT_TRUE(hold);
    behind = push(queue, [] {});
    hold.arm(Clock::now() + std::chrono::milliseconds(20));
    EXPECT_TRUE(behind.wait_for(kGenerousMs)) << "the earlier deadline did not wake the worker";
    EXPECT_EQ(1, occupant->expired.load());
    EXPECT_FALSE(hold.release());

    // A queue that stops expires the hold still on, once; its occupant's owner may be gone.
    {
        OperationsQueue stopping;
        ASSERT_TRUE(push(stopping, [] {}).wait_for(kGenerousMs));
        holdWhenIdle(stopping, occupant).arm(Clock::time_point::max());
        auto gone = std::make_shared<Occupant>();
        OperationsQueue orphaned;
        ASSERT_TRUE(push(orphaned, [] {}).wait_for(kGenerousMs));
        holdWhenIdle(orphaned, gone).arm(Clock::time_point::max());
        gone.reset();
    }
    EXPECT_EQ(2, occupant->expired.load());
}
