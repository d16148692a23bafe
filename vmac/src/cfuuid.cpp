#include "cfuuid.h"

#include "nocancel.h"

#include <array>
#include <cstring>
#include <map>
#include <mutex>

using vmac::detail::checked;
using vmac::detail::kUUIDType;
using vmac::detail::NoCancel;

namespace vmac::detail {

bool sameUUID(const CFUUIDBytes& a, const CFUUIDBytes& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace vmac::detail

extern "C" {

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2,
                                         UInt8 byte3, UInt8 byte4, UInt8 byte5, UInt8 byte6,
                                         UInt8 byte7, UInt8 byte8, UInt8 byte9, UInt8 byte10,
                                         UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14,
                                         UInt8 byte15) {
    NoCancel noCancel;
    const CFUUIDBytes bytes = {byte0, byte1, byte2,  byte3,  byte4,  byte5,  byte6,  byte7,
                               byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15};
    std::array<UInt8, 16> key;
    std::memcpy(key.data(), &bytes, key.size());
    static auto* mutex = new std::mutex;
    static auto* interned = new std::map<std::array<UInt8, 16>, __CFUUID*>;  // guarded by *mutex
    std::lock_guard<std::mutex> lock(*mutex);
    __CFUUID*& slot = (*interned)[key];
    if (slot == nullptr)
        slot = new __CFUUID(bytes);
    return slot;
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    NoCancel noCancel;
    return checked<__CFUUID>(uuid, kUUIDType, "CFUUIDGetUUIDBytes")->bytes;
}

}  // extern "C"
