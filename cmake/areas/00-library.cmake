# Layers of the code, the device library `lumbrixon` and its installation.
#
# The layers, bottom to top, and what each may include:
#
#   Utilities/  kx_utilities  only its own headers (<lumbrixon/cobs.h>,
#                             <lumbrixon/crc8.h>)
#   common/     kx_common     every public header of the device library,
#                             <lumbrixon/NAME.h>, and its own *_internal.h by
#                             name
#   unix/       kx_unix       the same public headers: the platform interfaces
#                             (file, directory walk, thread, mutex and condition
#                             wait, time, sockets and multicast, serial, USB)
#                             are declared in common/ and implemented here; its
#                             own *_internal.h by name
#   app/        updater_*     the public library headers and "app/PATH.h"
#   tools/      (programs)    the same as app/, and their own headers by name
#
# Tests, fixtures and benchmarks also see the whole tree by path
# (kx_test_includes). Each layer's targets get only these include directories,
# so an include against the layers does not compile (layer_check_test proves
# it), and an include by a relative path ("../") is refused by that test too.
#
# Using the library from an area:
#   - A public header of the device library is any common/*.h or Utilities/*.h
#     not named *_internal.h. Everything includes it as <lumbrixon/NAME.h>: the
#     build links it into ${KX_LIBRARY_INCLUDE_DIR}/lumbrixon, and it is
#     installed as include/lumbrixon/NAME.h. New public headers should also be
#     added to common/lumbrixon.h, the umbrella header.
#   - A new module of the device library adds its sources to its layer:
#       target_sources(kx_common PRIVATE common/kxNew.cpp)
#       target_sources(kx_unix PRIVATE unix/unix_new.cpp)
#     and its external dependencies to KX_LIBRARY_DEPENDENCIES below.
#   - Programs and tests link `lumbrixon` (the static library). The former
#     per-area names kx_platform, kx_version, kx_packet, kx_usb, kx_net and
#     kx_stream remain as aliases of it.
#   - Application code links its updater_* libraries, which carry the "app/..."
#     include directory (updater_includes).
#
# Installed: liblumbrixon.a, liblumbrixon.so.VERSION (SONAME major version),
# the public headers, lumbrixon.pc, and the CMake package `Lumbrixon` with the
# imported targets Lumbrixon::lumbrixon (shared) and Lumbrixon::lumbrixon_static.

# External libraries the device library calls. Consumers of the static library
# link them too.
set(KX_LIBRARY_DEPENDENCIES PkgConfig::LIBUSB PkgConfig::CZMQ PkgConfig::ZMQ)
# The same, as linker names for the installed static library and the
# pkg-config modules.
set(KX_LIBRARY_INSTALLED_LINKS usb-1.0 czmq zmq)
set(KX_LIBRARY_PKG_MODULES "libusb-1.0 libczmq libzmq")

# The include trees: symbolic links to the headers, so that nothing else of the
# source tree is reachable through them.
set(KX_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/include)
set(KX_UTILITIES_INCLUDE_DIR ${KX_INCLUDE_ROOT}/utilities)
set(KX_LIBRARY_INCLUDE_DIR ${KX_INCLUDE_ROOT}/library)
set(KX_APP_INCLUDE_DIR ${KX_INCLUDE_ROOT}/app)
file(REMOVE_RECURSE ${KX_INCLUDE_ROOT})
file(MAKE_DIRECTORY ${KX_UTILITIES_INCLUDE_DIR}/lumbrixon ${KX_LIBRARY_INCLUDE_DIR}/lumbrixon
  ${KX_APP_INCLUDE_DIR})

