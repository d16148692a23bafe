// CFArray: an immutable array of CF objects, each retained while held.
#pragma once

#include "object.h"

#include <vector>

struct __CFArray : vmac::detail::Object {
    // Retains every value.
    explicit __CFArray(std::vector<CFTypeRef> values);

    std::vector<CFTypeRef> values;  // immutable until finalize

protected:
    void finalize() override;
};
