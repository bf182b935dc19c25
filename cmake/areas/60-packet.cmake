# Device packets, CRC-8 and the packet FIFO.

target_sources(kx_common PRIVATE
  common/kxPacket.cpp
  common/packetfifo.cpp)
target_sources(kx_utilities PRIVATE
  Utilities/crc8.cpp)

# Tests
kx_add_gtest(packet_test SOURCES tests/packet/PacketTest.cpp LIBS lumbrixon)
kx_add_gtest(packet_fifo_test SOURCES tests/packet/FifoTest.cpp LIBS lumbrixon LABELS threaded)

# The packet accumulator fed arbitrary wire bytes; the seeds are a few packets.
kx_add_fuzzer(fuzz_packet_accumulator
  SOURCES tests/packet/FuzzPacketAccumulator.cpp
  LIBS lumbrixon
  CORPUS ${CMAKE_SOURCE_DIR}/tests/packet/fuzz_packet_accumulator_seeds)

if(TARGET benchmark::benchmark)
  add_executable(bench_fifo bench/fifo_bench.cpp)
  target_link_libraries(bench_fifo PRIVATE lumbrixon benchmark::benchmark Threads::Threads)
  set_target_properties(bench_fifo PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
