# Versions and model names (device library), the update-server client, and the
# local update server.

add_library(kx_version STATIC
  common/kxVersion.cpp
  common/kxDefs.cpp)
target_link_libraries(lumbrixon INTERFACE kx_version)

add_library(updater_server STATIC
  app/server/HTTPRequest.cpp
  app/server/base64.cpp
  app/server/UpdateServerRequest.cpp)
target_link_libraries(updater_server PUBLIC CURL::libcurl kx_version)
target_link_libraries(updater_lib INTERFACE updater_server)

pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
add_executable(update-server
  tools/update-server/main.cpp
  tools/update-server/Catalog.cpp
  tools/update-server/Sha256.cpp
  app/server/base64.cpp)
target_link_libraries(update-server PRIVATE PkgConfig::HTTPLIB ZLIB::ZLIB Threads::Threads)
