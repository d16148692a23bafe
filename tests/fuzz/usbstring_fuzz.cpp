// Fuzzes the bytes of USB string descriptors through usbString(): an open
// gadget serves the input as the raw descriptor at the index asked for, and the
// answer must be the descriptor read as the request reads it: a 130-byte
// zero-filled buffer, bLength from byte 0, at most 64 UTF-16 code units, each
// one wide character, nothing for a bLength below 4. An index whose request is
// no string-descriptor request at all stalls the pipe.
//
// Input: two bytes of index (signed 16-bit, so -1, 256 and 1024 occur), then
// the descriptor's bytes.
#include <algorithm>
#include <array>

#include "fuzzsupport.h"

namespace {

constexpr const char* kPath = "IOService:/vmac/Fuzz@1/Interface@0/HIDDevice";

std::wstring expectedText(const std::vector<uint8_t>& raw) {
    std::array<uint8_t, 130> buffer = {};
    std::copy_n(raw.begin(), std::min(raw.size(), buffer.size()), buffer.begin());
    std::wstring text;
    const size_t length = buffer[0];
    if (length < 4) {
        return text;
    }
    const size_t units = std::min<size_t>((length - 2) / 2, 64);
    for (size_t i = 0; i < units; ++i) {
        text.push_back(static_cast<wchar_t>(buffer[2 + 2 * i] | buffer[3 + 2 * i] << 8));
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One open gadget for the whole run, never destroyed.
    static vmac::VirtualDevice& gadget = *new vmac::VirtualDevice(vmac::plugDevice(kPath));
    static AbstractHidDevice* device = fuzz::openDevice(kPath).release();
    static const fuzz::LiveCounts open = fuzz::LiveCounts::now();
    static const ReportBuffer feature = std::make_shared<std::vector<uint8_t>>(4);
    fuzz::Input input(data, size);
    const int index = static_cast<int16_t>(input.number(2));
    const std::vector<uint8_t> raw = input.rest();
    const unsigned wValue = (0x0300u | static_cast<unsigned>(index)) & 0xFFFFu;
    const bool stringRequest = (wValue >> 8) == 3;
    if (stringRequest) {
        gadget.setStringDescriptor(static_cast<UInt8>(wValue & 0xFF), raw);
    }

    const auto result = fuzz::await(device->usbString(index));
    if (!stringRequest && (result.success || !result.value.empty() ||
                           result.status != fuzz::widened(vmac::kPipeStalled))) {
        fuzz::fail("index %d (wValue 0x%04x) did not stall", index, wValue);
    }
    if (stringRequest && (!result.success || result.status != 0)) {
        fuzz::fail("index %d failed with status %lld", index, (long long)result.status);
    }
    if (stringRequest && result.value != expectedText(raw)) {
        fuzz::fail("index %d: %zu characters, %zu expected", index, result.value.size(),
                   expectedText(raw).size());
    }
    // The request queue frees an operation before it runs the next one: once
    // this read is answered, the string request's interface reference is gone.
    fuzz::await(device->getFeature(1, feature));
    fuzz::expectCounts(open, "after a string request");
    return 0;
}
