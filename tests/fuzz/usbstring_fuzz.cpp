// Fuzzes the bytes of USB string descriptors through usbString(): an open
// gadget serves the input as the raw descriptor at the index asked for. The
// answer is judged by what must hold for any bytes, not by a second decoder:
// it never has more characters than bLength leaves room for, nor more than 64
// (the request's 130-byte buffer); each character is the little-endian code
// unit at its place in the descriptor (0 past the bytes served: the buffer
// starts zeroed); and a well-formed descriptor (bLength even, all of it
// served, at most 130 bytes) reads back whole. An index whose request is no
// string-descriptor request at all stalls the pipe.
//
// Input: two bytes of index (signed 16-bit, so -1, 256 and 1024 occur), then
// the descriptor's bytes.
#include <algorithm>

#include "fuzzsupport.h"

namespace {

// The code unit at `index` of a descriptor, as the zero-filled buffer holds it.
wchar_t unitAt(const std::vector<uint8_t>& raw, size_t index) {
    const auto byte = [&](size_t at) -> unsigned { return at < raw.size() ? raw[at] : 0; };
    return static_cast<wchar_t>(byte(2 + 2 * index) | byte(3 + 2 * index) << 8);
}

void judge(const std::wstring& text, const std::vector<uint8_t>& raw, int index) {
    const size_t bLength = raw.empty() ? 0 : raw[0];
    if (text.size() > 64 || 2 + 2 * text.size() > std::max<size_t>(bLength, 2)) {
        fuzz::fail("index %d: %zu characters from a descriptor of bLength %zu", index, text.size(),
                   bLength);
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != unitAt(raw, i)) {
            fuzz::fail("index %d: character %zu is not the code unit at its place", index, i);
        }
    }
    const bool wellFormed = bLength == raw.size() && bLength % 2 == 0 && bLength <= 130;
    if (wellFormed && bLength >= 2 && text.size() != (bLength - 2) / 2) {
        fuzz::fail("index %d: a well-formed descriptor of %zu units read as %zu characters", index,
                   (bLength - 2) / 2, text.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One open gadget for the whole run, never destroyed.
    static fuzz::OpenGadget& open = *new fuzz::OpenGadget(vmac::Gadget());
    static const vmac::LiveCounts counts = vmac::LiveCounts::now();
    static const ReportBuffer feature = std::make_shared<std::vector<uint8_t>>(4);
    fuzz::Input input(data, size);
    const int index = static_cast<int16_t>(input.number(2));
    const std::vector<uint8_t> raw = input.rest();
    const unsigned wValue = (0x0300u | static_cast<unsigned>(index)) & 0xFFFFu;
    const bool stringRequest = (wValue >> 8) == 3;
    if (stringRequest) {
        open.gadget.setStringDescriptor(static_cast<UInt8>(wValue & 0xFF), raw);
    }

    const auto result = fuzz::await(open.device->usbString(index));
    if (result.success != stringRequest || (!stringRequest && !result.value.empty()) ||
        result.status != (stringRequest ? 0 : static_cast<int32_t>(vmac::kPipeStalled))) {
        fuzz::fail("index %d (wValue 0x%04x): success %d, status %lld", index, wValue,
                   result.success, (long long)result.status);
    }
    if (stringRequest) {
        judge(result.value, raw, index);
    }
    // The request queue frees an operation before it runs the next one: once
    // this read is answered, the string request's interface reference is gone.
    fuzz::await(open.device->getFeature(1, feature));
    fuzz::expectCounts(counts, "after a string request");
    return 0;
}
