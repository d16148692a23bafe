// Compiled into the library, so these report the library's version, not the application's.
#include "quenor/version.h"

namespace quenor {

int versionNumber() noexcept {
    return QUENOR_VERSION;
}

const char* versionString() noexcept {
    return QUENOR_VERSION_STRING;
}

}  // namespace quenor
