// IOHIDElement: an immutable element of a virtual device.
#pragma once

#include "object.h"

#include <cstdint>

struct __IOHIDElement : vmac::detail::Object {
    __IOHIDElement(uint32_t page, uint32_t use, uint32_t id)
        : Object(vmac::detail::kHIDElementType, vmac::detail::Lifetime::Counted),
          usagePage(page),
          usage(use),
          reportId(id) {}

    const uint32_t usagePage;
    const uint32_t usage;
    const uint32_t reportId;
};
