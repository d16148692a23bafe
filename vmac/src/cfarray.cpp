#include "cfarray.h"

#include "nocancel.h"

using vmac::detail::checked;
using vmac::detail::kArrayType;
using vmac::detail::NoCancel;

__CFArray::__CFArray(std::vector<CFTypeRef> items)
    : Object(kArrayType, vmac::detail::Lifetime::Counted), values(std::move(items)) {
    for (CFTypeRef value : values)
        CFRetain(value);
}

void __CFArray::finalize() {
    std::vector<CFTypeRef> held;
    held.swap(values);
    for (CFTypeRef value : held)
        CFRelease(value);
}

extern "C" {

CFTypeID CFArrayGetTypeID(void) {
    return kArrayType;
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
    NoCancel noCancel;
    return static_cast<CFIndex>(
        checked<__CFArray>(theArray, kArrayType, "CFArrayGetCount")->values.size());
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    NoCancel noCancel;
    const auto& values = checked<__CFArray>(theArray, kArrayType, "CFArrayGetValueAtIndex")->values;
    if (idx < 0 || static_cast<size_t>(idx) >= values.size())
        vmac::detail::fatal("CFArrayGetValueAtIndex: index %ld out of bounds (count %zu)", idx,
                            values.size());
    return values[static_cast<size_t>(idx)];
}

}  // extern "C"
