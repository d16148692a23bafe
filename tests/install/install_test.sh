#!/usr/bin/env bash
# install_test.sh CHECK: installs the build into a temporary prefix, moves the installed tree to
# another directory, and runs one CHECK against it (package, headers, cmake, pkgconfig, docs; see
# CMakeLists.txt beside this file). CTest passes the build's facts in QUENOR_* variables.
# Exit 0: passed; 77: skipped (the reason is printed); anything else: failed.
set -euo pipefail

check=${1:?usage: install_test.sh package|headers|cmake|pkgconfig|docs}
here=$(cd "$(dirname "$0")" && pwd)
: "${QUENOR_SOURCE_DIR:?} ${QUENOR_BUILD_DIR:?} ${QUENOR_VERSION:?} ${QUENOR_PLATFORM:?}"
: "${QUENOR_CMAKE:?} ${QUENOR_CXX:?}"
cxxflags=${QUENOR_CXX_FLAGS:-}
ldflags=${QUENOR_LINKER_FLAGS:-}
soversion=${QUENOR_VERSION%%.*}

# The build's compiler on a C++17 file with every warning an error, and the build's flags.
cxx() {
    # shellcheck disable=SC2086 # the flags are word lists
    "$QUENOR_CXX" -std=c++17 -Wall -Wextra -Wpedantic -Werror $cxxflags "$@"
}

fail() {
    echo "FAILED: $*" >&2
    exit 1
}
skip() {
    echo "SKIPPED: $*"
    exit 77
}

