#!/usr/bin/env bash
# header_check.sh QUENOR_DIR CC CXX [CLANG]: quenor.h compiles on its own as C99 and as
# C++17 with every warning an error, and, with clang, imports as module `quenor` through
# the module.modulemap beside it, from C (#include, turned into the import) and from
# Objective-C (@import). Exit 0: passed; 77: no clang for the module checks.
set -euo pipefail
dir=${1:?} cc=${2:?} cxx=${3:?} clang=${4:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/quenor-header.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/include"
ln -s "$dir" "$work/include/quenor"

printf '#include <quenor/quenor.h>\nint main(void) { return quenor_version_number() > 0 ? 0 : 1; }\n' \
    >"$work/alone.c"
cp "$work/alone.c" "$work/alone.cpp"
for compiler in "$cc" ${clang:+"$clang"}; do
    "$compiler" -std=c99 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$work/include" \
        "$work/alone.c"
done
"$cxx" -std=c++17 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$work/include" \
    "$work/alone.cpp"
echo "quenor.h: compiles alone as C99 ($cc${clang:+, $clang}) and C++17 ($cxx)"

[ -n "$clang" ] || { echo "SKIPPED: no clang for the module checks"; exit 77; }
cat >"$work/module.c" <<'C'
#include <quenor/quenor.h>
int version(void) { return quenor_version_number(); }
C
cat >"$work/module.m" <<'OBJC'
@import quenor;
int version(void) {
    quenor_match match = {QUENOR_MATCH_VENDOR_ID, 0x1209, 0, 0, 0};
    return match.vendor_id != 0 ? quenor_version_number() : 0;
}
OBJC
for source in module.c module.m; do
    # -Rmodule-build names each module as it is built: quenor must be one, so the
    # header came in through the module map and not as text.
    "$clang" -fmodules -fmodules-cache-path="$work/cache-$source" -Wall -Wextra -Werror \
        -Rmodule-build -I"$work/include" -c "$work/$source" -o "$work/$source.o" \
        2>"$work/$source.log" || { cat "$work/$source.log"; exit 1; }
    grep -q "building module 'quenor'" "$work/$source.log" ||
        { cat "$work/$source.log"; echo "FAILED: $source did not import module quenor"; exit 1; }
done
echo "module.modulemap: module quenor imported from C and Objective-C ($clang -fmodules)"
