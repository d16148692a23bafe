#!/usr/bin/env bash
# header_check.sh QUENOR_DIR CC CXX [CLANG]: quenor.h compiles on its own as C99 with every
# warning an error, and, with clang, a C file's #include of it becomes an import of module
# `quenor` through the module.modulemap beside it. (As C++17 and through @import from
# Objective-C, the installed header is checked by install.headers.) Exit 0: passed; 77: no
# clang for the module check.
set -euo pipefail
dir=${1:?} cc=${2:?} clang=${4:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/quenor-header.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/include"
ln -s "$dir" "$work/include/quenor"

printf '#include <quenor/quenor.h>\nint version(void) { return quenor_version_number(); }\n' \
    >"$work/alone.c"
for compiler in "$cc" ${clang:+"$clang"}; do
    "$compiler" -std=c99 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$work/include" \
        "$work/alone.c"
done
echo "quenor.h: compiles alone as C99 ($cc${clang:+, $clang})"

[ -n "$clang" ] || { echo "SKIPPED: no clang for the module check"; exit 77; }
# -Rmodule-build names each module as it is built: quenor must be one, so the header came in
# through the module map and not as text.
"$clang" -fmodules -fmodules-cache-path="$work/cache" -Wall -Wextra -Werror -Rmodule-build \
    -I"$work/include" -c "$work/alone.c" -o "$work/alone.o" 2>"$work/module.log" ||
    { cat "$work/module.log"; exit 1; }
grep -q "building module 'quenor'" "$work/module.log" ||
    { cat "$work/module.log"; echo "FAILED: #include did not import module quenor"; exit 1; }
echo "module.modulemap: #include <quenor/quenor.h> imports module quenor ($clang -fmodules)"
