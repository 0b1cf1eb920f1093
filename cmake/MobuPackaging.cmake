# What a consumer of the installed libraries needs, and the Debian package.
#
#   lib/pkgconfig/MobuEmbedded.pc, MobuCal2Impulse.pc    pkg-config --cflags --libs
#   lib/cmake/MobuEmbedded, lib/cmake/MobuCal2Impulse    find_package(... CONFIG)
#
# Both kinds are relocatable: they find the tree from their own place, so the
# same files work under any prefix, from a DESTDIR and from the package.
include(CMakePackageConfigHelpers)

# pkg-config files: the path from their directory up to the prefix.
set(MOBU_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH MOBU_PC_TO_PREFIX /prefix/${MOBU_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" MOBU_PC_TO_PREFIX "${MOBU_PC_TO_PREFIX}")
foreach(lib MobuEmbedded MobuCal2Impulse)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${lib}.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/${lib}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${lib}.pc DESTINATION ${MOBU_PKGCONFIG_DIR})
endforeach()

# CMake packages, one per library; MobuCal2Impulse's finds MobuEmbedded's.
install(EXPORT MobuEmbeddedTargets NAMESPACE MobuEmbedded::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/MobuEmbedded)
install(EXPORT MobuCal2ImpulseTargets NAMESPACE MobuCal2Impulse::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/MobuCal2Impulse)
foreach(lib MobuEmbedded MobuCal2Impulse)
  set(dir ${CMAKE_INSTALL_LIBDIR}/cmake/${lib})
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/${lib}Config.cmake.in
    ${CMAKE_BINARY_DIR}/cmake/${lib}Config.cmake INSTALL_DESTINATION ${dir})
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/${lib}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/cmake/${lib}Config.cmake ${CMAKE_BINARY_DIR}/cmake/${lib}ConfigVersion.cmake
    DESTINATION ${dir})
endforeach()

# The Debian package of everything installed (cpack -G DEB, or scripts/build-deb.sh).
# Its architecture is the target's: the multiarch triplet of the compiler (an
# aarch64 cross build gives arm64), else the build machine's.
if(NOT MOBU_DEB_ARCHITECTURE)
  find_program(MOBU_DPKG_ARCHITECTURE dpkg-architecture)
  find_program(MOBU_DPKG dpkg)
  if(CMAKE_LIBRARY_ARCHITECTURE AND MOBU_DPKG_ARCHITECTURE)
    execute_process(COMMAND ${MOBU_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -q DEB_HOST_ARCH
      OUTPUT_VARIABLE mobu_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  elseif(NOT CMAKE_CROSSCOMPILING AND MOBU_DPKG)
    execute_process(COMMAND ${MOBU_DPKG} --print-architecture
      OUTPUT_VARIABLE mobu_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  set(MOBU_DEB_ARCHITECTURE "${mobu_deb_arch}" CACHE STRING "Debian architecture of the package" FORCE)
endif()
set(MOBU_DEB_MAINTAINER "MobuEmbedded developers <mobu@localhost>" CACHE STRING "Maintainer field of the package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mobu-embedded)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Loudspeaker and room-correction processor: libraries, ALSA plug-ins, tools")
set(CPACK_PACKAGE_CONTACT "${MOBU_DEB_MAINTAINER}")
# Installed with DESTDIR under the prefix /usr, whatever the build's own prefix,
# so that files written at install time (the service unit) name the paths the
# package installs to.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${MOBU_DEB_ARCHITECTURE}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# Run-time dependencies from the ELF files (dpkg-shlibdeps); building against the
# installed headers needs the development files of what they include.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
  "pkg-config, libeigen3-dev, libfftw3-dev, libasound2-dev, libjack-jackd2-dev | libjack-dev, libsox-dev, libjsoncpp-dev")
set(CPACK_PACKAGE_DESCRIPTION "The libraries libMobuEmbedded and libMobuCal2Impulse with their headers,
pkg-config and CMake files, the ALSA plug-ins ALSAMobuFIRSwitching,
ALSAMobuFIRPlugin and ALSAMobuPinkGenerator, the processor and its service
unit, the measurement and equaliser tools and the Node.js add-ons.")
include(CPack)
