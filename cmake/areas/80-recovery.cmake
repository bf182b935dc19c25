# Recovery through the chips' ROM bootloaders: the LPC ISP client and the LPC
# flow, the i.MX side (not in this build yet), and the ISP bootloader
# simulator.

add_library(updater_recovery STATIC
  app/recovery/NXPSerialClass.cpp
  app/recovery/LpcRecovery.cpp
  app/recovery/ImxRecovery_Unavailable.cpp)
target_link_libraries(updater_recovery PUBLIC updater_base updater_firmware lumbrixon)
target_link_libraries(updater_lib INTERFACE updater_recovery)

add_executable(lpcsim
  tools/lpcsim/main.cpp
  tools/lpcsim/IspChip.cpp)
set_target_properties(lpcsim PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
install(TARGETS lpcsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Tests
add_library(recovery_test_support STATIC tests/recovery/LpcSimHarness.cpp)
target_link_libraries(recovery_test_support PUBLIC kx_test_includes)
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

# The ISP client fed arbitrary chip replies.
kx_add_fuzzer(fuzz_isp_replies
  SOURCES tests/recovery/FuzzIspReplies.cpp
  LIBS updater_recovery
  CORPUS ${CMAKE_SOURCE_DIR}/tests/recovery/fuzz_isp_seeds)

# Recovery throughput on the paced simulator, against the line limit and lpc21isp.
if(KX_BENCH)
  add_executable(bench_lpc_recovery bench/lpc_recovery_bench.cpp)
  target_link_libraries(bench_lpc_recovery PRIVATE birdpack kx_test_includes)
  target_compile_definitions(bench_lpc_recovery PRIVATE
    LPCSIM_PATH="$<TARGET_FILE:lpcsim>" UPDATER_PATH="$<TARGET_FILE:Updater>")
  add_dependencies(bench_lpc_recovery lpcsim Updater)
  set_target_properties(bench_lpc_recovery PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
