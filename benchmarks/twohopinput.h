// The baseline input path: a device object of its own, scheduled on a run loop
// thread of its own, whose input callback copies each report into a 30-slot
// ring (oldest dropped when full) from which a reader takes it directly. Two
// hops, no allocation per report: the floor for the library's input path.
#pragma once

#include <vmac/platform.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class TwoHopInput {
public:
    // Opens the device at registry `path` (shared) and starts its run loop.
    explicit TwoHopInput(const std::string& path);
    ~TwoHopInput();
    TwoHopInput(const TwoHopInput&) = delete;
    TwoHopInput& operator=(const TwoHopInput&) = delete;

    bool opened() const { return m_device != nullptr; }

    // Waits for the oldest report and copies it into `out` (up to its size);
    // returns the report's length, or -1 when `timeout` passed first.
    long pop(std::vector<uint8_t>& out, std::chrono::milliseconds timeout);

    // Reports lost because the ring was full.
    long dropped() const;

private:
    static constexpr size_t kSlots = 30;
    static constexpr size_t kSlotSize = 64;

    static void onReport(void* context, IOReturn result, void* sender, IOHIDReportType type,
                         uint32_t reportId, uint8_t* report, CFIndex length);
    void loop();

    IOHIDDeviceRef m_device = nullptr;
    CFStringRef m_mode = nullptr;
    std::vector<uint8_t> m_platformBuffer = std::vector<uint8_t>(kSlotSize);
    std::atomic<CFRunLoopRef> m_loop{nullptr};
    std::atomic<bool> m_quit{false};
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::array<std::array<uint8_t, kSlotSize>, kSlots> m_slots{};  // guarded by m_mutex
    std::array<size_t, kSlots> m_lengths{};                        // guarded by m_mutex
    size_t m_head = 0;                                             // guarded by m_mutex
    size_t m_count = 0;                                            // guarded by m_mutex
    long m_dropped = 0;                                            // guarded by m_mutex
};

}  // namespace bench
