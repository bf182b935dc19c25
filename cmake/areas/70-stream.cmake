# Byte streams (device library): the generic stream record and file streams,
# the serial, socket, USB and COBS streams, and the COBS codec.

target_sources(kx_common PRIVATE
  common/kxStream.cpp
  common/kxStream_CobsEncoding.cpp)
target_sources(kx_utilities PRIVATE
  Utilities/cobs.cpp)
target_sources(kx_unix PRIVATE
  unix/unix_streamserial.cpp
  unix/unix_streamsocket.cpp
  unix/unix_streamusb.cpp)

kx_add_gtest(stream_cobs_test
  SOURCES tests/stream/CobsTest.cpp
  LIBS lumbrixon)

kx_add_gtest(stream_generic_test
  SOURCES tests/stream/StreamTest.cpp tests/stream/CobsStreamTest.cpp
  LIBS lumbrixon)

kx_add_gtest(stream_serial_test
  SOURCES tests/stream/SerialStreamTest.cpp tests/stream/UsbStreamTest.cpp
  LIBS lumbrixon util)

# The socket tests run a reader and a writer thread on one stream. They run as
# one CTest test so that it carries both labels (a discovered test gets only the
# first label of a list).
add_executable(stream_socket_test tests/stream/SocketStreamTest.cpp)
target_link_libraries(stream_socket_test PRIVATE lumbrixon kx_test_includes
  GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
add_dependencies(threaded_tests stream_socket_test)
add_test(NAME stream_socket_test COMMAND stream_socket_test)
set_tests_properties(stream_socket_test PROPERTIES LABELS "unit;threaded" TIMEOUT 300)

# The COBS stream's `get` fed arbitrary bytes; the seeds are a few real frames.
kx_add_fuzzer(fuzz_cobs_get
  SOURCES tests/stream/FuzzCobsGet.cpp
  LIBS lumbrixon
  CORPUS ${CMAKE_SOURCE_DIR}/tests/stream/fuzz_cobs_get_seeds)
