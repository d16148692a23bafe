// CFUUID: immortal, interned by value, so equal UUIDs are the same pointer.
#pragma once

#include "object.h"

struct __CFUUID : vmac::detail::Object {
    explicit __CFUUID(const CFUUIDBytes& value)
        : Object(vmac::detail::kUUIDType, vmac::detail::Lifetime::Immortal), bytes(value) {}

    const CFUUIDBytes bytes;
};

namespace vmac::detail {

bool sameUUID(const CFUUIDBytes& a, const CFUUIDBytes& b);

}  // namespace vmac::detail
