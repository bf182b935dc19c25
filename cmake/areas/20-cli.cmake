# Command-line front end: display and log, options and usage, the updater's
# flows, and the Updater executable.

add_library(updater_base STATIC
  app/Log.cpp
  app/UpdaterDisplayInterface.cpp
  app/CLI_Display.cpp)
target_link_libraries(updater_base PUBLIC updater_includes lumbrixon)
target_link_libraries(updater_lib INTERFACE updater_base)

add_library(updater_core STATIC
  app/CommandsClass.cpp
  app/Parameters.cpp
  app/Usage.cpp
  app/Updater.cpp
  app/Updater_Devices.cpp
  app/Updater_Update.cpp
  app/Updater_Recovery.cpp
  app/Updater_Firmware.cpp
  app/Updater_Acquire.cpp)
target_link_libraries(updater_core PUBLIC updater_base updater_server updater_store updater_firmware
  updater_recovery lumbrixon updater_paths)
target_link_libraries(updater_lib INTERFACE updater_core)

add_executable(Updater app/main.cpp)
target_link_libraries(Updater PRIVATE updater_lib lumbrixon)
set_target_properties(Updater PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
install(TARGETS Updater RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Tests
add_executable(cli_display_probe tests/cli/DisplayProbe.cpp)
target_link_libraries(cli_display_probe PRIVATE updater_base kx_test_includes)

add_library(cli_test_support STATIC
  tests/cli/ProcessRunner.cpp)
target_link_libraries(cli_test_support PUBLIC util kx_test_includes Threads::Threads)

kx_add_gtest(cli_display_test
  SOURCES tests/cli/DisplayTest.cpp tests/cli/LogTest.cpp
  LIBS updater_base cli_test_support)
target_compile_definitions(cli_display_test PRIVATE
  CLI_DISPLAY_PROBE="$<TARGET_FILE:cli_display_probe>")
add_dependencies(cli_display_test cli_display_probe)

kx_add_gtest(cli_params_test
  SOURCES tests/cli/ParametersTest.cpp
  LIBS updater_core)

kx_add_gtest(cli_command_test
  SOURCES tests/cli/UsageTest.cpp tests/cli/DispatchTest.cpp tests/cli/StoreDirectoryTest.cpp
  LIBS cli_test_support)
add_dependencies(cli_command_test Updater)
