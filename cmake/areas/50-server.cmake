# Versions and model names (device library), the update-server client, and the
# local update server.

target_sources(kx_common PRIVATE
  common/kxVersion.cpp
  common/kxDefs.cpp)

add_library(updater_server STATIC
  app/server/HTTPRequest.cpp
  app/server/base64.cpp
  app/server/UpdateServerRequest.cpp)
target_link_libraries(updater_server PUBLIC updater_includes CURL::libcurl lumbrixon)
target_link_libraries(updater_lib INTERFACE updater_server)

pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
add_executable(update-server
  tools/update-server/main.cpp
  tools/update-server/Catalog.cpp
  app/server/base64.cpp)
find_package(OpenSSL REQUIRED)
target_link_libraries(update-server PRIVATE PkgConfig::HTTPLIB OpenSSL::Crypto updater_firmware
  Threads::Threads)
install(TARGETS update-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Tests
add_library(server_test_support STATIC
  tests/server/ServerHarness.cpp)
target_link_libraries(server_test_support PUBLIC updater_base birdpack kx_test_includes
  Threads::Threads)
target_compile_definitions(server_test_support PUBLIC
  UPDATE_SERVER_PATH="$<TARGET_FILE:update-server>")
add_dependencies(server_test_support update-server)

kx_add_gtest(server_version_test
  SOURCES tests/server/VersionTest.cpp
  LIBS lumbrixon)
kx_add_gtest(server_base64_test
  SOURCES tests/server/Base64Test.cpp
  LIBS updater_server server_test_support)
kx_add_gtest(server_tool_test
  SOURCES tests/server/UpdateServerToolTest.cpp
  LIBS updater_server server_test_support)
kx_add_gtest(server_http_test
  SOURCES tests/server/HTTPRequestTest.cpp
  LIBS updater_server server_test_support PkgConfig::HTTPLIB
  LABELS threaded)
kx_add_gtest(server_request_test
  SOURCES tests/server/UpdateServerRequestTest.cpp
  LIBS updater_server server_test_support
  LABELS threaded)

# The default server address is only ever asked for from a private network
# namespace, made by the test main before GoogleTest starts.
add_executable(server_default_url_test
  tests/server/DefaultServerTest.cpp tests/multicast/NetNamespaceMain.cpp)
target_link_libraries(server_default_url_test PRIVATE updater_server server_test_support
  kx_test_includes GTest::gtest Threads::Threads)
gtest_discover_tests(server_default_url_test DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS unit TIMEOUT 300)

# Firmware acquisition, run through the Updater binary.
kx_add_gtest(server_acquire_test
  SOURCES tests/server/AcquireTest.cpp
  LIBS server_test_support cli_test_support
  LABELS threaded)
target_compile_definitions(server_acquire_test PRIVATE UPDATER_PATH="$<TARGET_FILE:Updater>")
add_dependencies(server_acquire_test Updater update-server)

# Acquisition against a misbehaving server and stores that cannot take the
# download, run through the Updater binary.
kx_add_gtest(server_acquire_fault_test
  SOURCES tests/server/AcquireFaultTest.cpp
  LIBS server_test_support cli_test_support
  LABELS threaded)
target_compile_definitions(server_acquire_fault_test PRIVATE UPDATER_PATH="$<TARGET_FILE:Updater>")
add_dependencies(server_acquire_fault_test Updater update-server)

# Download cost of -G against curl fetching the same requests.
if(KX_BENCH)
  add_executable(bench_acquire bench/acquire_bench.cpp)
  target_link_libraries(bench_acquire PRIVATE birdpack kx_test_includes)
  set_target_properties(bench_acquire PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  target_compile_definitions(bench_acquire PRIVATE UPDATER_PATH="$<TARGET_FILE:Updater>"
    UPDATE_SERVER_PATH="$<TARGET_FILE:update-server>")
  add_dependencies(bench_acquire Updater update-server)
endif()
