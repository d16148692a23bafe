#include "cfstring.h"

#include "callfaults.h"
#include "nocancel.h"

#include <cstring>
#include <mutex>
#include <unordered_map>

using vmac::detail::checked;
using vmac::detail::kStringType;
using vmac::detail::Lifetime;
using vmac::detail::NoCancel;

namespace {

bool isValidUtf8(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t extra;
        uint32_t code;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

bool isAscii(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

std::string latin1ToUtf8(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

}  // namespace

namespace vmac::detail {

const std::string& stringText(CFTypeRef cf, const char* function) {
    return checked<__CFString>(cf, kStringType, function)->utf8;
}

}  // namespace vmac::detail

extern "C" {

CFTypeID CFStringGetTypeID(void) {
    return kStringType;
}

// Bytes that are not valid UTF-8 make a UTF-8 creation fail (NULL). An ASCII
// creation accepts every byte, as CoreFoundation does: bytes from 0x80 upward
// become the characters U+0080 to U+00FF.
CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
    NoCancel noCancel;
    if (cStr == nullptr || vmac::detail::processCallFails(vmac::Call::StringCreateWithCString))
        return nullptr;
    std::string text(cStr);
    if (encoding == kCFStringEncodingUTF8) {
        if (!isValidUtf8(text))
            return nullptr;
    } else if (encoding == kCFStringEncodingASCII) {
        if (!isAscii(text))
            text = latin1ToUtf8(text);
    } else {
        return nullptr;
    }
    return new __CFString(std::move(text), Lifetime::Counted);
}

// A buffer too small for the text and its terminating zero makes the call fail
// without writing to the buffer.
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    NoCancel noCancel;
    const std::string& text = vmac::detail::stringText(theString, "CFStringGetCString");
    if (buffer == nullptr || bufferSize <= 0)
        return false;
    if (encoding == kCFStringEncodingASCII) {
        if (!isAscii(text))
            return false;
    } else if (encoding != kCFStringEncodingUTF8) {
        return false;
    }
    if (static_cast<size_t>(bufferSize) < text.size() + 1)
        return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

CFStringRef vmacConstantString(const char* cStr) {
    NoCancel noCancel;
    static std::mutex* mutex = new std::mutex;
    // Never destroyed: the strings are immortal and may be used during exit.
    static auto* interned = new std::unordered_map<std::string, __CFString*>;  // guarded by *mutex
    std::lock_guard<std::mutex> lock(*mutex);
    __CFString*& slot = (*interned)[cStr];
    if (slot == nullptr)
        slot = new __CFString(cStr, Lifetime::Immortal);
    return slot;
}

}  // extern "C"
