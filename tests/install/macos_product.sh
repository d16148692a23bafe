#!/usr/bin/env bash
# macos_product.sh: installs a macOS build made on another host (the macos-cross preset) with
# `cmake --install` and reads the installed product with LLVM's Mach-O tools, since nothing here
# can run it. CTest passes the build's facts in QUENOR_* variables (see the top CMakeLists.txt).
# It checks:
#   - lib/libquenor.<version>.dylib, with the .1 and unversioned links, is universal
#     (x86_64 + arm64) and answers to @rpath/libquenor.1.dylib;
#   - it links only IOKit, CoreFoundation, libc++ and libSystem;
#   - each slice's minimum macOS: x86_64 10.15, arm64 11.0 (the first arm64 macOS);
#   - it exports only the public API: every exported name belongs to a name that the installed
#     headers declare, and none is a device internal, the platform glue or vmac;
#   - bin/quenor-list is universal, links the library by @rpath and finds it through a run path
#     relative to itself (no absolute run path).
# Exit 0: passed; anything else: failed, with the reason.
set -euo pipefail

: "${QUENOR_CMAKE:?} ${QUENOR_BUILD_DIR:?} ${QUENOR_PREFIX:?} ${QUENOR_VERSION:?}"
: "${QUENOR_LIPO:?} ${QUENOR_OTOOL:?} ${QUENOR_NM:?}"
soversion=${QUENOR_VERSION%%.*}
libdir_name=${QUENOR_LIBDIR:-lib}
bindir_name=${QUENOR_BINDIR:-bin}

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/quenor-macos.XXXXXX")
trap 'rm -rf "$work"' EXIT

rm -rf "$QUENOR_PREFIX"
"$QUENOR_CMAKE" --install "$QUENOR_BUILD_DIR" --prefix "$QUENOR_PREFIX" >"$work/install.log" ||
    { cat "$work/install.log"; fail "cmake --install"; }
prefix=$QUENOR_PREFIX
lib=$prefix/$libdir_name/libquenor.$QUENOR_VERSION.dylib
list=$prefix/$bindir_name/quenor-list
echo "installed into $prefix"

[ -f "$lib" ] || fail "no $libdir_name/libquenor.$QUENOR_VERSION.dylib"
for link in "libquenor.$soversion.dylib" libquenor.dylib; do
    [ -L "$prefix/$libdir_name/$link" ] || fail "no $libdir_name/$link link"
done
[ -f "$list" ] || fail "no $bindir_name/quenor-list"

# The slices of a universal file, one thin file per processor in $work.
slices() {  # file
    local archs
    archs=$("$QUENOR_LIPO" -archs "$1") || fail "$1 is not a Mach-O file"
    [ "$(tr ' ' '\n' <<<"$archs" | sort | xargs)" = "arm64 x86_64" ] ||
        fail "$(basename "$1") holds \"$archs\", not x86_64 + arm64"
    for arch in x86_64 arm64; do
        "$QUENOR_LIPO" "$1" -thin "$arch" -output "$work/$(basename "$1").$arch"
    done
}

# The minimum macOS of a thin file, from LC_BUILD_VERSION (or the older LC_VERSION_MIN_MACOSX).
minimum_os() {  # thin file
    "$QUENOR_OTOOL" -l "$1" | awk '
        /cmd LC_BUILD_VERSION/ { build = 1 }
        build && $1 == "minos" { print $2; exit }
        /cmd LC_VERSION_MIN_MACOSX/ { old = 1 }
        old && $1 == "version" { print $2; exit }'
}

# The libraries a thin file links, one install name a line.
linked() {  # thin file
    "$QUENOR_OTOOL" -L "$1" | tail -n +2 | sed -E 's/^[[:space:]]+//; s/ \(compatibility.*//'
}

# --- The library.
slices "$lib"
declare -A intended=([x86_64]=10.15 [arm64]=11.0)
for arch in x86_64 arm64; do
    thin=$work/$(basename "$lib").$arch
    name=$("$QUENOR_OTOOL" -D "$thin" | tail -n +2)
    [ "$name" = "@rpath/libquenor.$soversion.dylib" ] ||
        fail "$arch: install name is \"$name\", not @rpath/libquenor.$soversion.dylib"
    while IFS= read -r dependency; do
        case $dependency in
        "@rpath/libquenor.$soversion.dylib") ;;  # otool -L lists the library's own name first
        /System/Library/Frameworks/IOKit.framework/Versions/A/IOKit) ;;
        /System/Library/Frameworks/CoreFoundation.framework/Versions/A/CoreFoundation) ;;
        /usr/lib/libc++.1.dylib | /usr/lib/libSystem.B.dylib) ;;
        *) fail "$arch: links $dependency (only IOKit, CoreFoundation, libc++ and libSystem)" ;;
        esac
    done < <(linked "$thin")
    minos=$(minimum_os "$thin")
    [ "$minos" = "${intended[$arch]}" ] ||
        fail "$arch: minimum macOS $minos, intended ${intended[$arch]}"
done

# Exports: the demangled external definitions, stripped to the name that owns them
# ("vtable for X", "X::f(...)", "f(...)" -> X or f).
"$QUENOR_NM" -gU --defined-only -C "$work/$(basename "$lib").arm64" |
    sed -E 's/^[0-9a-f]+ [A-Za-z] //' >"$work/exports"
sed -E 's/^(typeinfo name for|typeinfo for|vtable for|VTT for|(non-)?virtual thunk to) //' \
    "$work/exports" >"$work/owners"
[ -s "$work/exports" ] || fail "the library exports nothing"
# The qualified names alone, without parameter or template lists.
sed -E 's/^_//; s/[(<].*//; s/ +$//' "$work/owners" | sort -u >"$work/names"
leaks=$(grep -E 'Private(::|$)|PlatformUse|(^|::)(vmac|mac)::|^(CF|IO)[A-Z]' "$work/names" || true)
[ -z "$leaks" ] || fail "internals exported:"$'\n'"$leaks"
# Every part of every exported name (namespace, class, member) is declared in an installed
# header.
mapfile -t headers < <(find "$prefix/include" -type f)
undeclared=""
while IFS= read -r part; do
    grep -q -w -F -- "$part" "${headers[@]}" || undeclared+=" $part"
done < <(sed 's/::/\n/g' "$work/names" | sort -u)
[ -z "$undeclared" ] || fail "exported but declared in no installed header:$undeclared"

# --- quenor-list.
slices "$list"
for arch in x86_64 arm64; do
    thin=$work/quenor-list.$arch
    linked "$thin" | grep -q -x "@rpath/libquenor.$soversion.dylib" ||
        fail "quenor-list ($arch) does not link @rpath/libquenor.$soversion.dylib"
    rpaths=$("$QUENOR_OTOOL" -l "$thin" | awk '/cmd LC_RPATH/ { r = 1 } r && $1 == "path" { print $2; r = 0 }')
    [ -n "$rpaths" ] || fail "quenor-list ($arch) has no run path"
    found=0
    for rpath in $rpaths; do
        case $rpath in
        @loader_path/* | @executable_path/*)
            [ -f "$(dirname "$list")/${rpath#*/}/libquenor.$soversion.dylib" ] && found=1 ;;
        *) fail "quenor-list ($arch): run path $rpath is not relative to the program" ;;
        esac
    done
    [ "$found" = 1 ] || fail "quenor-list ($arch): no run path ($rpaths) reaches the library"
done

echo "libquenor.$soversion.dylib and quenor-list: x86_64 + arm64, minimum macOS 10.15 and 11.0," \
    "$(wc -l <"$work/names") exported names, each declared in an installed header"
