// Exclusive claims of loopback port numbers (platform interface, implemented
// in unix/unix_portclaim.cpp).
//
// The device server's loopback responder listens on a multicast port that
// other processes may share (multicast receivers bind with address reuse), so
// the port alone cannot tell whether a server sits behind it. Each responder
// therefore holds the TCP port of the same number on 127.0.0.1, bound without
// address reuse, for as long as it answers: only one process can hold it, and
// a local search probes exactly the ports that are held.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    // Takes the claim on `port`: a handle (0 or more), or -1 when another
    // socket holds the port or no socket can be made.
    int kxPortClaim_Take(uint16_t port);
    // Gives the claim up and sets *handle to -1; nothing for a negative one.
    void kxPortClaim_Release(int* handle);
    // True when some process holds `port` on 127.0.0.1 (the test claim fails
    // with "address in use"); false when it is free or cannot be tested.
    bool kxPortClaim_IsTaken(uint16_t port);

#ifdef __cplusplus
}
#endif
