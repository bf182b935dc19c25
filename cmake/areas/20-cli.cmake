# Command-line front end: display and log, options and usage, the updater's
# flows, and the Updater executable.

add_library(updater_base STATIC
  app/Log.cpp
  app/UpdaterDisplayInterface.cpp
  app/CLI_Display.cpp)
target_link_libraries(updater_lib INTERFACE updater_base)

# Tests
add_executable(cli_display_probe tests/cli/DisplayProbe.cpp)
target_link_libraries(cli_display_probe PRIVATE updater_base)

add_library(cli_test_support STATIC
  tests/cli/ProcessRunner.cpp)
target_link_libraries(cli_test_support PUBLIC util Threads::Threads)

kx_add_gtest(cli_display_test
  SOURCES tests/cli/DisplayTest.cpp tests/cli/LogTest.cpp
  LIBS updater_base cli_test_support)
target_compile_definitions(cli_display_test PRIVATE
  CLI_DISPLAY_PROBE="$<TARGET_FILE:cli_display_probe>")
add_dependencies(cli_display_test cli_display_probe)
