# The link engine, the link registry and the client stream to a device server
# (device library).

add_library(kx_client_stream STATIC
  common/kxStream_ZeroMQClient.cpp)
target_link_libraries(kx_client_stream PUBLIC kx_stream kx_platform PkgConfig::CZMQ PkgConfig::ZMQ)
target_link_libraries(lumbrixon INTERFACE kx_client_stream)

add_library(kx_link STATIC
  common/kxPacketLog.cpp
  common/kxLink.cpp
  common/kxLinkManagerInternal.cpp)
target_link_libraries(kx_link PUBLIC kx_client_stream kx_stream kx_packet kx_platform Threads::Threads)
target_link_libraries(lumbrixon INTERFACE kx_link)

# Tests: every link runs two threads of its own.
kx_add_gtest(link_engine_test
  SOURCES tests/link/LinkEngineTest.cpp
  LIBS kx_link
  LABELS threaded)
kx_add_gtest(link_tcp_test
  SOURCES tests/link/LinkTcpTest.cpp
  LIBS kx_link
  LABELS threaded)
kx_add_gtest(link_serial_test
  SOURCES tests/link/LinkSerialTest.cpp
  LIBS kx_link util
  LABELS threaded)
kx_add_gtest(link_client_test
  SOURCES tests/link/ClientStreamTest.cpp
  LIBS kx_link
  LABELS threaded)

# The in-pipe's byte handling fed arbitrary bytes from a module. In the fuzz
# build the engine itself carries the coverage that guides the fuzzer.
if(KX_FUZZ)
  target_compile_options(kx_link PRIVATE -fsanitize=fuzzer-no-link)
endif()
kx_add_fuzzer(fuzz_link_inpipe
  SOURCES tests/link/FuzzLinkInPipe.cpp
  LIBS kx_link
  CORPUS ${CMAKE_SOURCE_DIR}/tests/link/fuzz_link_inpipe_seeds)

if(KX_BENCH)
  add_executable(bench_link bench/link_bench.cpp)
  target_link_libraries(bench_link PRIVATE kx_link Threads::Threads)
  set_target_properties(bench_link PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
