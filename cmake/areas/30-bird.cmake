# BIRD firmware images, the packer library and birdtool.

add_library(updater_firmware STATIC app/firmware/BirdFile.cpp)
target_link_libraries(updater_firmware PUBLIC updater_base kx_platform ZLIB::ZLIB)
target_link_libraries(updater_lib INTERFACE updater_firmware)

if(EXISTS ${CMAKE_SOURCE_DIR}/tools/birdtool/BirdPack.cpp)
  add_library(birdpack STATIC tools/birdtool/BirdPack.cpp)
  target_link_libraries(birdpack PUBLIC ZLIB::ZLIB)
  add_executable(birdtool tools/birdtool/main.cpp)
  target_link_libraries(birdtool PRIVATE birdpack updater_firmware)
  set_target_properties(birdtool PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endif()

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/firmware/BirdFileTest.cpp)
  kx_add_gtest(firmware_test
    SOURCES tests/firmware/BirdFileTest.cpp
    LIBS updater_firmware birdpack)
endif()
