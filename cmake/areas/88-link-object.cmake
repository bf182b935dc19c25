# The Link object: connection by specifier or discovery, UEI values, raw
# packets, store slots, factory data, packet log and stream subscriptions
# (device library, object API).

target_sources(kx_common PRIVATE
  common/Link.cpp
  common/LinkStream.cpp)

# Against the module simulator, over TCP/IP, its serial line and a local
# device server; every link runs threads of its own.
kx_add_gtest(link_object_test
  SOURCES tests/linkobject/LinkObjectTest.cpp
  LIBS lumbrixon modsim
  LABELS threaded)
