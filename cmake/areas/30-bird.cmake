# BIRD firmware images, the packer library and birdtool.

add_library(updater_firmware STATIC app/firmware/BirdFile.cpp)
target_link_libraries(updater_firmware PUBLIC updater_base lumbrixon ZLIB::ZLIB)
target_link_libraries(updater_lib INTERFACE updater_firmware)

add_library(birdpack STATIC tools/birdtool/BirdPack.cpp)
target_link_libraries(birdpack PUBLIC updater_includes ZLIB::ZLIB)
add_executable(birdtool tools/birdtool/main.cpp)
target_link_libraries(birdtool PRIVATE birdpack updater_firmware)
set_target_properties(birdtool PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
install(TARGETS birdtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Tests
kx_add_gtest(firmware_test
  SOURCES tests/firmware/BirdFileTest.cpp tests/firmware/BirdtoolTest.cpp
  LIBS updater_firmware birdpack)
add_dependencies(firmware_test birdtool)

if(KX_FUZZ)
  set(BIRD_SEEDS ${CMAKE_BINARY_DIR}/fuzz-seeds/birdfile)
  add_executable(bird_seeds tests/firmware/BirdSeeds.cpp)
  target_link_libraries(bird_seeds PRIVATE birdpack kx_test_includes)
  add_dependencies(fuzzers bird_seeds)
  add_test(NAME fuzz_birdfile_seeds
    COMMAND $<TARGET_FILE:bird_seeds> ${BIRD_SEEDS})
  set_tests_properties(fuzz_birdfile_seeds PROPERTIES LABELS fuzz FIXTURES_SETUP bird_seeds)
  kx_add_fuzzer(fuzz_birdfile
    SOURCES tests/firmware/FuzzBirdFile.cpp
    LIBS updater_firmware
    CORPUS ${BIRD_SEEDS})
  set_tests_properties(fuzz_birdfile PROPERTIES FIXTURES_REQUIRED bird_seeds)
endif()
