// Platform status codes in words, for people reading a failure.
//
// Result records carry the platform's status as a signed 64-bit number, widened with its sign:
// kIOReturnNotAttached (0xE00002D9) arrives as -536870183. describeStatus() turns such a number
// into one short line that names the code, shows it in hex and says what happened:
//
//     kIOReturnNotAttached (0xE00002D9): the device is gone
//
// It knows every status the library itself reports and the ones macOS commonly answers for HID
// and USB calls. Any other number comes back as its 32-bit hex form followed by ": unknown
// status" ("0x12345678: unknown status"); a number beyond 32 bits, which no platform call
// gives, as its 64-bit two's-complement hex ("0xFFFFFFFE00000000: unknown status"). A 32-bit code
// may also be passed unwidened (0xE00002D9 as a positive number); it reads the same.
//
// The text is for people: its wording may change between releases, so compare statuses by
// number, never by text. Safe to call from any thread.
#pragma once

#include <quenor/export.h>

#include <cstdint>
#include <string>

namespace quenor {

QUENOR_EXPORT std::string describeStatus(std::int64_t status);

}  // namespace quenor
