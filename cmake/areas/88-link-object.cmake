# The Link object: connection by specifier or discovery, UEI values, raw
# packets, store slots, factory data, packet log and stream subscriptions
# (device library, object API).

target_sources(kx_common PRIVATE
  common/Link.cpp
  common/LinkStream.cpp)
