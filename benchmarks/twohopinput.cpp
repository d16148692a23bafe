#include "twohopinput.h"

#include <algorithm>
#include <cstring>

namespace bench {

TwoHopInput::TwoHopInput(const std::string& path) {
    io_string_t registryPath = {};
    std::strncpy(registryPath, path.c_str(), sizeof registryPath - 1);
    io_registry_entry_t entry = IORegistryEntryFromPath(MACH_PORT_NULL, registryPath);
    if (entry == 0) {
        return;
    }
    m_device = IOHIDDeviceCreate(kCFAllocatorDefault, entry);
    IOObjectRelease(entry);
    if (m_device == nullptr) {
        return;
    }
    if (IOHIDDeviceOpen(m_device, kIOHIDOptionsTypeNone) != kIOReturnSuccess) {
        CFRelease(m_device);
        m_device = nullptr;
        return;
    }
    m_mode =
        CFStringCreateWithCString(kCFAllocatorDefault, "BENCH_TWO_HOP", kCFStringEncodingASCII);
    IOHIDDeviceRegisterInputReportCallback(m_device, m_platformBuffer.data(),
                                           static_cast<CFIndex>(m_platformBuffer.size()),
                                           &TwoHopInput::onReport, this);
    m_thread = std::thread([this] { loop(); });
    while (m_loop.load() == nullptr) {
        std::this_thread::yield();
    }
}

TwoHopInput::~TwoHopInput() {
    if (m_device == nullptr) {
        return;
    }
    m_quit = true;
    CFRunLoopStop(m_loop.load());
    m_thread.join();
    IOHIDDeviceClose(m_device, kIOHIDOptionsTypeNone);
    CFRelease(m_device);
    CFRelease(m_mode);
}

void TwoHopInput::loop() {
    IOHIDDeviceScheduleWithRunLoop(m_device, CFRunLoopGetCurrent(), m_mode);
    m_loop = CFRunLoopGetCurrent();
    while (!m_quit) {
        // A short time-out: a stop that arrives between two runs is noticed soon.
        CFRunLoopRunInMode(m_mode, 0.05, false);
    }
    IOHIDDeviceRegisterInputReportCallback(m_device, m_platformBuffer.data(),
                                           static_cast<CFIndex>(m_platformBuffer.size()), nullptr,
                                           this);
    IOHIDDeviceUnscheduleFromRunLoop(m_device, CFRunLoopGetCurrent(), m_mode);
}

void TwoHopInput::onReport(void* context, IOReturn result, void*, IOHIDReportType, uint32_t,
                           uint8_t* report, CFIndex length) {
    auto& self = *static_cast<TwoHopInput*>(context);
    if (result != kIOReturnSuccess) {
        return;
    }
    const size_t size = std::min(static_cast<size_t>(length), kSlotSize);
    {
        std::lock_guard<std::mutex> lock(self.m_mutex);
        if (self.m_count == kSlots) {
            self.m_head = (self.m_head + 1) % kSlots;
            --self.m_count;
            ++self.m_dropped;
        }
        const size_t tail = (self.m_head + self.m_count) % kSlots;
        std::memcpy(self.m_slots[tail].data(), report, size);
        self.m_lengths[tail] = size;
        ++self.m_count;
    }
    self.m_ready.notify_one();
}

long TwoHopInput::pop(std::vector<uint8_t>& out, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_ready.wait_for(lock, timeout, [this] { return m_count > 0; })) {
        return -1;
    }
    const size_t length = m_lengths[m_head];
    std::memcpy(out.data(), m_slots[m_head].data(), std::min(length, out.size()));
    m_head = (m_head + 1) % kSlots;
    --m_count;
    return static_cast<long>(length);
}

long TwoHopInput::dropped() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

}  // namespace bench
