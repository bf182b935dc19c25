# The module simulator: plays Lumbrixon modules from the module's side of the
# wire over TCP/IP, a pseudo-terminal serial line and emulated USB. The
# library `modsim` is what tests link; the program `modsim` is for users,
# scripts and the demo.

add_library(modsim STATIC
  tools/modsim/Packet.cpp
  tools/modsim/Faults.cpp
  tools/modsim/Trace.cpp
  tools/modsim/ModuleCore.cpp
  tools/modsim/Link.cpp
  tools/modsim/LinkLevel.cpp
  tools/modsim/Transports.cpp
  tools/modsim/Simulator.cpp)
# The CRC-8 and the COBS codec come from the device library.
target_link_libraries(modsim PUBLIC lumbrixon Threads::Threads)
if(TARGET usb_fake)
  target_link_libraries(modsim PUBLIC usb_fake)
  target_compile_definitions(modsim PRIVATE MODSIM_WITH_USB)
endif()

add_executable(modsim_program tools/modsim/main.cpp)
target_link_libraries(modsim_program PRIVATE modsim)
set_target_properties(modsim_program PROPERTIES OUTPUT_NAME modsim
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
install(TARGETS modsim_program RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Tests: plain sockets and the pseudo-terminal against the simulator, with
# the literal bytes of the wire.
kx_add_gtest(modsim_test
  SOURCES tests/modsim/LinkLevelTest.cpp tests/modsim/FaultTest.cpp
  LIBS modsim
  LABELS threaded)

# The program as a user runs it; its USB mode under umockdev-wrapper with a
# child that talks raw libusb to the emulated module.
add_executable(modsim_usb_probe tests/modsim/UsbProbe.cpp)
target_link_libraries(modsim_usb_probe PRIVATE PkgConfig::LIBUSB)
kx_add_gtest(modsim_program_test
  SOURCES tests/modsim/ProgramTest.cpp
  LIBS cli_test_support)
find_program(KX_UMOCKDEV_WRAPPER umockdev-wrapper)
target_compile_definitions(modsim_program_test PRIVATE
  MODSIM_PATH="$<TARGET_FILE:modsim_program>"
  MODSIM_USB_PROBE="$<TARGET_FILE:modsim_usb_probe>"
  UMOCKDEV_WRAPPER="${KX_UMOCKDEV_WRAPPER}"
  MODSIM_WITH_USB=$<BOOL:$<TARGET_EXISTS:usb_fake>>)
add_dependencies(modsim_program_test modsim_program modsim_usb_probe)

# In one process: the simulator's USB module and raw libusb, under umockdev.
kx_add_umockdev_gtest(modsim_usb_test
  SOURCES tests/modsim/UsbTest.cpp
  LIBS modsim PkgConfig::LIBUSB
  LABELS ${KX_USB_FAKE_LABELS})
