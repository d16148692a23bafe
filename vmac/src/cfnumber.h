// CFNumber: an immutable integer or floating-point value. Thread-safe because
// it never changes after creation.
#pragma once

#include "object.h"

#include <cstdint>

struct __CFNumber : vmac::detail::Object {
    __CFNumber(bool isFloat, int64_t integer, double real)
        : Object(vmac::detail::kNumberType, vmac::detail::Lifetime::Counted),
          isFloat(isFloat),
          integer(integer),
          real(real) {}

    const bool isFloat;
    const int64_t integer;  // the value when !isFloat
    const double real;      // the value when isFloat
};
