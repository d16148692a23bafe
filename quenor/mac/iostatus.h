// Platform status codes travel through result records as signed 64-bit numbers,
// widened with their sign: kIOReturnError (0xE00002BC) becomes -536870212.
#pragma once

#include <cstdint>

#include "quenor/mac/platform.h"

namespace quenor::mac {

inline int64_t widenStatus(IOReturn code) {
    return static_cast<int32_t>(code);
}

}  // namespace quenor::mac
