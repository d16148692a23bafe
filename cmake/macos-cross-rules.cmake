# Read by CMake after its Darwin platform files, for the macos-cross toolchain
# (macos-cross.cmake): what those files leave out when the build host is not a Mac.

# Run paths: every macOS since 10.5 has them, so libquenor is named @rpath/libquenor.1.dylib
# and the programs find it through their own LC_RPATH.
set(CMAKE_SHARED_LIBRARY_RUNTIME_C_FLAG "-Wl,-rpath,")
set(CMAKE_SHARED_LIBRARY_RUNTIME_C_FLAG_SEP "")
# Only for the linkers of macOS 10.4 and older.
set(CMAKE_LINK_DEPENDENT_LIBRARY_FILES 0)
