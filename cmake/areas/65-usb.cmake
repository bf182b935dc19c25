# USB driver (device library), multicast sockets and the beacon-interface lock,
# and the emulated USB modules the tests use.

add_library(kx_usb STATIC
  unix/lxusb_driver.cpp)
target_link_libraries(kx_usb PUBLIC PkgConfig::LIBUSB $<TARGET_NAME_IF_EXISTS:kx_platform>)
target_link_libraries(lumbrixon INTERFACE kx_usb)

add_library(kx_net STATIC
  common/kxMulticast.cpp
  common/zBeaconInterface.cpp)
target_link_libraries(kx_net PUBLIC PkgConfig::CZMQ PkgConfig::ZMQ Threads::Threads
  $<TARGET_NAME_IF_EXISTS:kx_platform>)
target_link_libraries(lumbrixon INTERFACE kx_net)

# Emulated modules on a umockdev testbed; programs using it run under umockdev-wrapper.
if(TARGET PkgConfig::UMOCKDEV)
  add_library(usb_fake STATIC
    tools/usbsim/usb_fake.cpp)
  target_link_libraries(usb_fake PUBLIC PkgConfig::UMOCKDEV Threads::Threads)
endif()

# kx_add_umockdev_gtest(NAME SOURCES src... LIBS lib... [LABELS label...])
# A GoogleTest binary run as one CTest test under umockdev-wrapper.
function(kx_add_umockdev_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT TARGET usb_fake)
    return()
  endif()
  find_program(KX_UMOCKDEV_WRAPPER umockdev-wrapper)
  if(NOT KX_UMOCKDEV_WRAPPER)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} usb_fake
    GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    KX_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KX_BINARY_DIR="${CMAKE_BINARY_DIR}")
  set(labels unit umockdev ${T_LABELS})
  if("threaded" IN_LIST T_LABELS)
    add_dependencies(threaded_tests ${name})
  endif()
  add_test(NAME ${name} COMMAND ${KX_UMOCKDEV_WRAPPER} $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 300
    ENVIRONMENT "TMPDIR=${CMAKE_BINARY_DIR}")
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

kx_add_umockdev_gtest(usb_driver_test
  SOURCES tests/usb/UsbDriverTest.cpp
  LIBS kx_usb
  LABELS ${KX_USB_FAKE_LABELS})

kx_add_gtest(usb_kernel_test
  SOURCES tests/usb/UsbKernelModeTest.cpp
  LIBS kx_usb util)

kx_add_gtest(multicast_test
  SOURCES tests/multicast/MulticastTest.cpp tests/multicast/NetNamespaceMain.cpp
  LIBS kx_net)

kx_add_gtest(beacon_interface_test
  SOURCES tests/multicast/BeaconInterfaceTest.cpp
  LIBS kx_net
  LABELS threaded)
