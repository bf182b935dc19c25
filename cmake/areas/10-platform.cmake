# Platform layer of the device library: error texts, mutexes, threads, time,
# files, directories and the logger; and the application's path helper.

add_library(kx_platform STATIC
  common/kxError.cpp
  common/kxDirectory.cpp
  common/kxLogger.cpp
  unix/unix_mutex.cpp
  unix/unix_thread.cpp
  unix/unix_time.cpp
  unix/unix_file.cpp)
target_link_libraries(kx_platform PUBLIC Threads::Threads)
target_link_libraries(lumbrixon INTERFACE kx_platform)

add_library(updater_paths STATIC app/BuildPath.cpp)
target_link_libraries(updater_lib INTERFACE updater_paths)

# Tests
kx_add_gtest(platform_file_test
  SOURCES tests/platform/FileTest.cpp tests/platform/DirectoryTest.cpp
  LIBS kx_platform updater_paths)
kx_add_gtest(platform_threads_test
  SOURCES tests/platform/ErrorTest.cpp tests/platform/ThreadTest.cpp
  LIBS kx_platform
  LABELS threaded)
