// The version of quenor, twice: as macros, for the headers an application was compiled against,
// and as functions, for the library it actually runs with. The two differ when an application
// built against one release runs with a newer compatible library (same major version).
//
// The build reads the three numbers below; they are the package version that find_package and
// pkg-config report and the library's file version.
#pragma once

#include <quenor/export.h>

#define QUENOR_VERSION_MAJOR 1
#define QUENOR_VERSION_MINOR 0
#define QUENOR_VERSION_PATCH 0

// One number that compares like the version: QUENOR_VERSION >= QUENOR_VERSION_CHECK(1, 2, 0).
#define QUENOR_VERSION_CHECK(major, minor, patch) (((major) << 16) | ((minor) << 8) | (patch))
#define QUENOR_VERSION \
    QUENOR_VERSION_CHECK(QUENOR_VERSION_MAJOR, QUENOR_VERSION_MINOR, QUENOR_VERSION_PATCH)

#define QUENOR_VERSION_STRINGIFY_(x) #x
#define QUENOR_VERSION_STRINGIFY(x) QUENOR_VERSION_STRINGIFY_(x)
// "major.minor.patch"
#define QUENOR_VERSION_STRING                                                        \
    QUENOR_VERSION_STRINGIFY(QUENOR_VERSION_MAJOR)                                   \
    "." QUENOR_VERSION_STRINGIFY(QUENOR_VERSION_MINOR) "." QUENOR_VERSION_STRINGIFY( \
        QUENOR_VERSION_PATCH)

namespace quenor {

// QUENOR_VERSION of the library loaded at run time.
QUENOR_EXPORT int versionNumber() noexcept;
// QUENOR_VERSION_STRING of the library loaded at run time; a static string, never null.
QUENOR_EXPORT const char* versionString() noexcept;

}  // namespace quenor
