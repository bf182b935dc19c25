# Recovery through the chips' ROM bootloaders: the LPC ISP client and the LPC
# flow, the i.MX side (not in this build yet), and the ISP bootloader
# simulator.

add_library(updater_recovery STATIC
  app/recovery/NXPSerialClass.cpp
  app/recovery/LpcRecovery.cpp
  app/recovery/ImxRecovery_Unavailable.cpp)
target_link_libraries(updater_recovery PUBLIC updater_base updater_firmware kx_stream kx_platform)
target_link_libraries(updater_lib INTERFACE updater_recovery)

add_executable(lpcsim
  tools/lpcsim/main.cpp
  tools/lpcsim/IspChip.cpp)
set_target_properties(lpcsim PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
