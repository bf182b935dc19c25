# Device packets, CRC-8 and the packet FIFO.

add_library(kx_packet STATIC
  common/kxPacket.cpp
  Utilities/crc8.cpp)
if(EXISTS ${CMAKE_SOURCE_DIR}/common/packetfifo.cpp)
  target_sources(kx_packet PRIVATE common/packetfifo.cpp)
endif()
target_link_libraries(kx_packet PUBLIC kx_platform)
target_link_libraries(lumbrixon INTERFACE kx_packet)

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/packet/PacketTest.cpp)
  kx_add_gtest(packet_test SOURCES tests/packet/PacketTest.cpp LIBS kx_packet)
endif()

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/packet/FifoTest.cpp)
  kx_add_gtest(packet_fifo_test SOURCES tests/packet/FifoTest.cpp LIBS kx_packet LABELS threaded)
endif()
