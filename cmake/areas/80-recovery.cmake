# Recovery through the chips' ROM bootloaders: the LPC ISP client and the LPC
# flow, the i.MX side (not in this build yet), and the ISP bootloader
# simulator.

add_library(updater_recovery STATIC
  app/recovery/NXPSerialClass.cpp
  app/recovery/LpcRecovery.cpp
  app/recovery/ImxRecovery_Unavailable.cpp)
target_link_libraries(updater_recovery PUBLIC updater_base updater_firmware kx_stream kx_platform)
target_link_libraries(updater_lib INTERFACE updater_recovery)

add_executable(lpcsim
  tools/lpcsim/main.cpp
  tools/lpcsim/IspChip.cpp)
set_target_properties(lpcsim PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# Tests
add_library(recovery_test_support STATIC tests/recovery/LpcSimHarness.cpp)
target_compile_definitions(recovery_test_support PUBLIC LPCSIM_PATH="$<TARGET_FILE:lpcsim>")
add_dependencies(recovery_test_support lpcsim)

kx_add_gtest(recovery_sim_test
  SOURCES tests/recovery/LpcSimTest.cpp
  LIBS recovery_test_support)
kx_add_gtest(recovery_client_test
  SOURCES tests/recovery/NXPSerialTest.cpp
  LIBS updater_recovery recovery_test_support)
kx_add_gtest(recovery_cli_test
  SOURCES tests/recovery/RecoveryCliTest.cpp
  LIBS recovery_test_support server_test_support cli_test_support birdpack)
target_compile_definitions(recovery_cli_test PRIVATE UPDATER_PATH="$<TARGET_FILE:Updater>")
add_dependencies(recovery_cli_test Updater update-server)
# lpc21isp and lpcprog are independent ISP clients from Debian.
kx_add_gtest(recovery_peer_test
  SOURCES tests/recovery/PeerTest.cpp
  LIBS recovery_test_support server_test_support cli_test_support)
