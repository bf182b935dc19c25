# Platform layer of the device library: error texts, mutexes and condition
# waits, threads, time, files, directories and the logger; and the
# application's path helper.

target_sources(kx_common PRIVATE
  common/kxError.cpp
  common/kxDirectory.cpp
  common/kxLogger.cpp)
target_sources(kx_unix PRIVATE
  unix/unix_mutex.cpp
  unix/unix_thread.cpp
  unix/unix_time.cpp
  unix/unix_file.cpp
  unix/unix_directory.cpp)

add_library(updater_paths STATIC app/BuildPath.cpp)
target_link_libraries(updater_paths PUBLIC updater_includes)
target_link_libraries(updater_lib INTERFACE updater_paths)

# Tests
kx_add_gtest(platform_file_test
  SOURCES tests/platform/FileTest.cpp tests/platform/DirectoryTest.cpp
  LIBS lumbrixon updater_paths)
kx_add_gtest(platform_threads_test
  SOURCES tests/platform/ErrorTest.cpp tests/platform/ThreadTest.cpp
  LIBS lumbrixon
  LABELS threaded)
