// UTF-8 to wide text, one wide character per code point. Each byte of an invalid
// or truncated sequence (overlong forms, surrogates, values past U+10FFFF, stray
// continuation bytes) becomes U+FFFD; ASCII passes through unchanged.
#pragma once

#include <string>

namespace quenor::mac {

std::wstring decodeUtf8(const std::string& text);

}  // namespace quenor::mac
