// The set transfer's hand-made floor, shared by quenor-bench and quenor-cost: spawn
// a thread for the blocking IOHIDDeviceSetReport, wait on a condition variable with
// the library's time-out (1000 ms), join it, and answer as the library would.
#pragma once

#include <quenor/abstracthiddevice.h>
#include <quenor/mac/platform.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <mutex>
#include <thread>

namespace bench {

inline AbstractHidDevice::AsyncOpResult spawnedSetReport(IOHIDDeviceRef handle,
                                                         const ReportBuffer& buffer) {
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;
    std::promise<AbstractHidDevice::AsyncOpResult> promise;
    auto future = promise.get_future();
    std::thread sender([&] {
        const IOReturn r = IOHIDDeviceSetReport(handle, kIOHIDReportTypeOutput, 1, buffer->data(),
                                                static_cast<CFIndex>(buffer->size()));
        const bool ok = r == kIOReturnSuccess;
        promise.set_value({ok, ok ? static_cast<int32_t>(buffer->size()) : -1, buffer, 1, 0});
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        condition.notify_one();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        condition.wait_for(lock, std::chrono::milliseconds(1000), [&] { return done; });
    }
    sender.join();
    return future.get();
}

}  // namespace bench
