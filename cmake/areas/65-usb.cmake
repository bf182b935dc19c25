# USB driver (device library), multicast sockets and the beacon-interface lock,
# and the emulated USB modules the tests use.

target_sources(kx_unix PRIVATE
  unix/lxusb_driver.cpp
  unix/unix_multicast.cpp)
target_sources(kx_common PRIVATE
  common/zBeaconInterface.cpp)

# Emulated modules on a umockdev testbed; programs using it run under umockdev-wrapper.
if(TARGET PkgConfig::UMOCKDEV)
  add_library(usb_fake STATIC
    tools/usbsim/usb_fake.cpp)
  target_link_libraries(usb_fake PUBLIC PkgConfig::UMOCKDEV Threads::Threads)
  # Tests include it by path; a tool that emulates modules by name ("usb_fake.h").
  target_include_directories(usb_fake INTERFACE ${CMAKE_SOURCE_DIR}/tools/usbsim)
endif()

# _kx_usb_gtest(NAME [UMOCKDEV] SOURCES src... LIBS lib... [LABELS label...])
# A GoogleTest binary run as one CTest test; with UMOCKDEV it runs under
# umockdev-wrapper and links the emulated modules (and is left out when
# umockdev is missing).
function(_kx_usb_gtest name)
  cmake_parse_arguments(T "UMOCKDEV" "" "SOURCES;LIBS;LABELS" ${ARGN})
  set(command $<TARGET_FILE:${name}>)
  set(labels unit ${T_LABELS})
  set(libs ${T_LIBS})
  if(T_UMOCKDEV)
    find_program(KX_UMOCKDEV_WRAPPER umockdev-wrapper)
    if(NOT TARGET usb_fake OR NOT KX_UMOCKDEV_WRAPPER)
      return()
    endif()
    set(command ${KX_UMOCKDEV_WRAPPER} $<TARGET_FILE:${name}>)
    list(APPEND labels umockdev)
    list(APPEND libs usb_fake)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${libs} kx_test_includes
    GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    KX_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KX_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if("threaded" IN_LIST T_LABELS)
    add_dependencies(threaded_tests ${name})
  endif()
  set(environment "TMPDIR=${CMAKE_BINARY_DIR}")
  if(T_UMOCKDEV AND KX_SANITIZE STREQUAL "address")
    # The preload library comes before the sanitizer runtime.
    list(APPEND environment "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1")
  endif()
  add_test(NAME ${name} COMMAND ${command})
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 300
    ENVIRONMENT "${environment}")
endfunction()

# kx_add_umockdev_gtest(NAME SOURCES src... LIBS lib... [LABELS label...])
# For areas that test against emulated USB modules (tools/usbsim/usb_fake.h).
function(kx_add_umockdev_gtest name)
  _kx_usb_gtest(${name} UMOCKDEV ${ARGN})
endfunction()

# libusb runs its own event-handling and hotplug threads, so the emulated-device
# tests count as threaded. Under ThreadSanitizer they are left out: umockdev
# hands every request to its worker thread through GLib, whose futex-based
# locks ThreadSanitizer cannot see, so it reports races inside umockdev and
# GLib (and in the handler state they pass along) that are not there.
if(KX_SANITIZE STREQUAL "thread")
  set(KX_USB_FAKE_LABELS "")
else()
  set(KX_USB_FAKE_LABELS threaded)
endif()

_kx_usb_gtest(usb_driver_test UMOCKDEV
  SOURCES tests/usb/UsbDriverTest.cpp
  LIBS lumbrixon
  LABELS ${KX_USB_FAKE_LABELS})

kx_add_gtest(usb_kernel_test
  SOURCES tests/usb/UsbKernelModeTest.cpp
  LIBS lumbrixon util)

# The multicast tests bring their own main, which moves the process into a
# private network namespace before GoogleTest starts, so they link GoogleTest
# without its main. Their tests are discovered like kx_add_gtest's.
add_executable(multicast_test
  tests/multicast/MulticastTest.cpp tests/multicast/NetNamespaceMain.cpp)
target_link_libraries(multicast_test PRIVATE lumbrixon kx_test_includes GTest::gtest Threads::Threads)
gtest_discover_tests(multicast_test DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS unit TIMEOUT 300)

_kx_usb_gtest(beacon_interface_test
  SOURCES tests/multicast/BeaconInterfaceTest.cpp
  LIBS lumbrixon
  LABELS threaded)
