# The Link object: connection by specifier or discovery, UEI values, raw
# packets, store slots, factory data, packet log and stream subscriptions
# (device library, object API).

target_sources(kx_common PRIVATE
  common/Link.cpp
  common/LinkStream.cpp)

# Against the module simulator, over TCP/IP, its serial line and a local
# device server; every link runs threads of its own, a subscribed link one
# more. The device-server cases run libzmq, whose own hand-overs between its
# threads are suppressed under ThreadSanitizer (that file says why); nothing
# of this tree is.
set(KX_LINK_OBJECT_TEST_PROPERTIES LABELS threaded TIMEOUT 300)
if(KX_SANITIZE STREQUAL "thread")
  list(APPEND KX_LINK_OBJECT_TEST_PROPERTIES ENVIRONMENT
    "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${CMAKE_SOURCE_DIR}/tests/devserver/tsan.supp")
endif()
foreach(test link_object_test link_stream_test)
  if(test STREQUAL "link_object_test")
    set(source tests/linkobject/LinkObjectTest.cpp)
  else()
    set(source tests/linkobject/LinkStreamTest.cpp)
  endif()
  add_executable(${test} ${source})
  target_link_libraries(${test} PRIVATE lumbrixon modsim kx_test_includes
    GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  add_dependencies(threaded_tests ${test})
  gtest_discover_tests(${test} DISCOVERY_TIMEOUT 60
    PROPERTIES ${KX_LINK_OBJECT_TEST_PROPERTIES})
endforeach()

# Discovery inside the test's own network namespace (its main makes it).
add_executable(link_discovery_test
  tests/linkobject/LinkDiscoveryTest.cpp tests/multicast/NetNamespaceMain.cpp)
target_link_libraries(link_discovery_test PRIVATE lumbrixon modsim kx_test_includes
  GTest::gtest Threads::Threads)
add_dependencies(threaded_tests link_discovery_test)
gtest_discover_tests(link_discovery_test DISCOVERY_TIMEOUT 60
  PROPERTIES ${KX_LINK_OBJECT_TEST_PROPERTIES})

# The readers of module packets: reply filters and stream-packet helpers.
kx_add_fuzzer(fuzz_link_replies
  SOURCES tests/linkobject/FuzzLinkReplies.cpp
  LIBS lumbrixon
  CORPUS ${CMAKE_SOURCE_DIR}/tests/linkobject/fuzz_link_replies_seeds)

if(KX_BENCH)
  add_executable(bench_link_object bench/link_object_bench.cpp)
  target_link_libraries(bench_link_object PRIVATE lumbrixon Threads::Threads)
  set_target_properties(bench_link_object PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  # It runs the simulator program as the module's end.
  target_compile_definitions(bench_link_object PRIVATE
    MODSIM_PATH="$<TARGET_FILE:modsim_program>")
  add_dependencies(bench_link_object modsim_program)
endif()
