// Shared pieces of the fuzz targets: reading the fuzzer's bytes as values, the
// failure that makes libFuzzer keep the input, live platform objects, and
// device objects for gadgets.
//
// Every target is deterministic per input (no clock, no randomness, state that
// one input leaves is reset before the next) and checks after each input that
// the platform objects it made are released again.
#pragma once

#include <quenor/abstracthiddevice.h>
#include <quenor/hiddevicedescriptor.h>
#include <quenor/mac/macdevicedescriptorhandle.h>
#include <vmac/gadget.h>

#include <algorithm>
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
    Input(const uint8_t* data, size_t size) : next_(data), end_(data + size) {}

    bool empty() const { return next_ == end_; }
    uint8_t byte() { return empty() ? 0 : *next_++; }
    uint64_t number(int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= uint64_t{byte()} << (8 * i);
        }
        return value;
    }
    std::vector<uint8_t> bytes(size_t n) {
        const uint8_t* from = next_;
        next_ += std::min<size_t>(n, end_ - next_);
        return {from, next_};
    }
    std::vector<uint8_t> rest() { return bytes(end_ - next_); }

private:
    const uint8_t* next_;
    const uint8_t* const end_;
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

// The live platform objects of a platform just reset; taken once per process,
// before the first input plugs anything.
inline const vmac::LiveCounts& baseline() {
    static const vmac::LiveCounts counts = (vmac::reset(), vmac::LiveCounts::now());
    return counts;
}

inline void expectCounts(const vmac::LiveCounts& before, const char* when) {
    const vmac::LiveCounts after = vmac::LiveCounts::now();
    if (after != before) {
        fail("%s: %s", when, after.since(before).c_str());
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

// A gadget plugged as described, and its device object, opened.
struct OpenGadget {
    explicit OpenGadget(const vmac::Gadget& described)
        : gadget(described.plug()), device(makeDevice(described.path)) {
        if (!device->open(0, 1)) {
            fail("the gadget at %s does not open", described.path.c_str());
        }
    }
    vmac::VirtualDevice gadget;
    std::unique_ptr<AbstractHidDevice> device;
};

}  // namespace fuzz
