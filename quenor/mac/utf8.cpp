#include "quenor/mac/utf8.h"

namespace quenor::mac {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Decodes the sequence starting at text[i]; returns its length, or 0 if invalid.
size_t decodeOne(const std::string& text, size_t i, char32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - i < length) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        const auto byte = static_cast<unsigned char>(text[i + k]);
        if (!isContinuation(byte)) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte & 0x3F);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (codePoint < minimum || codePoint > 0x10FFFF || surrogate) {
        return 0;
    }
    return length;
}

}  // namespace

std::wstring decodeUtf8(const std::string& text) {
    std::wstring result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t codePoint = 0;
        const size_t length = decodeOne(text, i, codePoint);
        if (length == 0) {
            // Skip one byte only: the bytes after it are judged on their own, so
            // each byte of a broken sequence yields one replacement character.
            result.push_back(kReplacement);
            ++i;
        } else {
            result.push_back(static_cast<wchar_t>(codePoint));
            i += length;
        }
    }
    return result;
}

}  // namespace quenor::mac
