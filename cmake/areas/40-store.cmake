# Settings files and the firmware store (application).

add_library(updater_store STATIC
  app/store/ReplacementFile.cpp
  app/store/KeyValueStore.cpp
  app/store/UpdaterStore.cpp)
target_link_libraries(updater_store PUBLIC updater_base lumbrixon updater_paths updater_firmware)
target_link_libraries(updater_lib INTERFACE updater_store)

# Tests
add_library(store_test_support STATIC
  tests/store/StoreTestSupport.cpp)
target_link_libraries(store_test_support PUBLIC updater_store kx_test_includes GTest::gtest)

kx_add_gtest(store_keyvalue_test
  SOURCES tests/store/KeyValueStoreTest.cpp
  LIBS updater_store store_test_support)
kx_add_gtest(store_replacement_test
  SOURCES tests/store/ReplacementFileTest.cpp
  LIBS updater_store store_test_support)
kx_add_gtest(store_updaterstore_test
  SOURCES tests/store/UpdaterStoreTest.cpp
  LIBS updater_store store_test_support birdpack)

kx_add_fuzzer(fuzz_keyvaluestore
  SOURCES tests/store/fuzz_keyvaluestore.cpp
  LIBS updater_store
  CORPUS ${CMAKE_SOURCE_DIR}/tests/store/corpus)
