#include "cfnumber.h"

#include "callfaults.h"
#include "nocancel.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

using vmac::detail::checked;
using vmac::detail::kNumberType;
using vmac::detail::NoCancel;

namespace {

enum class Kind { Int8, Int16, Int32, Int64, Float64, Unknown };

Kind kindOf(CFNumberType type) {
    switch (type) {
        case kCFNumberSInt8Type:
        case kCFNumberCharType:
            return Kind::Int8;
        case kCFNumberSInt16Type:
        case kCFNumberShortType:
            return Kind::Int16;
        case kCFNumberSInt32Type:
        case kCFNumberIntType:
            return Kind::Int32;
        case kCFNumberSInt64Type:
        case kCFNumberLongType:
        case kCFNumberLongLongType:
        case kCFNumberCFIndexType:
            return Kind::Int64;
        case kCFNumberFloat64Type:
        case kCFNumberDoubleType:
            return Kind::Float64;
    }
    return Kind::Unknown;
}

template <typename T>
bool storeInteger(const __CFNumber& number, void* out) {
    T value;
    bool exact;
    if (number.isFloat) {
        const double real = number.real;
        const double low = static_cast<double>(std::numeric_limits<T>::min());
        const double high = static_cast<double>(std::numeric_limits<T>::max());
        // Saturate out-of-range values: converting them directly is undefined.
        if (std::isnan(real))
            value = 0;
        else if (real <= low)
            value = std::numeric_limits<T>::min();
        else if (real >= high)
            value = std::numeric_limits<T>::max();
        else
            value = static_cast<T>(real);
        exact = !std::isnan(real) && static_cast<double>(value) == real;
    } else {
        // A plain C conversion, as CoreFoundation makes it: out of range wraps
        // (a 64-bit 0xFFFFFFFF read as SInt32 is -1); the result says it was lossy.
        const int64_t integer = number.integer;
        value = static_cast<T>(static_cast<uint64_t>(integer));
        exact = std::is_signed<T>::value ? static_cast<int64_t>(value) == integer
                                         : integer >= 0 && static_cast<uint64_t>(value) ==
                                                               static_cast<uint64_t>(integer);
    }
    std::memcpy(out, &value, sizeof value);
    return exact;
}

bool storeReal(const __CFNumber& number, void* out) {
    const double value = number.isFloat ? number.real : static_cast<double>(number.integer);
    std::memcpy(out, &value, sizeof value);
    if (number.isFloat)
        return true;
    // 2^63 is representable but not an int64; anything that rounds up to it is lossy.
    return value < 9223372036854775808.0 && static_cast<int64_t>(value) == number.integer;
}

}  // namespace

extern "C" {

CFTypeID CFNumberGetTypeID(void) {
    return kNumberType;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
    NoCancel noCancel;
    if (valuePtr == nullptr || vmac::detail::processCallFails(vmac::Call::NumberCreate))
        return nullptr;
    switch (kindOf(theType)) {
        case Kind::Int8: {
            int8_t v;
            std::memcpy(&v, valuePtr, sizeof v);
            return new __CFNumber(false, v, 0);
        }
        case Kind::Int16: {
            int16_t v;
            std::memcpy(&v, valuePtr, sizeof v);
            return new __CFNumber(false, v, 0);
        }
        case Kind::Int32: {
            int32_t v;
            std::memcpy(&v, valuePtr, sizeof v);
            return new __CFNumber(false, v, 0);
        }
        case Kind::Int64: {
            int64_t v;
            std::memcpy(&v, valuePtr, sizeof v);
            return new __CFNumber(false, v, 0);
        }
        case Kind::Float64: {
            double v;
            std::memcpy(&v, valuePtr, sizeof v);
            return new __CFNumber(true, 0, v);
        }
        case Kind::Unknown:
            break;
    }
    return nullptr;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
    NoCancel noCancel;
    const __CFNumber& n = *checked<__CFNumber>(number, kNumberType, "CFNumberGetValue");
    if (valuePtr == nullptr)
        return false;
    switch (kindOf(theType)) {
        case Kind::Int8:
            return storeInteger<int8_t>(n, valuePtr);
        case Kind::Int16:
            return storeInteger<int16_t>(n, valuePtr);
        case Kind::Int32:
            return storeInteger<int32_t>(n, valuePtr);
        case Kind::Int64:
            return storeInteger<int64_t>(n, valuePtr);
        case Kind::Float64:
            return storeReal(n, valuePtr);
        case Kind::Unknown:
            break;
    }
    return false;
}

}  // extern "C"
