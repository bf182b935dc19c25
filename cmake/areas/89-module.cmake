# Modules and entities (device library): the Module object over its Link, the
# entity base class with its UEI gets, sets and calls and the segmented byte
# values.

target_sources(kx_common PRIVATE
  common/Entity.cpp
  common/Module.cpp)

# End to end against the module simulator over TCP/IP and its serial line;
# every link runs the link engine's threads.
kx_add_gtest(module_test
  SOURCES tests/module/ModuleTest.cpp tests/module/SegmentTest.cpp
  LIBS lumbrixon modsim
  LABELS threaded)

if(KX_BENCH)
  add_executable(bench_module bench/module_bench.cpp)
  target_link_libraries(bench_module PRIVATE lumbrixon modsim kx_test_includes Threads::Threads)
  set_target_properties(bench_module PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
