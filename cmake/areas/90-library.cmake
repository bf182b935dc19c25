# The device library as a product: its record rules, its layers and its
# installation, tested as a user of the library would meet them.

# Every record against the rules in common/lumbrixon.h. The multicast record is
# made inside a private network namespace (the test's own main), so the test
# links GoogleTest without its main.
add_executable(record_contract_test
  tests/library/RecordContractTest.cpp tests/multicast/NetNamespaceMain.cpp)
target_link_libraries(record_contract_test PRIVATE lumbrixon kx_test_includes GTest::gtest
  Threads::Threads)
add_dependencies(threaded_tests record_contract_test)
gtest_discover_tests(record_contract_test DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS threaded TIMEOUT 300)

# Installs this build into a temporary prefix and builds two programs against
# it outside the tree, one through pkg-config and one through
# find_package(Lumbrixon). Needs the whole build (every installed target).
add_test(NAME library_install_test
  COMMAND ${CMAKE_SOURCE_DIR}/tests/library/install-test ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}
    ${CMAKE_BINARY_DIR}/install-test ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER}
    "${KX_SANITIZE_FLAGS}")
set_tests_properties(library_install_test PROPERTIES LABELS unit TIMEOUT 300)

# The layers hold: each layer's include directories (as the build gives them
# to that layer's targets) let through what the layer may include and nothing
# against the layers; and the sources of common/ and Utilities/ use no
# operating-system interface.
set(KX_LAYERS_FILE ${CMAKE_BINARY_DIR}/layer-check/layers.txt)
file(GENERATE OUTPUT ${KX_LAYERS_FILE} CONTENT
"utilities\t$<TARGET_PROPERTY:kx_utilities,INCLUDE_DIRECTORIES>
common\t$<TARGET_PROPERTY:kx_common,INCLUDE_DIRECTORIES>
unix\t$<TARGET_PROPERTY:kx_unix,INCLUDE_DIRECTORIES>
app\t$<TARGET_PROPERTY:updater_core,INCLUDE_DIRECTORIES>
tools\t$<TARGET_PROPERTY:update-server,INCLUDE_DIRECTORIES>
")
add_test(NAME layer_check_test
  COMMAND ${CMAKE_SOURCE_DIR}/tests/library/layer-check ${CMAKE_SOURCE_DIR}
    ${CMAKE_BINARY_DIR}/layer-check/work ${CMAKE_CXX_COMPILER} ${KX_LAYERS_FILE})
set_tests_properties(layer_check_test PROPERTIES LABELS unit TIMEOUT 300)