work=$(mktemp -d "${TMPDIR:-/tmp}/quenor-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Install, then move: whatever still points at the staging prefix breaks below.
"$QUENOR_CMAKE" --install "$QUENOR_BUILD_DIR" --prefix "$work/staging" >"$work/install.log" ||
    { cat "$work/install.log"; fail "cmake --install"; }
mv "$work/staging" "$work/moved"
prefix=$work/moved
libdir=$prefix/${QUENOR_LIBDIR:?}
echo "installed into $work/staging, moved to $prefix"

# No file may name the source tree, the build tree or the staging prefix.
no_tree_paths() {  # files...
    local hits
    hits=$(grep -l -F -e "$QUENOR_SOURCE_DIR" -e "$QUENOR_BUILD_DIR" -e "$work/staging" "$@" ||
        true)
    [ -z "$hits" ] || fail "paths into the source, build or staging tree in: $hits"
}

# The Python package finds the moved library by its own place (no QUENOR_LIBRARY). An
# interpreter that is not instrumented cannot load a sanitized library on its own: there
# only the files are checked (the python.pytest test runs it with the runtime preloaded).
check_python_package() {
    local package=$libdir/quenor/python
    [ -f "$package/quenor/__init__.py" ] && [ -f "$package/quenor/py.typed" ] ||
        fail "no Python package in $package"
    [[ "$cxxflags $ldflags" == *-fsanitize=* ]] && return
    command -v python3 >/dev/null || return 0
    [ "$(env -u QUENOR_LIBRARY PYTHONPATH="$package" python3 -c 'import quenor; print(quenor.version())')" = \
        "$QUENOR_VERSION" ] || fail "the installed Python package does not load the moved library"
}

check_package() {
    local lib libs=(quenor) headers
    if [ "$QUENOR_PLATFORM" = virtual ]; then
        libs+=(vmac)
    fi
    for name in "${libs[@]}"; do
        # The file, its link by major version and the unversioned link.
        local real=lib$name.so.$QUENOR_VERSION lib=lib$name.so.$soversion dev=lib$name.so
        [ "$(uname)" = Darwin ] &&
            real=lib$name.$QUENOR_VERSION.dylib lib=lib$name.$soversion.dylib dev=lib$name.dylib
        [ -f "$libdir/$real" ] && [ -L "$libdir/$lib" ] && [ -L "$libdir/$dev" ] ||
            fail "not all of $real and the links $lib and $dev"
        if [ "$(uname)" = Darwin ]; then
            otool -D "$libdir/$lib" | grep -q "^@rpath/$lib\$" ||
                fail "$lib: install name is not @rpath/$lib"
        elif command -v readelf >/dev/null; then
            readelf -d "$libdir/$lib" | grep -q "SONAME.*\[$lib\]" || fail "$lib: wrong SONAME"
            # shellcheck disable=SC2016 # the run path is the literal $ORIGIN
            if readelf -d "$libdir/$lib" | grep -E 'R(UN)?PATH' | grep -v -F '[$ORIGIN]'; then
                fail "$lib: a run path other than \$ORIGIN"
            fi
        fi
    done
    for file in cmake/quenor/quenorConfig.cmake cmake/quenor/quenorConfigVersion.cmake \
        cmake/quenor/quenorTargets.cmake pkgconfig/quenor.pc; do
        [ -f "$libdir/$file" ] || fail "no $file"
    done
    headers=$(cd "$prefix/include" && find . -type f ! -name module.modulemap | sed 's#^\./##' |
        sort | tr '\n' ' ')
    [ -f "$prefix/include/quenor/module.modulemap" ] || fail "no module.modulemap beside quenor.h"
    check_python_package
    # Exactly the public headers, taken from the source tree whatever the libraries' header sets
    # say: each header of quenor/ but the private ones, and vmac's in a build for the virtual
    # platform; none of the device's internals or of the platform seam; and every header the
    # README and docs/ include, so that a new public header cannot be left out of the package.
    local expected wanted
    expected=$(cd "$QUENOR_SOURCE_DIR" && find quenor -name '*.h' -o -name async_request |
        grep -v -x -F -f <(tr ' ' '\n' <<<"${QUENOR_PRIVATE_HEADERS:?}" | sed 's#^#quenor/#')
        [ "$QUENOR_PLATFORM" != virtual ] || (cd vmac/include && find vmac -name '*.h'))
    while IFS= read -r wanted; do
        [[ " $headers" == *" $wanted "* ]] || fail "public header not installed: $wanted"
    done < <(echo "$expected"
        cd "$QUENOR_SOURCE_DIR" && cat README.md docs/*.md |
            sed -n -E 's/^[[:space:]]*#include <((quenor|vmac)\/[^>]+)>.*/\1/p' |
            { [ "$QUENOR_PLATFORM" = virtual ] && cat || grep -v '^vmac/'; })
    for header in $headers; do
        grep -q -x -F "$header" <<<"$expected" || fail "installed but not public: $header"
        case $header in
        quenor/mac/platform.h | quenor/mac/scoped* | *private*)
            fail "an internal header is installed: $header" ;;
        esac
    done
    [ -f "$prefix/${QUENOR_DOCDIR:?}/LICENSE" ] || fail "no $QUENOR_DOCDIR/LICENSE"
    # quenor-list runs from the moved prefix: its run path is relative to itself.
    local list=$prefix/${QUENOR_BINDIR:?}/quenor-list listed
    [ -x "$list" ] || fail "no $QUENOR_BINDIR/quenor-list"
    if [ "$QUENOR_PLATFORM" = virtual ]; then
        listed=$("$list" --simulate) || fail "$QUENOR_BINDIR/quenor-list --simulate failed"
        [[ $listed == *'"Echo Gadget E1"'* ]] || fail "quenor-list --simulate listed: $listed"
    else
        "$list" --help >/dev/null || fail "$QUENOR_BINDIR/quenor-list --help failed"
    fi
    local installed_headers
    mapfile -t installed_headers < <(find "$prefix/include" -type f)
    no_tree_paths "$libdir"/cmake/quenor/*.cmake "$libdir/pkgconfig/quenor.pc" \
        "${installed_headers[@]}"
    echo "package: libraries, links, CMake package, quenor.pc, $(echo "$headers" | wc -w)" \
        "headers, the licence and quenor-list"
}

# Each header first in a file of its own, warnings as errors, with the build's compiler and, where
# there is one, clang++ too. A quenor header sees only the quenor headers, so one that reached for
# vmac (or any platform header it does not ship) fails here.
check_headers() {
    mkdir -p "$work/only-quenor"
    ln -s "$prefix/include/quenor" "$work/only-quenor/quenor"
    local compilers=("$QUENOR_CXX") count=0 header include compiler
    if command -v clang++ >/dev/null && ! "$QUENOR_CXX" --version | grep -q clang; then
        compilers+=(clang++)
    fi
    while IFS= read -r header; do
        include=$prefix/include
        [[ $header == quenor/* ]] && include=$work/only-quenor
        printf '#include <%s>\n' "$header" >"$work/tu.cpp"
        for compiler in "${compilers[@]}"; do
            "$compiler" -std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Werror \
                -I"$include" "$work/tu.cpp" || fail "$header does not compile on its own ($compiler)"
        done
        count=$((count + 1))
    done < <(cd "$prefix/include" && find . -type f ! -name module.modulemap | sed 's#^\./##' |
        sort)
    [ "$count" -gt 0 ] || fail "no headers installed"
    echo "headers: $count compile on their own with -Wall -Wextra -Wpedantic -Werror" \
        "(${compilers[*]})"
    # The C interface as Swift and Objective-C see it: module quenor, by the installed map.
    if command -v clang >/dev/null; then
        printf '@import quenor;\nint v(void) { return quenor_version_number(); }\n' >"$work/m.m"
        clang -fmodules -fmodules-cache-path="$work/modules" -Werror -I"$prefix/include" \
            -c "$work/m.m" -o "$work/m.o" || fail "@import quenor with the installed module map"
        echo "headers: @import quenor; compiles with the installed module.modulemap"
    fi
}

check_cmake() {
    [ "$QUENOR_PLATFORM" = virtual ] ||
        skip "the consumer's test plugs virtual devices; this build is for the $QUENOR_PLATFORM platform"
    : "${QUENOR_CTEST:?}"
    local generator=() config
    if [ -n "${QUENOR_NINJA:-}" ]; then
        generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$QUENOR_NINJA")
    fi
    # QUENOR_CXX_FLAGS already holds the build type's flags.
    config=$(echo "${QUENOR_BUILD_TYPE:-none}" | tr '[:lower:]' '[:upper:]')
    # The consumer is built from a copy, so that nothing in its build can point into our tree.
    cp -R "$QUENOR_SOURCE_DIR/examples/consumer" "$work/consumer"
    "$QUENOR_CMAKE" -S "$work/consumer" -B "$work/consumer-build" "${generator[@]}" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
        -DCMAKE_CXX_COMPILER="$QUENOR_CXX" -DCMAKE_BUILD_TYPE="${QUENOR_BUILD_TYPE:-}" \
        -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_CXX_FLAGS_"$config"= \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" || fail "configuring the consumer"
    grep -q "^quenor_DIR:PATH=$prefix/" "$work/consumer-build/CMakeCache.txt" ||
        fail "find_package did not take quenor from $prefix"
    "$QUENOR_CMAKE" --build "$work/consumer-build" || fail "building the consumer"
    local build_files
    mapfile -t build_files < <(find "$work/consumer-build" -maxdepth 1 -type f \
        \( -name CMakeCache.txt -o -name '*.ninja' -o -name Makefile \))
    no_tree_paths "${build_files[@]}"
    (cd "$work/consumer-build" && "$QUENOR_CTEST" --output-on-failure --no-tests=error) ||
        fail "the consumer's test"

    # SameMajorVersion: a request for the next major version finds nothing.
    mkdir "$work/next-major"
    cat >"$work/next-major/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(next-major LANGUAGES NONE)
find_package(quenor $((soversion + 1)) QUIET)
if(quenor_FOUND)
  message(FATAL_ERROR "quenor $QUENOR_VERSION was accepted for version $((soversion + 1))")
endif()
EOF
    "$QUENOR_CMAKE" -S "$work/next-major" -B "$work/next-major/build" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null ||
        fail "the version file accepts another major version"
    echo "cmake: consumer built with find_package(quenor) from $prefix and its test passed"
}

check_pkgconfig() {
    [ -n "${QUENOR_PKG_CONFIG:-}" ] || skip "no pkg-config on this machine"
    export PKG_CONFIG_PATH=$libdir/pkgconfig
    local pc=$QUENOR_PKG_CONFIG version flags defines=()
    version=$("$pc" --modversion quenor) || fail "pkg-config does not find quenor.pc"
    [ "$version" = "$QUENOR_VERSION" ] || fail "quenor.pc says $version, the build $QUENOR_VERSION"
    [ "$("$pc" --variable=platform quenor)" = "$QUENOR_PLATFORM" ] || fail "quenor.pc: platform"
    flags=$("$pc" --cflags --libs quenor)
    [[ $flags == *"-I$prefix/"* ]] || fail "quenor.pc does not resolve to the moved prefix: $flags"
    if [ "$QUENOR_PLATFORM" = virtual ]; then
        defines=(-DAPP_DRIVES_VIRTUAL_GADGET)
    fi
    # shellcheck disable=SC2086 # the flags are word lists
    cxx "${defines[@]}" "$here/pkgconfig_app.cpp" -o "$work/app" $flags $ldflags \
        -Wl,-rpath,"$("$pc" --variable=libdir quenor)" || fail "building with pkg-config"
    "$work/app" || fail "the program built with pkg-config"
    echo "pkgconfig: built with: $flags"
}

# The C++ blocks of README.md and docs/*.md against the installed package. A block right after
# a line `<!-- file: PATH -->` shows that file of the source tree whole and must equal it (the
# files under examples/consumer/ are built by the cmake check). Any other block with #include
# lines is presented as complete: one that defines main() is built as it stands; the
# rest (statements, as in the README) is built as the body of a function, its #include lines
# first. Both are linked against the installed libraries, so an undeclared name, a header
# left out of the package or a symbol the library does not export fails here.
check_docs() {
    local snippets=$work/snippets block marker where kind built=0 same=0 libs=(-lquenor)
    mkdir -p "$snippets"
    [ "$QUENOR_PLATFORM" = virtual ] && libs+=(-lvmac)
    (cd "$QUENOR_SOURCE_DIR" && awk -v out="$snippets" '
        FNR == 1 { marker = "" }
        /^<!-- file: .* -->$/ { marker = $3; next }
        /^```cpp$/ && !inside { inside = 1; n++; file = sprintf("%s/%03d.cpp", out, n)
            printf "%s:%d %s\n", FILENAME, FNR, marker > (file ".where"); printf "" > file; next }
        /^```$/ && inside { inside = 0; marker = ""; close(file); next }
        inside { print > file; next }
        !/^[[:space:]]*$/ { marker = "" }' README.md docs/*.md)
    for block in "$snippets"/*.cpp; do
        [ -e "$block" ] || break
        read -r where marker <"$block.where"
        if [ -n "$marker" ]; then
            diff -u "$QUENOR_SOURCE_DIR/$marker" "$block" >&2 ||
                fail "$where shows $marker, but not as it is in the tree"
            same=$((same + 1))
            continue
        fi
        grep -q '^#include' "$block" || continue
        if [ "$QUENOR_PLATFORM" != virtual ] && grep -q '^#include <vmac/' "$block"; then
            continue
        fi
        if grep -q '^int main(' "$block"; then
            kind="as it stands"
            cp "$block" "$block.tu.cpp"
        else
            kind="as a function body"
            { grep '^#include' "$block"; echo "void documentedExample() {"
              grep -v '^#include' "$block"; echo "}"; echo "int main() {}"; } >"$block.tu.cpp"
        fi
        # shellcheck disable=SC2086 # the flags are word lists
        cxx -Wno-unused-parameter -Wno-unused-variable -I"$prefix/include" "$block.tu.cpp" \
            -o "$block.exe" -L"$libdir" "${libs[@]}" -pthread $ldflags ||
            fail "$where does not build against the installed package ($kind)"
        echo "docs: $where builds $kind"
        built=$((built + 1))
    done
    [ $((built + same)) -gt 0 ] || fail "no C++ block found in README.md or docs/"
    echo "docs: $built blocks built, $same equal to their files"
}

case $check in
package) check_package ;;
headers) check_headers ;;
cmake) check_cmake ;;
pkgconfig) check_pkgconfig ;;
docs) check_docs ;;
*) fail "unknown check: $check" ;;
esac
