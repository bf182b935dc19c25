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
