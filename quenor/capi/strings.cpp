// Strings of the C interface: the device's cached and USB strings in UTF-8, the
// strings it hands out, and UTF-8 encoding of the library's wide text.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quenor/capi/capi.h"
#include "quenor/status.h"

using quenor::capi::guarded;

namespace quenor::capi {

std::string encodeUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto code = static_cast<uint32_t>(text[i]);
        // USB string descriptors arrive as UTF-16 code units, one per character: a
        // surrogate pair is joined here into the one code point it stands for.
        const uint32_t next = i + 1 < text.size() ? static_cast<uint32_t>(text[i + 1]) : 0;
        if (code >= 0xD800 && code <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        } else if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

}  // namespace quenor::capi

namespace {

// A new NUL-terminated copy of `text` in memory from malloc, for quenor_string_free().
char* copyText(const char* text, size_t length) {
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (!copy) {
        throw std::bad_alloc();
    }
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

template <typename Start>
quenor_status startString(quenor_device* device, quenor_completion completion, void* context,
                          quenor_request** request, Start&& start) {
    return quenor::capi::startRequest(
        device, false, completion, context, request, [] { return quenor::capi::makeStringCore(); },
        std::forward<Start>(start));
}

// Waits at most `waitMs` for a string request and hands its text out.
template <typename Start>
quenor_status runBlocking(quenor_device* device, long waitMs, char** text, Start&& start) {
    if (!text) {
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    *text = nullptr;
    quenor_request* request = nullptr;
    const quenor_status started =
        startString(device, nullptr, nullptr, &request, std::forward<Start>(start));
    if (started != QUENOR_STATUS_OK) {
        return started;
    }
    std::unique_ptr<quenor_request> owned(request);
    if (!owned->core->waitFor(waitMs)) {
        return QUENOR_STATUS_TIMEOUT;
    }
    const quenor_result& result = owned->core->result();
    if (result.status != QUENOR_STATUS_OK) {
        return result.status;
    }
    return guarded([&] {
        *text = copyText(result.text, result.length);
        return QUENOR_STATUS_OK;
    });
}

bool validIndex(int index) {
    return index >= 0 && index <= 255;
}

}  // namespace

extern "C" {

quenor_status quenor_device_string(quenor_device* device, quenor_string_kind kind, char** text) {
    if (!device || !text) {
        if (text) {
            *text = nullptr;
        }
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    *text = nullptr;
    // Cached at the last open and kept after close: answered at once, open or not.
    hidutil::async_request<AbstractHidDevice::AsyncStrReqResult> (MacHidDevice::*which)() const;
    switch (kind) {
        case QUENOR_STRING_MANUFACTURER:
            which = &MacHidDevice::manufacturerName;
            break;
        case QUENOR_STRING_PRODUCT:
            which = &MacHidDevice::productName;
            break;
        case QUENOR_STRING_SERIAL_NUMBER:
            which = &MacHidDevice::serialNumber;
            break;
        default:
            return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return guarded([&] {
        auto core = quenor::capi::makeStringCore();
        core->attach((device->device.get()->*which)());
        const quenor_result& result = core->result();
        if (result.status == QUENOR_STATUS_OK) {
            *text = copyText(result.text, result.length);
        }
        return result.status;
    });
}

quenor_status quenor_usb_string(quenor_device* device, int index, char** text, int64_t timeout_ms) {
    if (!validIndex(index)) {
        if (text) {
            *text = nullptr;
        }
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return runBlocking(device, quenor::capi::toMs(timeout_ms), text,
                       [index](MacHidDevice& d) { return d.usbString(index); });
}

quenor_status quenor_usb_string_request(quenor_device* device, int index,
                                        quenor_completion completion, void* context,
                                        quenor_request** request) {
    if (!validIndex(index)) {
        if (request) {
            *request = nullptr;
        }
        return QUENOR_STATUS_BAD_ARGUMENT;
    }
    return startString(device, completion, context, request,
                       [index](MacHidDevice& d) { return d.usbString(index); });
}

size_t quenor_status_text(quenor_status status, char* text, size_t capacity) {
    // Without memory for the words, the number alone (still the whole truth).
    std::string words;
    try {
        words = quenor::describeStatus(status);
    } catch (const std::bad_alloc&) {
    }
    char fallback[32];
    const char* source = words.c_str();
    size_t length = words.size();
    if (words.empty()) {
        length = static_cast<size_t>(
            std::snprintf(fallback, sizeof fallback, "%lld", static_cast<long long>(status)));
        source = fallback;
    }
    if (text && capacity > 0) {
        const size_t copied = std::min(length, capacity - 1);
        std::memcpy(text, source, copied);
        text[copied] = '\0';
    }
    return length;
}

void quenor_string_free(char* text) {
    std::free(text);
}

}  // extern "C"
