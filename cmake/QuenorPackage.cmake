# The installed package: the CMake package (quenorConfig.cmake, its version file
# and the exported targets quenor::quenor and, in virtual builds, quenor::vmac)
# and quenor.pc. Every path in them is relative to where they are installed, so
# the installed tree can be moved to any prefix.
include(CMakePackageConfigHelpers)

set(QUENOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quenor)

install(EXPORT quenorTargets
  NAMESPACE quenor::
  DESTINATION ${QUENOR_CMAKE_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/quenorConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/quenorConfig.cmake
  INSTALL_DESTINATION ${QUENOR_CMAKE_DIR})
# 1.x is compatible with 1.y for y >= x; 2.0 is not.
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/quenorConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/quenorConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/quenorConfigVersion.cmake
  DESTINATION ${QUENOR_CMAKE_DIR})

# quenor.pc finds its prefix from its own place (${pcfiledir}), so that it too
# moves with the tree. A build for the virtual platform adds libvmac to the
# libraries: libquenor cannot run without it, and an application's tests need it
# to plug virtual devices.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "quenor installs a relocatable package: give CMAKE_INSTALL_LIBDIR and "
                      "CMAKE_INSTALL_INCLUDEDIR relative to the prefix")
endif()
file(RELATIVE_PATH QUENOR_PC_PREFIX_FROM_PCFILEDIR
     /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" QUENOR_PC_PREFIX_FROM_PCFILEDIR "${QUENOR_PC_PREFIX_FROM_PCFILEDIR}")
if(QUENOR_PLATFORM STREQUAL "virtual")
  set(QUENOR_PC_LIBS "-lquenor -lvmac")
else()
  set(QUENOR_PC_LIBS "-lquenor")
endif()
if(APPLE)
  set(QUENOR_PC_LIBS_PRIVATE "")
  if(QUENOR_PLATFORM STREQUAL "system")
    set(QUENOR_PC_LIBS_PRIVATE "-framework IOKit -framework CoreFoundation")
  endif()
else()
  set(QUENOR_PC_LIBS_PRIVATE "-pthread")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/quenor.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quenor.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quenor.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The licence travels with the package.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
