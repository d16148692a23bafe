// Fuzzes UTF-8 property bytes through the cached strings: each input becomes
// the "Manufacturer", "Product" and "SerialNumber" of a fresh gadget, which is
// opened, asked for the three strings, closed and unplugged. Text the platform
// accepts as UTF-8 must come back as its code points, one wide character each;
// text it refuses (no string object) or cannot hand over in 1,023 bytes reads
// as empty.
//
// Input: two length bytes split the rest into the three texts (each cut at its
// first zero byte, as a C string is).
#include <algorithm>

#include "fuzzsupport.h"

namespace {

// Code points of text already known to be valid UTF-8.
std::wstring codePoints(const std::string& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        char32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        out.push_back(static_cast<wchar_t>(code));
        i += 1 + extra;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const vmac::LiveCounts& baseline = fuzz::baseline();
    fuzz::Input input(data, size);
    const size_t lengths[] = {input.byte(), input.byte() * 4u, size};
    const char* const keys[] = {"Manufacturer", "Product", "SerialNumber"};
    {
        vmac::Gadget gadget;
        gadget.maxInputReportSize = 8;
        std::wstring expected[3];  // what each cached string must read
        for (int k = 0; k < 3; ++k) {
            const std::vector<uint8_t> bytes = input.bytes(lengths[k]);
            const std::string text(bytes.begin(), std::find(bytes.begin(), bytes.end(), 0));
            const auto value = vmac::HeldValue::adopt(vmac::makeString(text));
            gadget.properties[keys[k]] = value;
            expected[k] = value.get() && text.size() <= 1023 ? codePoints(text) : std::wstring();
        }
        const fuzz::OpenGadget open(gadget);
        const hidutil::async_request<AbstractHidDevice::AsyncStrReqResult> read[] = {
            open.device->manufacturerName(), open.device->productName(),
            open.device->serialNumber()};
        for (int k = 0; k < 3; ++k) {
            const auto& result = fuzz::await(read[k]);
            if (!result.success || result.status != 0 || result.value != expected[k]) {
                fuzz::fail("%s: {%d, %zu characters, status %lld}, %zu characters expected",
                           keys[k], result.success, result.value.size(), (long long)result.status,
                           expected[k].size());
            }
        }
        open.device->close();
    }
    vmac::reset();
    fuzz::expectCounts(baseline, "after a device was opened, closed and unplugged");
    return 0;
}
