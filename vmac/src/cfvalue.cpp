// Value equality and hashing behind the kCFType collection callbacks.
#include "cfnumber.h"
#include "cfstring.h"
#include "object.h"

#include <functional>

namespace vmac::detail {
namespace {

bool fitsInt64(double real) {
    return real >= -9223372036854775808.0 && real < 9223372036854775808.0;
}

bool numbersEqual(const __CFNumber& a, const __CFNumber& b) {
    if (!a.isFloat && !b.isFloat)
        return a.integer == b.integer;
    if (a.isFloat && b.isFloat)
        return a.real == b.real;
    const __CFNumber& real = a.isFloat ? a : b;
    const __CFNumber& integer = a.isFloat ? b : a;
    return fitsInt64(real.real) && static_cast<int64_t>(real.real) == integer.integer &&
           real.real == static_cast<double>(integer.integer);
}

}  // namespace

bool cfEqual(CFTypeRef a, CFTypeRef b) {
    if (a == b)
        return true;
    const Object* x = objectOf(a, "CFEqual");
    const Object* y = objectOf(b, "CFEqual");
    if (x->typeId() != y->typeId())
        return false;
    switch (x->typeId()) {
        case kStringType:
            return static_cast<const __CFString*>(x)->utf8 ==
                   static_cast<const __CFString*>(y)->utf8;
        case kNumberType:
            return numbersEqual(*static_cast<const __CFNumber*>(x),
                                *static_cast<const __CFNumber*>(y));
        default:
            return false;
    }
}

CFHashCode cfHash(CFTypeRef cf) {
    const Object* object = objectOf(cf, "CFHash");
    switch (object->typeId()) {
        case kStringType:
            return std::hash<std::string>()(static_cast<const __CFString*>(object)->utf8);
        case kNumberType: {
            const auto* number = static_cast<const __CFNumber*>(object);
            // Integral reals must hash like the equal integer.
            if (number->isFloat && !fitsInt64(number->real))
                return std::hash<double>()(number->real);
            const int64_t key =
                number->isFloat ? static_cast<int64_t>(number->real) : number->integer;
            return std::hash<int64_t>()(key);
        }
        default:
            return reinterpret_cast<CFHashCode>(cf);
    }
}

}  // namespace vmac::detail
