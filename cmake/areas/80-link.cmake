# The link engine, the link registry and the client stream to a device server
# (device library).

target_sources(kx_common PRIVATE
  common/kxPacketLog.cpp
  common/kxLink.cpp
  common/kxLinkManagerInternal.cpp
  common/kxStream_ZeroMQClient.cpp)
target_sources(kx_unix PRIVATE
  unix/unix_process.cpp)

# Tests: every link runs two threads of its own.
kx_add_gtest(link_engine_test
  SOURCES tests/link/LinkEngineTest.cpp
  LIBS lumbrixon
  LABELS threaded)
kx_add_gtest(link_tcp_test
  SOURCES tests/link/LinkTcpTest.cpp
  LIBS lumbrixon
  LABELS threaded)
kx_add_gtest(link_serial_test
  SOURCES tests/link/LinkSerialTest.cpp
  LIBS lumbrixon util
  LABELS threaded)
kx_add_gtest(link_client_test
  SOURCES tests/link/ClientStreamTest.cpp
  LIBS lumbrixon
  LABELS threaded)

# The in-pipe's byte handling fed arbitrary bytes from a module. In the fuzz
# build the engine itself carries the coverage that guides the fuzzer.
if(KX_FUZZ)
  set_source_files_properties(common/kxLink.cpp TARGET_DIRECTORY kx_common
    PROPERTIES COMPILE_OPTIONS -fsanitize=fuzzer-no-link)
endif()
kx_add_fuzzer(fuzz_link_inpipe
  SOURCES tests/link/FuzzLinkInPipe.cpp
  LIBS lumbrixon
  CORPUS ${CMAKE_SOURCE_DIR}/tests/link/fuzz_link_inpipe_seeds)

if(KX_BENCH)
  add_executable(bench_link bench/link_bench.cpp)
  target_link_libraries(bench_link PRIVATE lumbrixon Threads::Threads)
  set_target_properties(bench_link PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  # It runs the simulator program as the module's end.
  target_compile_definitions(bench_link PRIVATE MODSIM_PATH="$<TARGET_FILE:modsim_program>")
  add_dependencies(bench_link modsim_program)
endif()

# Against the module simulator, with its faults.
kx_add_gtest(link_sim_test
  SOURCES tests/link/LinkSimTest.cpp
  LIBS lumbrixon modsim
  LABELS threaded)
