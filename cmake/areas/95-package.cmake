# Debian packages, made by CPack's DEB generator from the install components
# (cmake/areas/00-library.cmake):
#
#   lumbrixon-updater  programs     Updater, birdtool, update-server, modsim and
#                                   lpcsim, their manual pages, the udev rule
#                                   60-lumbrixon.rules, bash completion
#   liblumbrixonN      library      liblumbrixon.so.N (N: the SONAME's major
#                                   version)
#   liblumbrixon-dev   development  headers, liblumbrixon.so, liblumbrixon.a,
#                                   lumbrixon.pc, the CMake package Lumbrixon
#
# `make package` configures build-package with the prefix /usr (so that the
# libraries land in the multiarch directory), builds kx_packaged and runs
# cpack there. A program installed by a new area joins the programs package
# by itself; add its target to kx_packaged too.
#
# The dependencies on Debian's runtime libraries come from dpkg-shlibdeps; the
# development package names the development packages its pkg-config file and
# static library need.

set(KX_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(KX_PACKAGE_PROGRAMS lumbrixon-updater)
set(KX_PACKAGE_LIBRARY liblumbrixon${PROJECT_VERSION_MAJOR})
set(KX_PACKAGE_DEVELOPMENT liblumbrixon-dev)

# Everything the packages install.
add_custom_target(kx_packaged)
add_dependencies(kx_packaged Updater birdtool update-server modsim_program lpcsim lumbrixon
  lumbrixon_shared)

# Manual pages, compressed as Debian ships them (gzip -n: no name or time in
# the header, so that the same page gives the same bytes).
find_program(KX_GZIP gzip REQUIRED)
set(KX_MAN_DIR ${CMAKE_BINARY_DIR}/packaging/man)
foreach(page Updater birdtool update-server modsim lpcsim)
  configure_file(${KX_PACKAGING_DIR}/man/${page}.1.in ${KX_MAN_DIR}/${page}.1 @ONLY)
  execute_process(COMMAND ${KX_GZIP} -9nc ${KX_MAN_DIR}/${page}.1
    OUTPUT_FILE ${KX_MAN_DIR}/${page}.1.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${KX_MAN_DIR}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT programs)
endforeach()

# udev reads its rules from <prefix>/lib/udev/rules.d (/usr/lib/udev/rules.d
# for the package), not from the multiarch library directory.
install(FILES ${KX_PACKAGING_DIR}/udev/60-lumbrixon.rules DESTINATION lib/udev/rules.d
  COMPONENT programs)
install(FILES ${KX_PACKAGING_DIR}/completion/Updater
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT programs)

# Every package carries its copyright file and the changelog.
configure_file(${KX_PACKAGING_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND ${KX_GZIP} -9nc ${CMAKE_BINARY_DIR}/packaging/changelog
  OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
foreach(component programs library development)
  string(TOUPPER ${component} upper)
  install(FILES ${KX_PACKAGING_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${KX_PACKAGE_${upper}} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumbrixon)
set(CPACK_PACKAGE_VENDOR Kavrel)
set(CPACK_PACKAGE_CONTACT "Kavrel <support@kavrel.com>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL programs library development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE lumbrixon)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME ${KX_PACKAGE_PROGRAMS})
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION electronics)
# modsim's emulated USB modules appear under umockdev-wrapper.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SUGGESTS umockdev)
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION
"firmware update and maintenance tool for Lumbrixon instrument modules
Updater discovers Lumbrixon modules on USB, TCP/IP and behind routing modules,
asks the update server for firmware builds, keeps them in a store under the
user's home directory, updates a module's firmware and recovers modules through
the chip's ROM bootloader.

The package also holds birdtool (BIRD firmware files), a local update server
and the simulators modsim (modules) and lpcsim (LPC17xx ISP bootloader), and
a udev rule that gives the group plugdev access to the modules on USB.")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${KX_PACKAGE_LIBRARY})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The linker cache is rebuilt through dpkg's ldconfig trigger.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${KX_PACKAGING_DIR}/triggers)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION
"device library of the Lumbrixon instrument modules
The Lumbrixon device library reaches the modules over USB, TCP/IP and serial
lines: packets, streams with COBS framing, links with their reader and writer
threads, device discovery and the sharing of a device through ZeroMQ.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${KX_PACKAGE_DEVELOPMENT})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "${KX_PACKAGE_LIBRARY} (= ${PROJECT_VERSION}), libusb-1.0-0-dev, libczmq-dev, libzmq3-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
"device library of the Lumbrixon instrument modules (development files)
Headers, the static library, the pkg-config file lumbrixon.pc and the CMake
package Lumbrixon for programs that use the Lumbrixon device library.")

include(CPack)

# Tests: the packages are built once, from this build tree, into
# package-test/; the later tests look at them and install them into a
# temporary root. Without dpkg-deb they are skipped (exit status 77). Packages
# come from plain builds only, so the sanitizer and fuzz builds leave them out.
if(NOT KX_SANITIZE STREQUAL "" OR KX_FUZZ)
  return()
endif()
set(KX_PACKAGE_TEST_DIR ${CMAKE_BINARY_DIR}/package-test)
add_test(NAME package_build_test
  COMMAND ${CMAKE_SOURCE_DIR}/tests/package/build-packages ${CMAKE_BINARY_DIR}
    ${KX_PACKAGE_TEST_DIR} ${CMAKE_CPACK_COMMAND})
set_tests_properties(package_build_test PROPERTIES LABELS unit TIMEOUT 900
  FIXTURES_SETUP kx_packages SKIP_RETURN_CODE 77)
add_test(NAME package_contents_test
  COMMAND ${CMAKE_SOURCE_DIR}/tests/package/package-contents ${KX_PACKAGE_TEST_DIR}
    ${CMAKE_SOURCE_DIR} ${CMAKE_INSTALL_LIBDIR} ${PROJECT_VERSION})
add_test(NAME package_install_test
  COMMAND ${CMAKE_SOURCE_DIR}/tests/package/package-install ${KX_PACKAGE_TEST_DIR}
    ${CMAKE_SOURCE_DIR} ${CMAKE_INSTALL_LIBDIR} ${PROJECT_VERSION} ${CMAKE_C_COMPILER}
    ${CMAKE_CXX_COMPILER})
set_tests_properties(package_contents_test package_install_test PROPERTIES LABELS unit
  TIMEOUT 300 FIXTURES_REQUIRED kx_packages SKIP_RETURN_CODE 77)
