# Toolchain: the macOS product (universal x86_64 + arm64 libquenor.1.dylib, the demo and
# quenor-list) built on Linux with LLVM's clang, lld and lipo against a macOS SDK's headers and
# .tbd stubs. The SDK is the directory that the environment variable QUENOR_MACOS_SDK names
# (or -DQUENOR_MACOS_SDK=...). Used by the macos-cross preset; see README.md.
#
# CMake reads this file again for every compiler check, so it must stay cheap and repeatable.

set(CMAKE_SYSTEM_NAME Darwin)
# Darwin 19 is macOS 10.15, the oldest system the product runs on.
set(CMAKE_SYSTEM_VERSION 19.0)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

if(NOT QUENOR_MACOS_SDK)
  set(QUENOR_MACOS_SDK "$ENV{QUENOR_MACOS_SDK}")
endif()
if(NOT QUENOR_MACOS_SDK)
  message(FATAL_ERROR "macos-cross needs a macOS SDK: set QUENOR_MACOS_SDK to its directory "
                      "(e.g. QUENOR_MACOS_SDK=/tmp/sdk/MacOSX12.0.sdk)")
endif()
get_filename_component(QUENOR_MACOS_SDK "${QUENOR_MACOS_SDK}" ABSOLUTE)
if(NOT EXISTS "${QUENOR_MACOS_SDK}/usr/lib/libc++.tbd" OR
   NOT EXISTS "${QUENOR_MACOS_SDK}/System/Library/Frameworks/IOKit.framework/IOKit.tbd")
  message(FATAL_ERROR "QUENOR_MACOS_SDK=${QUENOR_MACOS_SDK} is not a macOS SDK with .tbd stubs "
                      "(no usr/lib/libc++.tbd or IOKit.framework/IOKit.tbd)")
endif()
# Compiler checks run in projects of their own; they must see the same SDK.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUENOR_MACOS_SDK)

set(CMAKE_OSX_SYSROOT "${QUENOR_MACOS_SDK}" CACHE PATH "The macOS SDK")
set(CMAKE_OSX_ARCHITECTURES "x86_64;arm64" CACHE STRING "The processors of the universal binary")
# The oldest macOS the product runs on is in the compiler's target below, not in
# CMAKE_OSX_DEPLOYMENT_TARGET: its -mmacosx-version-min would hold for both slices, while
# arm64 Macs start at macOS 11.
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "Set by the target triple in macos-cross.cmake")

# Programs of the build host, libraries and headers of the SDK only.
set(CMAKE_FIND_ROOT_PATH "${QUENOR_MACOS_SDK}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(quenor_llvm_versions 19 18 17 16 15 14)
list(TRANSFORM quenor_llvm_versions PREPEND "clang++-" OUTPUT_VARIABLE quenor_clangxx_names)
list(TRANSFORM quenor_llvm_versions PREPEND "llvm-lipo-" OUTPUT_VARIABLE quenor_lipo_names)
list(TRANSFORM quenor_llvm_versions PREPEND "llvm-install-name-tool-" OUTPUT_VARIABLE
     quenor_install_name_tool_names)
list(TRANSFORM quenor_llvm_versions PREPEND "llvm-otool-" OUTPUT_VARIABLE quenor_otool_names)
find_program(CMAKE_CXX_COMPILER NAMES clang++ ${quenor_clangxx_names} REQUIRED)
# macOS 10.15 and later; the -arch flags then pick each slice's processor, and clang raises
# the arm64 slice's minimum to 11.0.
set(CMAKE_CXX_COMPILER_TARGET x86_64-apple-macos10.15)
find_program(QUENOR_LLVM_LIPO NAMES llvm-lipo ${quenor_lipo_names} REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool
             ${quenor_install_name_tool_names} REQUIRED)
find_program(CMAKE_OTOOL NAMES llvm-otool ${quenor_otool_names})

# With two -arch flags clang compiles and links each slice, then joins them by running a
# program named "lipo", which Linux does not have: give it LLVM's under that name, in a
# directory of the build tree that -B puts first in clang's program search.
get_filename_component(quenor_tools_dir "${CMAKE_BINARY_DIR}/macos-cross-tools" ABSOLUTE)
if(NOT EXISTS "${quenor_tools_dir}/lipo")
  file(MAKE_DIRECTORY "${quenor_tools_dir}")
  file(CREATE_LINK "${QUENOR_LLVM_LIPO}" "${quenor_tools_dir}/lipo" SYMBOLIC)
endif()
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++ -B${quenor_tools_dir}")
# Apple's linker interface, from LLVM (ld64.lld).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld")

# CMake's Darwin platform asks the host's sw_vers for the macOS version and, without an answer,
# leaves out run-path support: the library would then be named by its absolute build path
# instead of @rpath/libquenor.1.dylib. The rules file puts it back after the platform files.
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/macos-cross-rules.cmake")
