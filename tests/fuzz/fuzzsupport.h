// Shared pieces of the fuzz targets: reading the fuzzer's bytes as values, the
// failure that makes libFuzzer keep the input, live platform objects, property
// values for gadgets, and devices for a registry path.
//
// Every target is deterministic per input (no clock, no randomness, state that
// one input leaves is reset before the next) and checks after each input that
// the platform objects it made are released again.
#pragma once

#include <quenor/abstracthiddevice.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>
#include <vmac/control.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace fuzz {

// Reads values from the input front to back; past the end every value is 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return used_ >= size_; }
    size_t left() const { return empty() ? 0 : size_ - used_; }
    uint8_t byte() { return empty() ? 0 : data_[used_++]; }
    uint64_t number(int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= uint64_t{byte()} << (8 * i);
        }
        return value;
    }
    std::vector<uint8_t> bytes(size_t n) {
        n = std::min(n, left());
        std::vector<uint8_t> out(data_ + used_, data_ + used_ + n);
        used_ += n;
        return out;
    }
    std::vector<uint8_t> rest() { return bytes(left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

// A broken expectation: print it and abort, so that libFuzzer saves the input.
[[noreturn]] inline void fail(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("fuzz check failed: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

struct LiveCounts {
    long objects, ioReferences, comReferences;
    static LiveCounts now() {
        return {vmac::liveObjectCount(), vmac::liveIOObjectReferences(), vmac::liveCOMReferences()};
    }
};

// The live objects of a platform just reset; taken once per process, before
// the first input plugs anything.
inline const LiveCounts& baseline() {
    static const LiveCounts counts = [] {
        vmac::reset();
        return LiveCounts::now();
    }();
    return counts;
}

inline void expectCounts(const LiveCounts& before, const char* when) {
    const LiveCounts after = LiveCounts::now();
    if (after.objects != before.objects || after.ioReferences != before.ioReferences ||
        after.comReferences != before.comReferences) {
        fail(
            "%s: live CF objects %ld -> %ld, registry references %ld -> %ld, COM references "
            "%ld -> %ld",
            when, before.objects, after.objects, before.ioReferences, after.ioReferences,
            before.comReferences, after.comReferences);
    }
}

// Waits for a request far longer than any answer takes; a hang is a failure.
template <typename T>
const T& await(const hidutil::async_request<T>& request) {
    if (!request.wait_for(20000L)) {
        fail("request still pending after 20 s");
    }
    return request.value();
}

inline std::unique_ptr<AbstractHidDevice> makeDevice(const std::string& path, int usagePair = 0) {
    HidDeviceDescriptor descriptor(
        new MacDeviceDescriptorHandle(std::wstring(path.begin(), path.end()), usagePair));
    return std::unique_ptr<AbstractHidDevice>(AbstractHidDevice::create(descriptor));
}

// A gadget's device object, opened; for targets whose gadget must open.
inline std::unique_ptr<AbstractHidDevice> openDevice(const std::string& path) {
    auto device = makeDevice(path);
    if (!device->open(0, 1)) {
        fail("the gadget at %s does not open", path.c_str());
    }
    return device;
}

// A string of `bytes` up to the first zero byte, as a C string is; null when
// they are no UTF-8. The caller owns the result.
inline CFStringRef makeString(const std::vector<uint8_t>& bytes) {
    const std::string text(bytes.begin(), bytes.end());
    return CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
}

// Sets `key` of `gadget` to `value` (null leaves the key out) and releases it.
inline void setOwnedProperty(vmac::VirtualDevice& gadget, const std::string& key, CFTypeRef value) {
    gadget.setProperty(key, value);
    if (value) {
        CFRelease(value);
    }
}

inline int64_t widened(IOReturn code) {
    return static_cast<int32_t>(code);
}

}  // namespace fuzz
