// CFString: immutable text held as UTF-8. Interned constant strings (CFSTR)
// are immortal.
#pragma once

#include "object.h"

#include <string>

struct __CFString : vmac::detail::Object {
    __CFString(std::string text, vmac::detail::Lifetime lifetime)
        : Object(vmac::detail::kStringType, lifetime), utf8(std::move(text)) {}

    const std::string utf8;
};

namespace vmac::detail {

// The UTF-8 text of a CFString; aborts naming `function` when `cf` is not one.
const std::string& stringText(CFTypeRef cf, const char* function);

}  // namespace vmac::detail
