# Device discovery (device library): link specifiers, the USB and TCP/IP
# searches and this machine's IPv4 interfaces.

target_sources(kx_common PRIVATE
  common/discover.cpp
  common/discover_servers.cpp)
target_sources(kx_unix PRIVATE
  unix/unix_discovery.cpp)

# Tests
kx_add_gtest(discovery_test
  SOURCES tests/discovery/LinkSpecTest.cpp
  LIBS lumbrixon)

# The TCP/IP search against the simulator's modules, inside the test's own
# network namespace (its main makes it before any thread starts).
add_executable(discovery_net_test
  tests/discovery/DiscoveryNetTest.cpp tests/multicast/NetNamespaceMain.cpp)
target_link_libraries(discovery_net_test PRIVATE modsim kx_test_includes GTest::gtest
  Threads::Threads)
add_dependencies(threaded_tests discovery_net_test)
gtest_discover_tests(discovery_net_test DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS threaded TIMEOUT 300)

# The USB search on an emulated bus with the simulator's modules.
kx_add_umockdev_gtest(discovery_usb_test
  SOURCES tests/discovery/DiscoveryUsbTest.cpp
  LIBS modsim lumbrixon
  LABELS ${KX_USB_FAKE_LABELS})

# The link registry against the simulator: shared links, teardown, reset, and
# creates and destroys racing on several threads.
kx_add_gtest(link_registry_test
  SOURCES tests/link/RegistryTest.cpp
  LIBS lumbrixon modsim
  LABELS threaded)

# The TCP/IP search's reply parser and the specifier's wire bytes.
kx_add_fuzzer(fuzz_search_reply
  SOURCES tests/discovery/FuzzSearchReply.cpp
  LIBS lumbrixon
  CORPUS ${CMAKE_SOURCE_DIR}/tests/discovery/fuzz_search_reply_seeds)
