// Symbol visibility of libquenor. The library is built with hidden visibility;
// everything that belongs to its public boundary carries QUENOR_EXPORT.
#pragma once

#if defined(_WIN32)
#define QUENOR_EXPORT
#else
#define QUENOR_EXPORT __attribute__((visibility("default")))
#endif
