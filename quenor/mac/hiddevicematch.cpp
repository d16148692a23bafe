#include "quenor/mac/hiddevicematch.h"

namespace {

bool fits(const std::optional<uint16_t>& wanted, uint16_t actual) {
    return !wanted || *wanted == actual;
}

}  // namespace

bool HidDeviceMatch::matches(const HidDeviceIdentity& identity) const {
    return fits(vendorId, identity.vendorId) && fits(productId, identity.productId) &&
           fits(usagePage, identity.usagePage) && fits(usage, identity.usage);
}