file(GLOB KX_UTILITIES_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/Utilities/*.h)
file(GLOB KX_COMMON_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/common/*.h)
list(FILTER KX_UTILITIES_HEADERS EXCLUDE REGEX "_internal\\.h$")
list(FILTER KX_COMMON_HEADERS EXCLUDE REGEX "_internal\\.h$")
set(KX_PUBLIC_HEADERS ${KX_UTILITIES_HEADERS} ${KX_COMMON_HEADERS})
foreach(header ${KX_UTILITIES_HEADERS})
  get_filename_component(name ${header} NAME)
  file(CREATE_LINK ${header} ${KX_UTILITIES_INCLUDE_DIR}/lumbrixon/${name} SYMBOLIC)
endforeach()
foreach(header ${KX_PUBLIC_HEADERS})
  get_filename_component(name ${header} NAME)
  file(CREATE_LINK ${header} ${KX_LIBRARY_INCLUDE_DIR}/lumbrixon/${name} SYMBOLIC)
endforeach()
file(CREATE_LINK ${CMAKE_SOURCE_DIR}/app ${KX_APP_INCLUDE_DIR}/app SYMBOLIC)

# The layers. Their objects go into both libraries, so they are position
# independent.
add_library(kx_utilities OBJECT)
target_include_directories(kx_utilities PUBLIC ${KX_UTILITIES_INCLUDE_DIR})

add_library(kx_common OBJECT)
target_include_directories(kx_common PUBLIC ${KX_LIBRARY_INCLUDE_DIR})

add_library(kx_unix OBJECT)
target_include_directories(kx_unix PUBLIC ${KX_LIBRARY_INCLUDE_DIR})

foreach(layer kx_utilities kx_common kx_unix)
  set_target_properties(${layer} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_link_libraries(${layer} PRIVATE ${KX_LIBRARY_DEPENDENCIES} Threads::Threads)
endforeach()

# The device library, static (linked by everything in the tree) and shared.
set(KX_LIBRARY_OBJECTS
  $<TARGET_OBJECTS:kx_utilities> $<TARGET_OBJECTS:kx_common> $<TARGET_OBJECTS:kx_unix>)
add_library(lumbrixon STATIC ${KX_LIBRARY_OBJECTS})
add_library(lumbrixon_shared SHARED ${KX_LIBRARY_OBJECTS})
set_target_properties(lumbrixon PROPERTIES LINKER_LANGUAGE CXX EXPORT_NAME lumbrixon_static)
set_target_properties(lumbrixon_shared PROPERTIES LINKER_LANGUAGE CXX OUTPUT_NAME lumbrixon
  EXPORT_NAME lumbrixon VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
foreach(library lumbrixon lumbrixon_shared)
  target_include_directories(${library} PUBLIC
    $<BUILD_INTERFACE:${KX_LIBRARY_INCLUDE_DIR}> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${library} PUBLIC Threads::Threads)
endforeach()
foreach(dependency ${KX_LIBRARY_DEPENDENCIES})
  target_link_libraries(lumbrixon PUBLIC $<BUILD_INTERFACE:${dependency}>)
  target_link_libraries(lumbrixon_shared PRIVATE ${dependency})
endforeach()
foreach(link ${KX_LIBRARY_INSTALLED_LINKS})
  target_link_libraries(lumbrixon INTERFACE $<INSTALL_INTERFACE:${link}>)
endforeach()
add_library(Lumbrixon::lumbrixon ALIAS lumbrixon_shared)
add_library(Lumbrixon::lumbrixon_static ALIAS lumbrixon)
foreach(former kx_platform kx_version kx_packet kx_usb kx_net kx_stream)
  add_library(${former} ALIAS lumbrixon)
endforeach()

# The application layer's include directory ("app/PATH.h"), carried by every
# updater_* library. updater_lib gathers them for the Updater program.
add_library(updater_includes INTERFACE)
target_include_directories(updater_includes INTERFACE ${KX_APP_INCLUDE_DIR})
add_library(updater_lib INTERFACE)

# Installation of the library: headers, both libraries, pkg-config file and
# CMake package. The areas install their programs.
#
# Install components (the Debian packages of cmake/areas/95-package.cmake):
#   library      the shared library liblumbrixon.so.MAJOR
#   development  headers, liblumbrixon.so, the static library, lumbrixon.pc
#                and the CMake package
#   programs     everything installed without a COMPONENT: Updater and the
#                tools, their manual pages, the udev rule, shell completion
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME programs)
include(CMakePackageConfigHelpers)
set(KX_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Lumbrixon)
install(FILES ${KX_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/lumbrixon
  COMPONENT development)
install(TARGETS lumbrixon lumbrixon_shared EXPORT LumbrixonTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
    NAMELINK_COMPONENT development)
install(EXPORT LumbrixonTargets NAMESPACE Lumbrixon:: DESTINATION ${KX_CMAKE_PACKAGE_DIR}
  COMPONENT development)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/LumbrixonConfig.cmake.in
  ${CMAKE_BINARY_DIR}/LumbrixonConfig.cmake INSTALL_DESTINATION ${KX_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/LumbrixonConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/LumbrixonConfig.cmake
  ${CMAKE_BINARY_DIR}/LumbrixonConfigVersion.cmake DESTINATION ${KX_CMAKE_PACKAGE_DIR}
  COMPONENT development)

# The pkg-config file finds its prefix from its own place, so the installed
# tree may be moved.
file(RELATIVE_PATH KX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KX_PC_TO_PREFIX "${KX_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/lumbrixon.pc.in ${CMAKE_BINARY_DIR}/lumbrixon.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/lumbrixon.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)
