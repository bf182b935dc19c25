# Device discovery (device library): link specifiers, the USB and TCP/IP
# searches and this machine's IPv4 interfaces.

target_sources(kx_common PRIVATE
  common/discover.cpp
  common/discover_servers.cpp)
target_sources(kx_unix PRIVATE
  unix/unix_discovery.cpp)
